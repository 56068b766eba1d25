// Helpers for the software tests: running the real archive tools and small
// Python scripts that craft archives byte by byte, and looking at what an
// extraction left behind.
#pragma once

#include <string>
#include <vector>

#include "support/runner.h"

namespace velk::testing {

using Lines = std::vector<std::string>;

// Runs a shell command in `dir`.
RunResult run_in(const std::string& dir, const std::string& command);

// Runs a Python 3 script in `dir`, with crafting helpers defined first:
//   header(name, size=0, flag=b'0', mode=0o644, magic=POSIX, prefix=b'',
//          size_field=None, mode_field=None) -> 512 bytes
//   entry(name, content=b'', **header_args) -> header and padded data
//   pax(records) -> pax data for [(key, value), ...]
//   END -> two zero blocks
//   write_tgz(path, *parts) -> gzip of the concatenated parts
RunResult python(const std::string& dir, const std::string& script);

// Every entry below `root`, relative and sorted; directories end in "/".
Lines tree_listing(const std::string& root);

// The permission bits (07777) of a path, looked at without following links.
unsigned mode_bits(const std::string& path);

}  // namespace velk::testing
