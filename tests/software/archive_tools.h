// Helpers for the software tests: running the real archive tools and small
// Python scripts that craft archives byte by byte, and looking at what an
// extraction left behind.
#pragma once

#include <string>
#include <vector>

namespace velk::testing {

// Runs a shell command; its exit status, or -1 when it did not exit.
int shell(const std::string& command);

// Runs a Python 3 script in `dir`, with crafting helpers defined first:
//   header(name, size=0, flag=b'0', mode=0o644, magic=POSIX, prefix=b'',
//          size_field=None, mode_field=None) -> 512 bytes
//   entry(name, content=b'', **header_args) -> header and padded data
//   pax(records) -> pax data for [(key, value), ...]
//   END -> two zero blocks
//   write_tgz(path, *parts) -> gzip of the concatenated parts
// Returns the exit status.
int python(const std::string& dir, const std::string& script);

// The SHA-256 digest text of a file's bytes ("" when it cannot be read).
std::string sha256_file(const std::string& path);

// Every entry below `root`, relative and sorted; directories end in "/".
std::vector<std::string> tree_listing(const std::string& root);

// The permission bits (07777) of a path, looked at without following links.
unsigned mode_bits(const std::string& path);

}  // namespace velk::testing
