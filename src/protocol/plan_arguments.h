// The argument rules of plan-operation: checked in table order before
// anything is read, each a refusal.
#pragma once

#include "core/error.h"
#include "protocol/request.h"

namespace velk {

// The first rule the request breaks, in table order, or success.
Status check_plan_arguments(const PlanOperationRequest& request);

// A target operation: install, replace, backup, restore or remove.
bool configures_target(Operation op);

// "{op} configures a target and installs no program, so --prefix {prefix}
// means nothing to it" (unsupported_operation).
Error prefix_refusal(Operation op, const std::string& prefix);

// "{op} arrives as a bundle, and none was named" (unsupported_bundle_format).
Error missing_bundle_refusal(Operation op);

// "{op} is not declared by this provider" (unsupported_operation).
Error undeclared_refusal(Operation op);

}  // namespace velk
