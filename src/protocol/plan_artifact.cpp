#include "protocol/plan_artifact.h"

#include "core/digest.h"
#include "product/declaration.h"
#include "product/facts.h"

namespace velk {
namespace {

Error unavailable(std::string detail) {
  return refusal(ReasonCode::provider_unavailable, std::move(detail));
}

const Json* member(const Json& object, std::string_view name) {
  return object.is_object() ? find_member(object, name) : nullptr;
}

bool non_null(const Json* value) { return value != nullptr && !value->is_null(); }

// "removed" with none of member, sha256, byte_length; "final_bytes" with
// all three, of the right types.
bool well_formed(const Json& state) {
  if (!state.is_object()) return false;
  const Json* path = member(state, "path");
  const Json* word = member(state, "end_state");
  if (!path || !path->is_string() || !word || !word->is_string()) return false;
  const Json* name = member(state, "member");
  const Json* sha = member(state, "sha256");
  const Json* length = member(state, "byte_length");
  if (*word == "removed") return !non_null(name) && !non_null(sha) && !non_null(length);
  if (*word == "final_bytes")
    return non_null(name) && name->is_string() && non_null(sha) && sha->is_string() &&
           non_null(length) && length->is_number_unsigned();
  return false;
}

}  // namespace

Json end_state_object(const EndState& state) {
  Json o = Json::object();
  o["path"] = state.path;
  o["end_state"] = state.final_bytes ? "final_bytes" : "removed";
  if (state.final_bytes) {
    o["member"] = state.member;
    o["sha256"] = state.sha256;
    o["byte_length"] = state.byte_length;
  }
  return o;
}

Json plan_artifact(const PlanFields& f) {
  const ProductDeclaration& d = declaration();
  Json o = Json::object();
  o["format"] = std::string(kPlanFormat);
  o["protocol_version"] = kProtocolVersion;
  o["provider_id"] = std::string(d.provider_id);
  o["provider_version"] = std::string(d.provider_version);
  o["provider_build_digest"] = f.provider_build_digest;
  o["provider_release_digest"] = text_or_null(f.provider_release_digest);
  o["operation_id"] = f.operation_id;
  o["operation"] = std::string(operation_name(f.operation));
  o["canonical_target"] = f.canonical_target;
  o["expected_target_digest"] = f.expected_target_digest;
  o["projection_profile_digest"] = f.projection_profile_digest;
  if (f.bundle) {
    Json b = Json::object();
    b["bundle_format"] = f.bundle->format;
    b["bundle_digest"] = f.bundle->bundle_digest;
    b["artifact_digest"] = f.bundle->artifact_digest;
    b["bundle_size"] = f.bundle->size;
    o["bundle"] = std::move(b);
  } else {
    o["bundle"] = nullptr;
  }
  o["backup_ref"] = text_or_null(f.backup_ref);
  o["restore_target_digest"] = text_or_null(f.restore_target_digest);
  o["permission_profile"] = text_or_null(f.permission_profile);
  if (f.target_scope) o["target_scope"] = std::string(scope_name(*f.target_scope));
  o["platform"] = f.platform;
  o["expires_at"] = f.expires_at;
  if (f.software_artifacts.is_array() && !f.software_artifacts.empty())
    o["software_artifacts"] = f.software_artifacts;
  if (!f.end_state.empty()) {
    Json states = Json::array();
    for (const EndState& state : f.end_state) states.push_back(end_state_object(state));
    o["end_state"] = std::move(states);
  }
  o["effects"] = f.effects;
  return o;
}

Status check_plan(const Json& plan) {
  const Json* effects = member(plan, "effects");
  bool effects_ok = effects && effects->is_array() && !effects->empty();
  if (effects_ok)
    for (const Json& effect : *effects)
      if (!effect.is_string() || effect.get_ref<const std::string&>().empty()) effects_ok = false;
  if (!effects_ok) return unavailable("a plan must enumerate at least one non-empty effect");

  const Json* operation = member(plan, "operation");
  const std::string name =
      operation && operation->is_string() ? operation->get<std::string>() : std::string();
  const bool restores = name == operation_name(Operation::restore);
  const bool restored_digest = non_null(member(plan, "restore_target_digest"));
  if (restored_digest && !restores)
    return unavailable("a " + name + " plan must not name a restored target digest");
  if (!restored_digest && restores)
    return unavailable("a restore plan must name the exact target it will produce");

  const Json* end_states = member(plan, "end_state");
  if (!non_null(end_states)) return {};
  const bool removes = name == operation_name(Operation::remove);
  if (!removes && (!end_states->is_array() || !end_states->empty()))
    return unavailable("a " + name + " plan must not carry per-path end states; only remove does");
  bool shapes_ok = end_states->is_array();
  if (shapes_ok)
    for (const Json& state : *end_states)
      if (!well_formed(state)) shapes_ok = false;
  if (!shapes_ok)
    return unavailable(
        "an end state names a path and is removed, or final_bytes with member, sha256 and "
        "byte_length");
  return {};
}

Result<std::string> plan_digest(const Json& plan) { return digest_document(kPlanTag, plan); }

Result<SealedPlan> seal_plan(const PlanFields& fields) {
  SealedPlan sealed;
  sealed.plan = plan_artifact(fields);
  VELK_TRY(check_plan(sealed.plan));
  auto digest = plan_digest(sealed.plan);
  if (!digest.ok())
    return unavailable("the plan artifact cannot be encoded: " + digest.error().message);
  sealed.digest = std::move(digest).value();
  return sealed;
}

}  // namespace velk
