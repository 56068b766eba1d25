// Plan artifacts handed back by consumers (plan_from_json): a refusal carries
// a code a plan read may give; a plan that reads is written (plan_to_json) as
// an artifact that passes check_plan and reads back, from the value and from
// its text, as a plan written the same.
#include "core/json.h"
#include "protocol/plan.h"
#include "support/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto document = parse_json(as_text(data, size));
  if (!document.ok()) return 0;
  const auto plan = plan_from_json(*document);
  if (refused(plan, {ReasonCode::unsupported_operation, ReasonCode::stale,
                     ReasonCode::provider_unavailable}))
    return 0;
  VELK_FUZZ_CHECK(!plan->adoption, "an adoption read from outside");
  const Json written = plan_to_json(*plan);
  const std::string text = compact_json(written);
  must(check_plan(written), text);
  const std::string text2 = compact_json(plan_to_json(must(plan_from_json(written), text)));
  VELK_FUZZ_CHECK(text == text2, text + "\n" + text2);
  const auto from_text = must(plan_from_json(must(parse_json(text), text)), text);
  VELK_FUZZ_CHECK(compact_json(plan_to_json(from_text)) == text, text);
  return 0;
}
