#include "store/pool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "core/atomic_write.h"
#include "core/fs.h"
#include "core/fs_at.h"
#include "core/json.h"
#include "core/text.h"
#include "store/pool_files.h"

namespace velk {

namespace {

constexpr std::string_view kNoReason = "no reason recorded";

bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }

bool is_slot_ref(std::string_view text) {
  return text.size() == 17 && starts_with(text, "slot-") &&
         std::all_of(text.begin() + 5, text.end(), is_ascii_digit);
}

std::string trimmed(std::string_view text) {
  constexpr std::string_view space = " \t\r\n\f\v";
  const size_t begin = text.find_first_not_of(space);
  if (begin == std::string_view::npos) return "";
  const size_t end = text.find_last_not_of(space);
  return std::string(text.substr(begin, end - begin + 1));
}

// A complete slot by its reference, or the refusal of hold and release.
Result<SlotEntry> complete_slot(const BackupPool& pool, const std::string& ref) {
  const Error refusal =
      make_error(ErrorKind::integrity_mismatch, ref + " is not a completed slot in this pool");
  if (!is_slot_ref(ref)) return refusal;
  VELK_ASSIGN(auto slots, list_slots(pool));
  for (auto& slot : slots)
    if (slot.name == ref) return std::move(slot);
  return refusal;
}

// Whether `name` of the pool is a real directory (never a link).
bool is_directory_at(const BackupPool& pool, const std::string& name) {
  const auto st = pool.dir.stat(name);
  return st && S_ISDIR(st->st_mode);
}

}  // namespace

Result<SlotRecord> parse_slot_record(const std::string& path, std::string_view text) {
  const auto unparsable = [&](const std::string& cause) {
    return with_cause(ErrorKind::state_unavailable, path + " does not parse as a backup record",
                      cause);
  };
  static const std::vector<std::string_view> kMembers = {
      "schema_version", "backup_ref", "operation", "operation_id", "target_identity_digest",
      "setup_id", "setup_definition_digest"};
  auto parsed = parse_json_members(text, kMembers, 1024);
  if (!parsed.ok()) return unparsable(parsed.error());
  const Json& doc = parsed.value();
  if (auto object = as_object(doc); !object.ok()) return unparsable(object.error());
  auto schema = field_u64(doc, "schema_version");
  if (!schema.ok()) return unparsable(schema.error());
  if (*schema != kSlotSchema)
    return make_error(ErrorKind::state_unavailable,
                      "backup schema " + std::to_string(*schema) + " is not the " +
                          std::to_string(kSlotSchema) + " this build writes");
  SlotRecord record;
  record.schema_version = kSlotSchema;
  auto backup_ref = field_string(doc, "backup_ref");
  if (!backup_ref.ok()) return unparsable(backup_ref.error());
  auto operation = field_string(doc, "operation");
  if (!operation.ok()) return unparsable(operation.error());
  auto operation_id = field_string(doc, "operation_id");
  if (!operation_id.ok()) return unparsable(operation_id.error());
  auto identity = field_string(doc, "target_identity_digest");
  if (!identity.ok()) return unparsable(identity.error());
  auto setup_id = field_optional_string(doc, "setup_id");
  if (!setup_id.ok()) return unparsable(setup_id.error());
  auto definition = field_optional_string(doc, "setup_definition_digest");
  if (!definition.ok()) return unparsable(definition.error());
  record.backup_ref = std::move(*backup_ref);
  record.operation = std::move(*operation);
  record.operation_id = std::move(*operation_id);
  record.target_identity_digest = std::move(*identity);
  record.setup_id = std::move(*setup_id);
  record.setup_definition_digest = std::move(*definition);
  return record;
}

Result<std::string> parse_slot_ref(std::string_view text) {
  if (!is_slot_ref(text))
    return make_error(ErrorKind::integrity_mismatch,
                      std::string(text) + " is not a backup reference");
  return std::string(text);
}

std::string slot_name(uint64_t number) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "slot-%012" PRIu64, number);
  return buffer;
}

uint64_t slot_number(std::string_view name) {
  if (!is_slot_ref(name)) return 0;
  uint64_t n = 0;
  for (const char c : name.substr(5)) n = n * 10 + static_cast<uint64_t>(c - '0');
  return n;
}

Result<std::vector<std::string>> list_pool(const BackupPool& pool) {
  // A target no change has touched yet has no pool: nothing to list.
  if (!pool.dir.valid()) return std::vector<std::string>{};
  return pool.dir.list();
}

Result<std::vector<std::string>> list_slot_names(const BackupPool& pool) {
  VELK_ASSIGN(const auto names, list_pool(pool));
  std::vector<std::string> slots;
  for (const auto& name : names)
    if (is_slot_ref(name) && is_directory_at(pool, name)) slots.push_back(name);
  return slots;
}

Result<std::vector<SlotEntry>> list_slots(const BackupPool& pool) {
  VELK_ASSIGN(const auto names, list_slot_names(pool));
  std::vector<SlotEntry> slots;
  for (const auto& name : names) {
    auto dir = pool.dir.open(name);
    if (!dir.ok()) continue;  // no longer a directory: a leftover, or gone
    const std::string path = dir->below(kSlotRecordName);
    auto text = dir->read(std::string(kSlotRecordName), "cannot read " + path, kSlotRecordCap);
    if (!text.ok()) {
      const int e = text.error().sys_errno;
      if (e == ENOENT || e == ENOTDIR) continue;  // an incomplete slot
      return std::move(text).error();
    }
    VELK_ASSIGN(auto record, parse_slot_record(path, *text));
    // A record is data in the pool: one that names another slot than the
    // one it is kept in is not this slot's record.
    if (record.backup_ref != name)
      return make_error(ErrorKind::state_unavailable,
                        path + " names " + quoted_form(record.backup_ref) +
                            ", not the slot it is kept in");
    slots.push_back(SlotEntry{name, std::move(record), std::move(dir).value()});
  }
  std::sort(slots.begin(), slots.end(), [](const SlotEntry& a, const SlotEntry& b) {
    return slot_number(a.name) > slot_number(b.name);
  });
  return slots;
}

