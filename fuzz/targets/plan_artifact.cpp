// Plan artifacts handed back by consumers: parse_json, then plan_from_json.
// A refusal carries one of the codes a plan read may give
// (unsupported_operation, stale, provider_unavailable). A plan that reads is
// written with plan_to_json, which must pass check_plan and read back, and
// the plan read back must write the same JSON.
#include "core/json.h"
#include "protocol/plan.h"
#include "support/fuzz_support.h"

using namespace velk;
using namespace velk::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto document = parse_json(as_text(data, size));
  if (!document.ok()) return 0;
  auto plan = plan_from_json(*document);
  if (!plan.ok()) {
    check_error(plan.error(), {ReasonCode::unsupported_operation, ReasonCode::stale,
                               ReasonCode::provider_unavailable});
    return 0;
  }
  VELK_FUZZ_CHECK(!plan->adoption, "an adoption read from outside");
  const Json written = plan_to_json(*plan);
  const std::string text = compact_json(written);
  VELK_FUZZ_CHECK(check_plan(written).ok(), text);
  auto again = plan_from_json(written);
  VELK_FUZZ_CHECK(again.ok(), again.ok() ? text : again.error().full() + "\n" + text);
  const std::string text2 = compact_json(plan_to_json(*again));
  VELK_FUZZ_CHECK(text == text2, text + "\n" + text2);
  // The written artifact reads back through the text as well.
  auto reparsed = parse_json(text);
  VELK_FUZZ_CHECK(reparsed.ok(), text);
  auto from_text = plan_from_json(*reparsed);
  VELK_FUZZ_CHECK(from_text.ok() && compact_json(plan_to_json(*from_text)) == text, text);
  return 0;
}
