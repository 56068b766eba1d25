// State files: parse_state. A refusal is a state_unavailable error; a file
// of another schema names a schema other than this build's; a record that
// reads present is encoded with encode_state, which must read back as the
// same record and encode to the same bytes again.
#include "store/state.h"
#include "support/fuzz_support.h"

using namespace velk;
using namespace velk::fuzz;

namespace {
const std::string kPath = "/fuzz/MIREL-VELK-PROVIDER.json";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto read = parse_state(kPath, as_text(data, size));
  if (!read.ok()) {
    check_error_kind(read.error(), ErrorKind::state_unavailable);
    return 0;
  }
  VELK_FUZZ_CHECK(read->kind != StateRead::Kind::absent, "bytes read as no state file");
  if (read->kind == StateRead::Kind::other_schema) {
    VELK_FUZZ_CHECK(read->found_schema != kStateSchema, std::to_string(read->found_schema));
    return 0;
  }
  VELK_FUZZ_CHECK(read->state.state_schema == kStateSchema,
                  std::to_string(read->state.state_schema));
  auto bytes = encode_state(read->state);
  VELK_FUZZ_CHECK(bytes.ok(), bytes.ok() ? "" : bytes.error().full());
  auto again = parse_state(kPath, *bytes);
  VELK_FUZZ_CHECK(again.ok() && again->present(),
                  again.ok() ? *bytes : again.error().full() + "\n" + *bytes);
  VELK_FUZZ_CHECK(again->state == read->state, *bytes);
  auto bytes2 = encode_state(again->state);
  VELK_FUZZ_CHECK(bytes2.ok() && *bytes2 == *bytes, *bytes);
  return 0;
}
