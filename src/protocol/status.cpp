#include "protocol/status.h"

#include <sys/stat.h>

#include <cerrno>

#include "core/digest.h"
#include "core/fs.h"
#include "core/text.h"
#include "product/declaration.h"
#include "product/facts.h"
#include "store/journal.h"
#include "store/store.h"

namespace velk {

namespace {

// What status looks at: the canonical target, or the absolute text of one
// that does not exist (or is no directory), which is reported as missing.
struct Located {
  TargetStore store;
  bool missing = false;
};

Result<Located> locate(const std::string& text) {
  auto store = locate_target_store(text);
  if (store.ok()) return Located{std::move(store).value(), false};
  if (!starts_with(text, "/")) return std::move(store).error();
  int err = 0;
  const auto st = lstat_path(text, &err);
  const bool absent = !st && (err == 0 || err == ENOTDIR);
  const bool not_directory = st && !S_ISDIR(st->st_mode) && !S_ISLNK(st->st_mode);
  if (!absent && !not_directory) return std::move(store).error();
  Located located;
  located.missing = true;
  located.store.target_path = text;
  return located;
}

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

Result<Json> backups(const BackupPool& pool) {
  Json list = Json::array();
  const auto st = lstat_path(pool.dir);
  if (!st || !S_ISDIR(st->st_mode)) return list;
  VELK_ASSIGN(const auto slots, list_slots(pool));
  for (const auto& slot : slots) {
    const auto reason = hold_reason(slot.dir);
    Json o = Json::object();
    o["backup_ref"] = slot.name;
    o["operation"] = slot.record.operation;
    o["setup_id"] = text_or_null(slot.record.setup_id);
    o["held"] = reason.has_value();
    o["hold_reason"] = text_or_null(reason);
    list.push_back(std::move(o));
  }
  return list;
}

}  // namespace

Result<Json> status_document(const StatusRequest& request) {
  VELK_ASSIGN(const Located located, locate(request.target));
  if (request.target_scope == TargetScope::project)
    return make_error(ErrorKind::unsupported_operation,
                      "--target-scope " + std::string(scope_name(TargetScope::project)) +
                          " names a target this provider publishes no projection profile for");

  const TargetStore& store = located.store;
  const std::string& target = store.target_path;
  StateRead read;
  std::string measured = digest_records({});
  std::optional<Journal> journal;
  Json slots = Json::array();
  if (!located.missing) {
    const std::optional<TargetScope> scope =
        request.target_scope ? request.target_scope : inferred_scope(target);
    VELK_ASSIGN(read, read_state(target));
    VELK_ASSIGN(measured, target_identity(target, scope_surfaces(scope)));
    VELK_ASSIGN(journal, read_journal(store.control_dir));
    VELK_ASSIGN(slots, backups(store.pool));
  }

  const ProductDeclaration& d = declaration();
  Json o = Json::object();
  if (read.present() && read.state.target_identity_digest == measured) o["drift_state"] = "clean";
  o["shadowed_by"] = Json::array();
  o["cleanup_state"] = !journal ? "none" : journal->phase == "committed" ? "pending" : "required";
  o["state"] = read.present() ? "managed" : located.missing ? "missing" : "unmanaged";
  o["target_digest"] = measured;
  o["protocol_version"] = kProtocolVersion;
  o["provider_id"] = std::string(d.provider_id);
  o["harness_id"] = std::string(d.product_id);
  o["canonical_target"] = lossy_utf8(target);
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
  o["backups"] = std::move(slots);
  return o;
}

}  // namespace velk