Result<std::vector<std::string>> list_incomplete_slots(const BackupPool& pool) {
  VELK_ASSIGN(auto names, list_slot_names(pool));
  std::vector<std::string> incomplete;
  for (auto& name : names)
    if (!pool.dir.stat(name + "/" + std::string(kSlotRecordName))) incomplete.push_back(std::move(name));
  std::sort(incomplete.begin(), incomplete.end());
  return incomplete;
}

Result<Dir> open_complete_slot(const BackupPool& pool, const std::string& name) {
  const Error absent =
      make_error(ErrorKind::integrity_mismatch, "backup " + name + " is absent or incomplete");
  if (!is_slot_ref(name) || !pool.dir.valid()) return absent;
  auto slot = pool.dir.open(name);
  if (!slot.ok()) return absent;
  const auto record = slot->stat(kSlotRecordName);
  if (!record || !S_ISREG(record->st_mode)) return absent;
  return std::move(slot).value();
}

Result<Dir> slot_payload(const Dir& slot) {
  auto payload = slot.open(kPayloadName);
  if (!payload.ok())
    return make_error(ErrorKind::integrity_mismatch,
                      "backup " + file_name(slot.path()) + " is absent or incomplete");
  return std::move(payload).value();
}

Result<SlotEntry> resolve_restore_source(const BackupPool& pool,
                                         const std::optional<std::string>& ref) {
  if (ref) VELK_TRY(parse_slot_ref(*ref));
  VELK_ASSIGN(auto slots, list_slots(pool));
  if (!ref) {
    if (slots.empty())
      return make_error(ErrorKind::state_unavailable, "this target has no backup to restore");
    return std::move(slots.front());
  }
  for (auto& slot : slots)
    if (slot.name == *ref) return std::move(slot);
  return make_error(ErrorKind::integrity_mismatch,
                    *ref + " is not a completed backup of this target");
}

std::optional<std::string> hold_reason(const Dir& slot) {
  const std::string path = slot.below(kHeldName);
  auto text = slot.read(std::string(kHeldName), "cannot read " + path, kHeldCap);
  if (!text.ok()) return std::nullopt;
  std::string reason = trimmed(*text);
  if (reason.empty()) return std::string(kNoReason);
  return reason;
}

Result<std::vector<HeldSlot>> list_held(const BackupPool& pool) {
  VELK_ASSIGN(const auto slots, list_slots(pool));
  std::vector<HeldSlot> held;
  for (const auto& slot : slots)
    if (auto reason = hold_reason(slot.dir)) held.push_back(HeldSlot{slot.name, std::move(*reason)});
  return held;
}

namespace {

// Whether the slot directory held still sits at its name in the pool (a
// prune renames a slot away before it deletes it).
bool still_in_pool(const BackupPool& pool, const SlotEntry& slot) {
  struct stat held;
  const auto at_name = pool.dir.stat(slot.name);
  return at_name && ::fstat(slot.dir.fd(), &held) == 0 && at_name->st_dev == held.st_dev &&
         at_name->st_ino == held.st_ino;
}

}  // namespace

Result<HoldOutcome> hold(const BackupPool& pool, const std::string& ref,
                         const std::optional<std::string>& reason) {
  VELK_ASSIGN(const SlotEntry slot, complete_slot(pool, ref));
  if (hold_reason(slot.dir)) return HoldOutcome::already_held;
  VELK_ASSIGN(const auto held, list_held(pool));
  if (held.size() + 1 >= pool.capacity) {
    std::vector<std::string> named;
    for (const auto& h : held) named.push_back(h.name + " (" + shown(h.reason) + ")");
    return make_error(ErrorKind::unsupported_operation,
                      "holding " + ref + " would leave this pool of " +
                          std::to_string(pool.capacity) +
                          " no slot to rotate; release one of these first, and the reason each "
                          "names is who would lose it: " +
                          join(named, ", "));
  }
  // Written into the slot's own directory, held since it was listed: a slot
  // a prune is taking away is not brought back as an incomplete one.
  const std::string text = reason ? *reason : std::string(kNoReason);
  auto written = slot.dir.write(std::string(kHeldName), text);
  if (!written.ok())
    return caused_by(ErrorKind::state_unavailable, "cannot hold " + ref, written.error());
  if (!still_in_pool(pool, slot)) {
    // A prune took the slot while it was being held: the hold did not land.
    (void)slot.dir.unlink(std::string(kHeldName));
    return make_error(ErrorKind::integrity_mismatch, ref + " is not a completed slot in this pool");
  }
  return HoldOutcome::held;
}

Result<ReleaseOutcome> release(const BackupPool& pool, const std::string& ref) {
  VELK_ASSIGN(const SlotEntry slot, complete_slot(pool, ref));
  const std::string held(kHeldName);
  if (!slot.dir.stat(held)) return ReleaseOutcome::not_held;
  if (const int e = slot.dir.unlink(held); e != 0 && e != ENOENT)
    return system_error(ErrorKind::state_unavailable, "cannot release " + ref, e);
  return ReleaseOutcome::released;
}

}  // namespace velk
