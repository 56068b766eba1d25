#include "store/journal.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "core/atomic_write.h"
#include "core/fs.h"
#include "core/json.h"

namespace velk {

namespace {

// The largest journal this build reads: a handful of short members.
constexpr uint64_t kJournalCap = 1024 * 1024;

}  // namespace

namespace {

constexpr uint32_t kJournalSchema = 1;

Error recovery_error(std::string message) {
  return make_error(ErrorKind::recovery_required, std::move(message));
}

Mapped<Journal> map_journal(const Json& document) {
  if (auto object = as_object(document); !object.ok()) return object.error();
  Journal journal;
  auto schema = field_u32(document, "schema_version");
  if (!schema.ok()) return schema.error();
  journal.schema_version = *schema;
  auto phase = field_string(document, "phase");
  if (!phase.ok()) return phase.error();
  if (*phase != "prepared" && *phase != "committed")
    return "unknown variant `" + *phase +
           "` for field `phase`, expected one of `prepared`, `committed`";
  journal.phase = std::move(*phase);
  for (auto [field, name] : {std::pair{&Journal::operation_id, "operation_id"},
                             std::pair{&Journal::operation, "operation"},
                             std::pair{&Journal::plan_digest, "plan_digest"},
                             std::pair{&Journal::target_precondition_digest,
                                       "target_precondition_digest"}}) {
    auto text = field_string(document, name);
    if (!text.ok()) return text.error();
    journal.*field = std::move(*text);
  }
  auto backup_ref = field_optional_string(document, "backup_ref");
  if (!backup_ref.ok()) return backup_ref.error();
  journal.backup_ref = std::move(*backup_ref);
  auto scope = field_optional_string(document, "target_scope");
  if (!scope.ok()) return scope.error();
  if (*scope) {
    journal.target_scope = parse_scope(**scope);
    if (!journal.target_scope)
      return "unknown variant `" + **scope +
             "` for field `target_scope`, expected one of `project`, `user_root`";
  }
  return journal;
}

}  // namespace

Result<std::string> encode_journal(const Journal& journal, std::string_view phase) {
  Json o = Json::object();
  o["schema_version"] = kJournalSchema;
  o["phase"] = std::string(phase);
  o["operation_id"] = journal.operation_id;
  o["operation"] = journal.operation;
  o["plan_digest"] = journal.plan_digest;
  o["target_precondition_digest"] = journal.target_precondition_digest;
  o["backup_ref"] = journal.backup_ref ? Json(*journal.backup_ref) : Json(nullptr);
  if (journal.target_scope) o["target_scope"] = std::string(scope_name(*journal.target_scope));
  auto bytes = canonical_json(o);
  if (!bytes.ok())
    return caused_by(ErrorKind::state_unavailable, "cannot encode the journal", bytes.error());
  return std::move(bytes).value();
}

namespace {

constexpr std::string_view kJournalName = "journal.json";

Status write_journal(const Dir& control, const Journal& journal, std::string_view phase) {
  VELK_ASSIGN(const std::string bytes, encode_journal(journal, phase));
  return control.write(std::string(kJournalName), bytes);
}

}  // namespace

std::string journal_path(const Dir& control) { return control.below(kJournalName); }

Result<std::optional<Journal>> read_journal(const Dir& control) {
  if (!control.valid()) return std::optional<Journal>{};
  const std::string path = journal_path(control);
  auto bytes = control.read(std::string(kJournalName),
                            "a journal exists at " + path + " but cannot be read", kJournalCap);
  if (!bytes.ok()) {
    if (bytes.error().sys_errno == ENOENT) return std::optional<Journal>{};
    Error e = std::move(bytes).error();
    e.kind = ErrorKind::recovery_required;
    e.code = reason_for(ErrorKind::recovery_required);
    return e;
  }
  VELK_ASSIGN(Journal journal, parse_journal(path, *bytes));
  return std::optional<Journal>(std::move(journal));
}

Result<Journal> parse_journal(const std::string& path, std::string_view bytes) {
  const std::string unparsable = "a journal exists at " + path + " but does not parse";
  static const std::vector<std::string_view> kMembers = {
      "schema_version", "phase", "operation_id", "operation", "plan_digest",
      "target_precondition_digest", "backup_ref", "target_scope"};
  auto parsed = parse_json_members(bytes, kMembers, 1024);
  if (!parsed.ok()) return with_cause(ErrorKind::recovery_required, unparsable, parsed.error());
  // The schema is looked at first: a journal of another schema need not
  // have this one's members at all.
  if (parsed->is_object()) {
    auto schema = field_u32(*parsed, "schema_version");
    if (schema.ok() && *schema != kJournalSchema)
      return recovery_error("journal schema " + std::to_string(*schema) + " is not the " +
                            std::to_string(kJournalSchema) + " this build writes");
  }
  auto mapped = map_journal(*parsed);
  if (!mapped.ok()) return with_cause(ErrorKind::recovery_required, unparsable, mapped.error());
  return std::move(mapped).value();
}

Status publish_journal(const Dir& control, const Journal& journal) {
  if (control.stat(kJournalName))
    return recovery_error("a journal is already published; only recovery may resolve it");
  return write_journal(control, journal, "prepared");
}

Status commit_journal(const Dir& control, const Journal& journal) {
  return write_journal(control, journal, "committed");
}

Status clear_journal(const Dir& control) {
  if (const int e = control.unlink(std::string(kJournalName)); e != 0 && e != ENOENT)
    return system_error(ErrorKind::state_unavailable, "cannot clear " + journal_path(control), e);
  return {};
}

Status check_resolved(const Dir& control, const std::string& pool_path,
                      const std::vector<std::string>& incomplete_slots) {
  VELK_ASSIGN(const auto journal, read_journal(control));
  if (journal)
    return recovery_error("operation " + journal->operation_id + " is journaled as " +
                          journal->phase + "; run recovery before planning");
  if (control.valid() && control.stat("transaction"))
    return recovery_error("a transaction directory remains at " + control.below("transaction") +
                          "; run recovery before planning");
  if (!incomplete_slots.empty())
    return recovery_error(
        "backup slot " +
        path_join(pool_path, *std::min_element(incomplete_slots.begin(), incomplete_slots.end())) +
        " is incomplete; run recovery before planning");
  return {};
}

}  // namespace velk
