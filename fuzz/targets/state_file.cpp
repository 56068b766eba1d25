// State files: parse_state refuses with state_unavailable, a file of another
// schema names another schema than this build's, and a present state
// round-trips through encode_state.
#include "store/state.h"
#include "support/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string kPath = "/fuzz/MIREL-VELK-PROVIDER.json";
  const auto read = parse_state(kPath, as_text(data, size));
  if (refused(read, ErrorKind::state_unavailable)) return 0;
  VELK_FUZZ_CHECK(read->kind != StateRead::Kind::absent, "bytes read as no state file");
  if (read->kind == StateRead::Kind::other_schema) {
    VELK_FUZZ_CHECK(read->found_schema != kStateSchema, std::to_string(read->found_schema));
    return 0;
  }
  VELK_FUZZ_CHECK(read->state.state_schema == kStateSchema,
                  std::to_string(read->state.state_schema));
  const std::string bytes = must(encode_state(read->state));
  const StateRead again = must(parse_state(kPath, bytes), bytes);
  VELK_FUZZ_CHECK(again.present() && again.state == read->state, bytes);
  VELK_FUZZ_CHECK(must(encode_state(again.state)) == bytes, bytes);
  return 0;
}
