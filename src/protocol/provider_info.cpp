#include "protocol/provider_info.h"

#include "core/json.h"
#include "product/declaration.h"
#include "product/facts.h"
#include "product/operation.h"
#include "product/profile.h"
#include "protocol/request.h"

namespace velk {

namespace {

Json words(std::initializer_list<std::string_view> items) {
  Json list = Json::array();
  for (const auto item : items) list.push_back(std::string(item));
  return list;
}

// The published form of a profile; its digest needs the canonical text.
Result<Json> published(const ProjectionProfile& profile) {
  auto object = profile_object(profile);
  if (!object.ok()) {
    Error error = std::move(object).error();
    error.message = "provider-info cannot be encoded: " + error.full();
    error.cause.clear();
    return error;
  }
  return std::move(object).value();
}

}  // namespace

Result<Json> provider_info_document() {
  const ProductDeclaration& d = declaration();
  VELK_ASSIGN(const std::string build_digest, provider_build_digest());

  Json commands = Json::array();
  for (const ProviderCommand c : kProviderCommands)
    commands.push_back(std::string(provider_command_name(c)));
  Json operations = Json::array();
  for (const Operation op : kOperations) operations.push_back(std::string(operation_name(op)));
  Json permission_profiles = Json::array();
  for (const auto p : d.permission_profiles) permission_profiles.push_back(std::string(p));

  Json o = Json::object();
  o["protocol_version"] = kProtocolVersion;
  o["provider_id"] = std::string(d.provider_id);
  o["harness_id"] = std::string(d.product_id);
  o["provider_version"] = std::string(d.provider_version);
  o["provider_build_digest"] = build_digest;
  o["supported_commands"] = std::move(commands);
  o["supported_operations"] = std::move(operations);
  o["supported_os"] = words({"linux", "macos", "windows"});
  o["supported_arch"] = words({"x86_64", "arm64"});
  o["permission_profiles"] = std::move(permission_profiles);
  VELK_ASSIGN(o["projection_profile"], published(d.main_profile));
  Json scoped = Json::array();
  for (const ProjectionProfile* p : scoped_profiles()) {
    VELK_ASSIGN(Json object, published(*p));
    scoped.push_back(std::move(object));
  }
  if (!scoped.empty()) o["scoped_projection_profiles"] = std::move(scoped);
  o["status_request_fields"] = words({"target_scope"});
  o["plan_request_fields"] = words({"target_scope", "end_state"});
  return o;
}

}  // namespace velk
