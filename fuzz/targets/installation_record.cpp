// Installation records: parse_installation_record refuses with
// state_unavailable, and what reads round-trips through installation_record
// (which writes the executable path with "/" for every "\").
#include <algorithm>

#include "software/launch.h"
#include "software/program_dir.h"
#include "support/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto parse = [](std::string_view text) {
    return parse_installation_record("/fuzz/bin/.velk.manifest.json", text);
  };
  const auto record = parse(as_text(data, size));
  if (refused(record, ErrorKind::state_unavailable)) return 0;
  InstallationRecord expected = *record;
  std::replace(expected.executable.begin(), expected.executable.end(), '\\', '/');
  check_rewrite(*record, expected, parse, [](const InstallationRecord& r) {
    return installation_record(r.version, r.executable, r.executable_sha256);
  });
  return 0;
}
