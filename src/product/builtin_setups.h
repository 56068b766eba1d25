// The built-in setup catalog, embedded into the program at build time from
// setups/velk-build (the generated source defines builtin_setup_files()).
#pragma once

#include <span>
#include <string_view>

namespace velk {

struct BuiltinFile {
  std::string_view path;   // relative to the catalog directory, "/"-joined
  std::string_view bytes;  // the file's exact content
};

// Every built-in file, in byte order of the relative paths: the order in
// which a written-out catalog is created.
std::span<const BuiltinFile> builtin_setup_files();

}  // namespace velk
