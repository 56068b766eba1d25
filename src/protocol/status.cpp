#include "protocol/status.h"

#include <sys/stat.h>

#include <cerrno>

#include "core/digest.h"
#include "core/fs.h"
#include "core/json.h"
#include "core/text.h"
#include "product/declaration.h"
#include "product/facts.h"
#include "store/journal.h"
#include "store/report.h"
#include "store/store.h"

namespace velk {

namespace {

Json provider_state(const StateRead& read, const std::string& measured) {
  Json o = Json::object();
  o["present"] = read.kind != StateRead::Kind::absent;
  if (read.kind == StateRead::Kind::absent) return o;
  if (read.kind == StateRead::Kind::other_schema) {
    o["readable"] = false;
    o["found_schema"] = read.found_schema;
    o["detail"] = "a schema this build does not write; status never migrates it";
    return o;
  }
  const ProviderState& s = read.state;
  o["readable"] = true;
  o["setup_stable_id"] = text_or_null(s.setup_stable_id);
  o["setup_version"] = text_or_null(s.setup_version);
  o["operation_id"] = s.operation_id;
  o["backup_ref"] = text_or_null(s.backup_ref);
  o["recorded_identity"] = s.target_identity_digest;
  o["drift_state"] = std::string(drift_state_name(
      s.target_identity_digest == measured ? DriftState::clean : DriftState::local_drift));
  return o;
}

Json backups(const std::vector<ListedSlot>& slots) {
  Json list = Json::array();
  for (const ListedSlot& listed : slots) {
    Json o = Json::object();
    o["backup_ref"] = listed.slot.name;
    o["operation"] = listed.slot.record.operation;
    o["setup_id"] = text_or_null(listed.slot.record.setup_id);
    o["held"] = listed.hold_reason.has_value();
    o["hold_reason"] = text_or_null(listed.hold_reason);
    list.push_back(std::move(o));
  }
  return list;
}

}  // namespace

Result<Json> status_document(const StatusRequest& request) {
  VELK_ASSIGN(const TargetReport report,
              report_target(request.target, request.target_scope, ReportParts{}, true));
  if (request.target_scope == TargetScope::project)
    return make_error(ErrorKind::unsupported_operation,
                      "--target-scope " + std::string(scope_name(TargetScope::project)) +
                          " names a target this provider publishes no projection profile for");
  for (const auto* failed :
       {&report.state_error, &report.identity_error, &report.journal_error, &report.slots_error})
    if (*failed) return **failed;

  const StateRead& read = report.state;
  const std::string& measured = report.identity;
  const std::optional<Journal>& journal = report.journal;
  const ProductDeclaration& d = declaration();
  Json o = Json::object();
  if (read.present() && read.state.target_identity_digest == measured) o["drift_state"] = "clean";
  o["shadowed_by"] = Json::array();
  o["cleanup_state"] = !journal ? "none" : journal->phase == "committed" ? "pending" : "required";
  o["state"] = read.present() ? "managed" : report.missing ? "missing" : "unmanaged";
  o["target_digest"] = measured;
  o["protocol_version"] = kProtocolVersion;
  o["provider_id"] = std::string(d.provider_id);
  o["harness_id"] = std::string(d.product_id);
  o["canonical_target"] = lossy_utf8(report.store.target_path);
  o["target_identity_digest"] = measured;
  o["provider_state"] = provider_state(read, measured);
  if (journal) {
    Json j = Json::object();
    j["phase"] = journal->phase;
    j["operation"] = journal->operation;
    j["operation_id"] = journal->operation_id;
    o["journal"] = std::move(j);
  } else {
    o["journal"] = nullptr;
  }
  o["backups"] = backups(report.slots);
  return o;
}

}  // namespace velk
