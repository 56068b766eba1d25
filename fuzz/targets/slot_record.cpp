// Backup slot records: parse_slot_record. A refusal is a state_unavailable
// error; a record that reads is encoded with encode_slot_record, which must
// read back as the same record and encode to the same bytes again.
#include "store/pool.h"
#include "support/fuzz_support.h"

using namespace velk;
using namespace velk::fuzz;

namespace {
const std::string kPath = "/fuzz/slot-000000000001/slot.json";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto record = parse_slot_record(kPath, as_text(data, size));
  if (!record.ok()) {
    check_error_kind(record.error(), ErrorKind::state_unavailable);
    return 0;
  }
  VELK_FUZZ_CHECK(record->schema_version == 1, std::to_string(record->schema_version));
  auto bytes = encode_slot_record(*record);
  VELK_FUZZ_CHECK(bytes.ok(), bytes.ok() ? "" : bytes.error().full());
  auto again = parse_slot_record(kPath, *bytes);
  VELK_FUZZ_CHECK(again.ok(), again.ok() ? "" : again.error().full() + "\n" + *bytes);
  VELK_FUZZ_CHECK(*again == *record, *bytes);
  auto bytes2 = encode_slot_record(*again);
  VELK_FUZZ_CHECK(bytes2.ok() && *bytes2 == *bytes, *bytes);
  return 0;
}
