#include "product/facts.h"

#include "core/digest.h"
#include "core/json.h"
#include "product/declaration.h"

namespace velk {

namespace {

// aggregate_digest is the SHA-256 of the kit's manifest line list, the text
// "ai-stp-provider-kit 0.2.9\n" followed by each file name and a line feed
// in the order of "files". It is fixed data: it only changes with the kit.
constexpr std::string_view kKitIdentity = R"({
  "aggregate_digest": "sha256:d3f2f6c907e087a03ba42f7966e47626755217ffe09014ed07695cc3e94781bd",
  "files": [
    "conformance-cases.json",
    "manifest.json",
    "provider-info.schema.json",
    "status-response.schema.json"
  ],
  "kit_version": "0.2.9",
  "protocol_version": 3,
  "schema": "ai-stp-provider-kit-identity/1"
})";

Error unreadable(const std::string& why) {
  return make_error(ErrorKind::state_unavailable, "the vendored kit identity is unreadable: " + why);
}

}  // namespace

std::string_view kit_identity_text() { return kKitIdentity; }

Json provider_facts(const Json& kit_aggregate_digest) {
  const ProductDeclaration& d = declaration();
  Json facts = Json::object();
  facts["provider_id"] = std::string(d.provider_id);
  facts["provider_version"] = std::string(d.provider_version);
  facts["protocol_version"] = kProtocolVersion;
  facts["harness_id"] = std::string(d.product_id);
  facts["kit_aggregate_digest"] = kit_aggregate_digest;
  return facts;
}

Result<std::string> build_digest_from(std::string_view kit_identity) {
  auto parsed = parse_json(kit_identity);
  if (!parsed.ok()) return unreadable(parsed.error());
  if (auto object = as_object(*parsed); !object.ok()) return unreadable(object.error());
  const Json* aggregate = find_member(*parsed, "aggregate_digest");
  VELK_ASSIGN(const std::string canonical,
              canonical_json(provider_facts(aggregate ? *aggregate : Json(nullptr))));
  return digest_bytes(canonical);
}

Result<std::string> provider_build_digest() { return build_digest_from(kit_identity_text()); }

}  // namespace velk
