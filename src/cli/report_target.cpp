// `status`, `diff` and `backups`: reports on one target. The store is only
// located, never opened, so a report creates nothing inside the target.
#include <sys/stat.h>

#include "cli/report_commands.h"
#include "core/fs.h"
#include "core/text.h"
#include "product/declaration.h"
#include "store/store.h"

namespace velk {

Status run_status(std::string_view text, std::ostream& out) {
  VELK_ASSIGN(const TargetReport report, report_target(text, std::nullopt, ReportParts{}));
  if (report.identity_error) return *report.identity_error;
  const std::string& identity = report.identity;
  out << "Target   " << report.store.target_path << "\n";
  out << "Identity " << short_digest(identity) << "\n";

  if (report.state_error) return *report.state_error;
  const StateRead& read = report.state;
  switch (read.kind) {
    case StateRead::Kind::absent:
      out << "Setup    none applied by " << declaration().provider_id << "\n";
      break;
    case StateRead::Kind::other_schema:
      out << "Setup    recorded in schema " << read.found_schema
          << ", which this build does not write\n";
      out << "         reported as found; nothing was migrated\n";
      break;
    case StateRead::Kind::present:
      if (read.state.setup_stable_id)
        out << "Setup    " << shown(*read.state.setup_stable_id) << "\n";
      else
        out << "Setup    none \u2014 the last operation named no setup\n";
      out << "Applied  operation " << shown(read.state.operation_id) << "\n";
      if (identity == read.state.target_identity_digest) {
        out << "Drift    none\n";
      } else {
        out << "Drift    the target has changed since it was applied\n";
        out << "         run `diff` to see where, or `reinstall` to put it back\n";
      }
      break;
  }

  if (report.slots_error) return *report.slots_error;
  out << "Backups  " << report.slots.size() << "\n";
  return {};
}

Status run_diff(std::string_view text, std::ostream& out) {
  ReportParts parts;
  parts.journal = parts.slots = false;
  VELK_ASSIGN(const TargetReport report, report_target(text, std::nullopt, parts));
  if (report.identity_error) return *report.identity_error;
  if (report.state_error) return *report.state_error;
  const StateRead& read = report.state;
  if (!read.present()) {
    out << "Nothing to compare: " << declaration().provider_id << " has applied no setup here.\n";
    return {};
  }
  const ProviderState& state = read.state;
  if (report.identity == state.target_identity_digest) {
    out << "The target matches the setup recorded in it.\n";
    return {};
  }
  out << "The target has changed since "
      << (state.setup_stable_id ? shown(*state.setup_stable_id) : std::string("the recorded setup"))
      << " was applied.\n";
  out << "  recorded " << short_digest(state.target_identity_digest) << "\n";
  out << "  observed " << short_digest(report.identity) << "\n";
  out << "\nThis provider owns:\n";
  for (const auto& surface : declaration().owned_surfaces) {
    // A dangling link is something at that path: looked at without following.
    const bool present = report.store.target.stat(surface.path).has_value();
    out << "  " << (present ? "present" : "absent ") << "  " << surface.path << "\n";
  }
  out << "\n`reinstall` puts the recorded setup back. Everything else is left alone.\n";
  return {};
}

Status run_backups(std::string_view text, std::ostream& out) {
  ReportParts parts;
  parts.state = parts.identity = parts.journal = false;
  VELK_ASSIGN(const TargetReport report, report_target(text, std::nullopt, parts));
  if (report.slots_error) return *report.slots_error;
  if (report.slots.empty()) {
    out << "No backups. One is captured before every change.\n";
    return {};
  }
  out << "Backups of " << report.store.target_path << ", newest first:\n\n";
  bool newest = true;
  for (const ListedSlot& listed : report.slots) {
    const SlotEntry& slot = listed.slot;
    out << "  " << slot.record.backup_ref;
    if (newest) out << "  (restored by default)";
    if (listed.hold_reason) out << "  (held: " << shown(*listed.hold_reason) << ")";
    out << "\n";
    out << "      before " << shown(slot.record.operation) << ", setup "
        << (slot.record.setup_id ? shown(*slot.record.setup_id) : std::string("none")) << "\n";
    newest = false;
  }
  out << "\nRestore a specific one with:  restore --backup <ref> --target <dir>\n";
  return {};
}

}  // namespace velk
