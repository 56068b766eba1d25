// Journals: parse_journal. A refusal is a recovery_required error; a
// journal that reads has schema 1 and a known phase, and encode_journal with
// its phase must read back as the same journal and encode to the same bytes
// again.
#include "store/journal.h"
#include "support/fuzz_support.h"

using namespace velk;
using namespace velk::fuzz;

namespace {
const std::string kPath = "/fuzz/.velk-setup-system/journal.json";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto journal = parse_journal(kPath, as_text(data, size));
  if (!journal.ok()) {
    check_error_kind(journal.error(), ErrorKind::recovery_required);
    return 0;
  }
  VELK_FUZZ_CHECK(journal->schema_version == 1, std::to_string(journal->schema_version));
  VELK_FUZZ_CHECK(journal->phase == "prepared" || journal->phase == "committed", journal->phase);
  auto bytes = encode_journal(*journal, journal->phase);
  VELK_FUZZ_CHECK(bytes.ok(), bytes.ok() ? "" : bytes.error().full());
  auto again = parse_journal(kPath, *bytes);
  VELK_FUZZ_CHECK(again.ok(), again.ok() ? "" : again.error().full() + "\n" + *bytes);
  VELK_FUZZ_CHECK(*again == *journal, *bytes);
  auto bytes2 = encode_journal(*again, again->phase);
  VELK_FUZZ_CHECK(bytes2.ok() && *bytes2 == *bytes, *bytes);
  return 0;
}
