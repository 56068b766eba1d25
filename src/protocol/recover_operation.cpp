#include "protocol/recover_operation.h"

#include "core/json.h"
#include "core/text.h"
#include "store/store.h"

namespace velk {

Result<Json> recover_operation(const RecoverOperationRequest& request) {
  VELK_ASSIGN(const RecoveryOutcome outcome, recover(request.target));
  Json o = Json::object();
  o["state"] = "verified";
  if (!outcome.phase) {
    o["recovered"] = !outcome.cleared_slots.empty();
    if (outcome.cleared_slots.empty())
      o["detail"] = "no journal is published; there is nothing to resolve";
    else
      o["detail"] = "cleared the incomplete backup slot(s) " + join(outcome.cleared_slots, ", ") +
                    "; no journal is published";
    return o;
  }
  o["recovered"] = true;
  o["phase"] = *outcome.phase;
  if (outcome.restored_from) o["restored_from"] = *outcome.restored_from;
  o["target_identity_digest"] = outcome.identity ? Json(*outcome.identity) : Json(nullptr);
  return o;
}

}  // namespace velk
