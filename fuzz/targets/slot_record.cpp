// Backup slot records: parse_slot_record refuses with state_unavailable, and
// what reads round-trips through encode_slot_record.
#include "store/pool.h"
#include "support/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto parse = [](std::string_view text) {
    return parse_slot_record("/fuzz/slot-000000000001/slot.json", text);
  };
  const auto record = parse(as_text(data, size));
  if (refused(record, ErrorKind::state_unavailable)) return 0;
  VELK_FUZZ_CHECK(record->schema_version == 1, std::to_string(record->schema_version));
  check_rewrite(*record, *record, parse,
                [](const SlotRecord& r) { return must(encode_slot_record(r)); });
  return 0;
}
