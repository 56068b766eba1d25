// Journals: parse_journal refuses with recovery_required, and what reads
// round-trips through encode_journal with its own phase.
#include "store/journal.h"
#include "support/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto parse = [](std::string_view text) {
    return parse_journal("/fuzz/.velk-setup-system/journal.json", text);
  };
  const auto journal = parse(as_text(data, size));
  if (refused(journal, ErrorKind::recovery_required)) return 0;
  VELK_FUZZ_CHECK(journal->schema_version == 1, std::to_string(journal->schema_version));
  VELK_FUZZ_CHECK(journal->phase == "prepared" || journal->phase == "committed", journal->phase);
  check_rewrite(*journal, *journal, parse,
                [](const Journal& j) { return must(encode_journal(j, j.phase)); });
  return 0;
}
