#include "protocol/plan.h"

#include "core/clock.h"
#include "core/digest.h"
#include "product/facts.h"
#include "product/profile.h"

namespace velk {
namespace {

Error unavailable(std::string detail) {
  return refusal(ReasonCode::provider_unavailable, std::move(detail));
}

const Json* member(const Json& object, std::string_view name) {
  return object.is_object() ? find_member(object, name) : nullptr;
}

bool non_null(const Json* value) { return value != nullptr && !value->is_null(); }

Json text_or_null_of(const std::optional<std::string>& text) {
  return text ? Json(*text) : Json(nullptr);
}

// A text member a plan cannot do without.
Result<std::string> required_text(const Json* value, std::string_view name) {
  if (!non_null(value)) return unavailable("the plan artifact has no " + std::string(name));
  if (!value->is_string())
    return unavailable("the plan artifact's " + std::string(name) + " is " +
                       json_type_words(*value) + ", not a string");
  return value->get<std::string>();
}

// A text member that may be null or absent, but nothing else.
Result<std::optional<std::string>> optional_text(const Json* value, std::string_view name) {
  if (!non_null(value)) return std::optional<std::string>();
  VELK_ASSIGN(std::string text, required_text(value, name));
  return std::optional<std::string>(std::move(text));
}

// A text member whose other shapes read as absent.
std::optional<std::string> lenient_text(const Json* value) {
  if (value && value->is_string()) return value->get<std::string>();
  return std::nullopt;
}

Json bundle_object(const BundleClaim& claim) {
  Json b = Json::object();
  b["bundle_format"] = claim.format;
  b["bundle_digest"] = claim.bundle_digest;
  b["artifact_digest"] = claim.artifact_digest;
  b["bundle_size"] = claim.size;
  return b;
}

// A bundle member that is not a claim of the right shape reads as a claim
// that no bundle named at apply can match.
BundleClaim claim_of(const Json& value) {
  BundleClaim claim;
  const Json* format = member(value, "bundle_format");
  const Json* digest = member(value, "bundle_digest");
  const Json* artifact = member(value, "artifact_digest");
  const Json* size = member(value, "bundle_size");
  if (!format || !format->is_string() || !digest || !digest->is_string() || !artifact ||
      !artifact->is_string() || !size || !size->is_number_unsigned())
    return claim;
  claim.format = format->get<std::string>();
  claim.bundle_digest = digest->get<std::string>();
  claim.artifact_digest = artifact->get<std::string>();
  claim.size = size->get<uint64_t>();
  return claim;
}

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

// End states in the shapes check_plan has already accepted.
std::vector<EndState> end_states_of(const Json* list) {
  std::vector<EndState> states;
  if (!list || !list->is_array()) return states;
  for (const Json& item : *list) {
    EndState state;
    state.path = item.at("path").get<std::string>();
    state.final_bytes = item.at("end_state") == "final_bytes";
    if (state.final_bytes) {
      state.member = item.at("member").get<std::string>();
      state.sha256 = item.at("sha256").get<std::string>();
      state.byte_length = item.at("byte_length").get<uint64_t>();
    }
    states.push_back(std::move(state));
  }
  return states;
}

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

// One member of the artifact: how it is written (nullopt leaves it out) and
// how it is read back (none: a constant of this build, or a member read
// before the table, by the checks that decide first).
struct PlanMember {
  std::string_view name;
  std::optional<Json> (*write)(const Plan&);
  Status (*read)(const Json* value, Plan& plan);
};

// Adoption members exist only in adoption plans, which are never read.
const Adoption& adoption_of(const Plan& p) { return *p.adoption; }

const PlanMember kMembers[] = {
    {"format", [](const Plan&) -> std::optional<Json> { return Json(std::string(kPlanFormat)); },
     nullptr},
    {"protocol_version",
     [](const Plan&) -> std::optional<Json> { return Json(kProtocolVersion); }, nullptr},
    {"provider_id",
     [](const Plan&) -> std::optional<Json> {
       return Json(std::string(declaration().provider_id));
     },
     nullptr},
    {"provider_version",
     [](const Plan&) -> std::optional<Json> {
       return Json(std::string(declaration().provider_version));
     },
     nullptr},
    {"provider_build_digest",
     [](const Plan& p) -> std::optional<Json> { return Json(p.provider_build_digest); },
     [](const Json* v, Plan& p) -> Status {
       p.provider_build_digest = lenient_text(v).value_or("");
       return {};
     }},
    {"provider_release_digest",
     [](const Plan& p) -> std::optional<Json> { return text_or_null_of(p.provider_release_digest); },
     [](const Json* v, Plan& p) -> Status {
       // A release digest that is not a string is recorded as none.
       p.provider_release_digest = lenient_text(v);
       return {};
     }},
    {"operation_id", [](const Plan& p) -> std::optional<Json> { return Json(p.operation_id); },
     [](const Json* v, Plan& p) -> Status {
       VELK_ASSIGN(p.operation_id, required_text(v, "operation_id"));
       return {};
     }},
    {"operation",
     [](const Plan& p) -> std::optional<Json> {
       return Json(std::string(operation_name(p.operation)));
     },
     nullptr},
    {"canonical_target", [](const Plan& p) -> std::optional<Json> { return Json(p.canonical_target); },
     [](const Json* v, Plan& p) -> Status {
       VELK_ASSIGN(p.canonical_target, required_text(v, "canonical_target"));
       return {};
     }},
    {"expected_target_digest",
     [](const Plan& p) -> std::optional<Json> { return Json(p.expected_target_digest); },
     [](const Json* v, Plan& p) -> Status {
       VELK_ASSIGN(p.expected_target_digest, required_text(v, "expected_target_digest"));
       return {};
     }},
    {"projection_profile_digest",
     [](const Plan& p) -> std::optional<Json> { return Json(p.projection_profile_digest); },
     [](const Json* v, Plan& p) -> Status {
       p.projection_profile_digest = lenient_text(v).value_or("");
       return {};
     }},
    {"bundle",
     [](const Plan& p) -> std::optional<Json> {
       return p.bundle ? bundle_object(*p.bundle) : Json(nullptr);
     },
     [](const Json* v, Plan& p) -> Status {
       if (non_null(v)) p.bundle = claim_of(*v);
       return {};
     }},
    {"backup_ref", [](const Plan& p) -> std::optional<Json> { return text_or_null_of(p.backup_ref); },
     [](const Json* v, Plan& p) -> Status {
       VELK_ASSIGN(p.backup_ref, optional_text(v, "backup_ref"));
       return {};
     }},
    {"restore_target_digest",
     [](const Plan& p) -> std::optional<Json> { return text_or_null_of(p.restore_target_digest); },
     [](const Json* v, Plan& p) -> Status {
       VELK_ASSIGN(p.restore_target_digest, optional_text(v, "restore_target_digest"));
       return {};
     }},
    {"permission_profile",
     [](const Plan& p) -> std::optional<Json> { return text_or_null_of(p.permission_profile); },
     [](const Json* v, Plan& p) -> Status {
       p.permission_profile = lenient_text(v);
       return {};
     }},
    {"target_scope",
     [](const Plan& p) -> std::optional<Json> {
       if (!p.target_scope) return std::nullopt;
       return Json(std::string(scope_name(*p.target_scope)));
     },
     [](const Json* v, Plan& p) -> Status {
       VELK_ASSIGN(const std::optional<std::string> word, optional_text(v, "target_scope"));
       if (!word) return {};
       const std::optional<TargetScope> scope = parse_scope(*word);
       if (!scope || !profile_for_scope(scope))
         return refusal(ReasonCode::unsupported_operation,
                        "--target-scope " + *word +
                            " names a target this provider publishes no projection profile for");
       p.target_scope = scope;
       return {};
     }},
    {"platform", [](const Plan& p) -> std::optional<Json> { return p.platform; },
     [](const Json* v, Plan& p) -> Status {
       p.platform = v ? *v : Json(nullptr);
       return {};
     }},
    {"expires_at", [](const Plan& p) -> std::optional<Json> { return Json(p.expires_at); },
     nullptr},
    {"software_artifacts",
     [](const Plan& p) -> std::optional<Json> {
       if (!p.software_artifacts.is_array() || p.software_artifacts.empty()) return std::nullopt;
       return p.software_artifacts;
     },
     [](const Json* v, Plan& p) -> Status {
       p.software_artifacts = v ? *v : Json::array();
       return {};
     }},
    {"end_state",
     [](const Plan& p) -> std::optional<Json> {
       if (p.end_state.empty()) return std::nullopt;
       Json states = Json::array();
       for (const EndState& state : p.end_state) states.push_back(end_state_object(state));
       return states;
     },
     [](const Json* v, Plan& p) -> Status {
       p.end_state = end_states_of(v);
       return {};
     }},
    {"setup_id",
     [](const Plan& p) -> std::optional<Json> {
       if (!p.adoption) return std::nullopt;
       return Json(adoption_of(p).setup_id);
     },
     nullptr},
    {"setup_definition_digest",
     [](const Plan& p) -> std::optional<Json> {
       if (!p.adoption) return std::nullopt;
       return text_or_null_of(adoption_of(p).setup_definition_digest);
     },
     nullptr},
    {"legacy_stamp_digest",
     [](const Plan& p) -> std::optional<Json> {
       if (!p.adoption) return std::nullopt;
       return Json(adoption_of(p).legacy_stamp_digest);
     },
     nullptr},
    {"claimed_paths",
     [](const Plan& p) -> std::optional<Json> {
       if (!p.adoption) return std::nullopt;
       return Json(adoption_of(p).claimed_paths);
     },
     nullptr},
    {"effects", [](const Plan& p) -> std::optional<Json> { return Json(p.effects); },
     [](const Json* v, Plan& p) -> Status {
       p.effects.clear();
       if (v && v->is_array())
         for (const Json& effect : *v)
           if (effect.is_string()) p.effects.push_back(effect.get<std::string>());
       return {};
     }},
};

Result<Operation> read_operation(const Json& artifact) {
  const Json* value = member(artifact, "operation");
  if (!value)
    return refusal(ReasonCode::unsupported_operation, "the plan artifact has no operation");
  const std::string name = value->is_string() ? value->get<std::string>() : compact_json(*value);
  const std::optional<Operation> op = value->is_string() ? parse_operation(name) : std::nullopt;
  if (!op)
    return refusal(ReasonCode::unsupported_operation,
                   name + " is not an operation this protocol defines");
  return *op;
}

Result<std::string> read_expiry(const Json& artifact) {
  const Json* value = member(artifact, "expires_at");
  if (!value) return refusal(ReasonCode::stale, "the plan artifact has no expires_at");
  const std::string text = value->is_string() ? value->get<std::string>() : compact_json(*value);
  const std::optional<int64_t> when = value->is_string() ? parse_utc_millis(text) : std::nullopt;
  if (!when)
    return refusal(ReasonCode::stale,
                   "the plan's expiry " + text +
                       " is not the exact shape YYYY-MM-DDTHH:MM:SS.mmmZ, so no authorization "
                       "could be read from it; no effect was made");
  if (*when < now_utc_millis())
    return refusal(ReasonCode::stale, "this plan expired before it was applied; no effect was made");
  return text;
}

}  // namespace

Json plan_to_json(const Plan& plan) {
  Json o = Json::object();
  for (const PlanMember& m : kMembers)
    if (std::optional<Json> value = m.write(plan)) o[std::string(m.name)] = std::move(*value);
  return o;
}

Result<Plan> plan_from_json(const Json& artifact) {
  Plan plan;
  VELK_ASSIGN(plan.operation, read_operation(artifact));
  VELK_ASSIGN(plan.expires_at, read_expiry(artifact));
  VELK_TRY(check_plan(artifact));
  for (const PlanMember& m : kMembers)
    if (m.read) VELK_TRY(m.read(member(artifact, m.name), plan));
  if (plan.operation == Operation::restore && !plan.backup_ref)
    return unavailable("the plan artifact has no backup_ref");
  return plan;
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

Result<std::string> plan_digest(const Json& artifact) { return digest_document(kPlanTag, artifact); }

Result<SealedPlan> seal_plan(Plan plan) {
  SealedPlan sealed;
  sealed.artifact = plan_to_json(plan);
  VELK_TRY(check_plan(sealed.artifact));
  auto digest = plan_digest(sealed.artifact);
  if (!digest.ok())
    return unavailable("the plan artifact cannot be encoded: " + digest.error().message);
  sealed.digest = std::move(digest).value();
  sealed.plan = std::move(plan);
  return sealed;
}

}  // namespace velk
