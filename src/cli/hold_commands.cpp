#include "cli/hold_commands.h"

#include <string>
#include <vector>

#include "core/fs.h"
#include "core/text.h"
#include "store/store.h"

namespace velk {
namespace {

// The slot a hold or release names. Without --backup the refusal lists what
// could have been named, so the person need not run `backups` first.
Result<std::string> named_slot(const TargetStore& store, const UserCommand& command) {
  const std::string word(user_word_name(command.word));
  if (!command.backup) {
    VELK_ASSIGN(const std::vector<SlotEntry> slots, list_slots(store.pool));
    if (slots.empty())
      return make_error(ErrorKind::unsupported_operation,
                        word + " requires --backup <ref>, and this target has no backups");
    std::vector<std::string> refs;
    for (const auto& slot : slots) refs.push_back(slot.name);
    return make_error(ErrorKind::unsupported_operation,
                      word + " requires --backup <ref>; this target holds " + join(refs, ", "));
  }
  const std::string& text = *command.backup;
  if (!parse_slot_ref(text).ok())
    return make_error(ErrorKind::integrity_mismatch,
                      quoted_form(text) +
                          " is not a backup reference: a reference is slot- followed by exactly "
                          "12 digits, as `backups` lists them");
  return text;
}

}  // namespace

Status run_hold(const UserCommand& command, std::ostream& out) {
  VELK_ASSIGN(const TargetStore store, locate_target_store(command.target));
  VELK_ASSIGN(const std::string ref, named_slot(store, command));
  VELK_ASSIGN(const HoldOutcome outcome, hold(store.pool, ref, command.reason));
  // The reason as it reads back, which is what `backups` will show.
  std::string reason = "no reason recorded";
  if (auto slot = open_complete_slot(store.pool, ref); slot.ok())
    reason = shown(hold_reason(*slot).value_or(reason));
  if (outcome == HoldOutcome::already_held) {
    out << ref << " was already held (" << reason << ").\n";
    return {};
  }
  out << ref << " is held (" << reason
      << "). Retention will not reclaim it until it is released.\n";
  out << "  release it with:  release --backup " << ref << " --target " << store.target_path
      << "\n";
  return {};
}

Status run_release(const UserCommand& command, std::ostream& out) {
  VELK_ASSIGN(const TargetStore store, locate_target_store(command.target));
  VELK_ASSIGN(const std::string ref, named_slot(store, command));
  VELK_ASSIGN(const ReleaseOutcome outcome, release(store.pool, ref));
  if (outcome == ReleaseOutcome::not_held)
    out << ref << " was not held; nothing to release.\n";
  else
    out << ref << " is released and will be reclaimed like any other slot.\n";
  return {};
}

}  // namespace velk
