// Installation records: parse_installation_record, and installation_record
// to write one back. A refusal is a state_unavailable error; a record that
// reads is written back (the executable path with "/" for every "\") and
// reads back as that record; writing it again gives the same bytes.
#include <algorithm>

#include "software/launch.h"
#include "software/program_dir.h"
#include "support/fuzz_support.h"

using namespace velk;
using namespace velk::fuzz;

namespace {
const std::string kPath = "/fuzz/bin/.velk.manifest.json";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto record = parse_installation_record(kPath, as_text(data, size));
  if (!record.ok()) {
    check_error_kind(record.error(), ErrorKind::state_unavailable);
    return 0;
  }
  const std::string bytes =
      installation_record(record->version, record->executable, record->executable_sha256);
  auto again = parse_installation_record(kPath, bytes);
  VELK_FUZZ_CHECK(again.ok(), again.ok() ? bytes : again.error().full() + "\n" + bytes);
  InstallationRecord expected = *record;
  std::replace(expected.executable.begin(), expected.executable.end(), '\\', '/');
  VELK_FUZZ_CHECK(*again == expected, bytes);
  VELK_FUZZ_CHECK(installation_record(again->version, again->executable,
                                      again->executable_sha256) == bytes,
                  bytes);
  return 0;
}
