// Shared by the plan and apply tests, which run in-process.
#pragma once

#include "support/bundle_fixture.h"
#include "protocol/apply_plan.h"
#include "protocol/plan_operation.h"

namespace velk::testing {

inline constexpr char kLater[] = "2099-12-31T23:59:59.999Z";

// A target, and a directory beside it for bundles.
struct Fixture {
  TempDir t;
  TempDir side;
};

inline PlanOperationRequest plan_of(const std::string& target, Operation op,
                                    std::optional<TargetScope> scope = std::nullopt) {
  PlanOperationRequest r;
  r.target = target;
  r.operation = op;
  r.target_scope = scope;
  r.provider_release_digest = "release-1";
  r.operation_id = "op-plan";
  r.expires_at = kLater;
  return r;
}

template <class T>
T must_plan(Result<T> result) {
  EXPECT_TRUE(result.ok()) << (result.ok() ? "" : result.error().message);
  if (!result.ok()) std::abort();
  return std::move(result).value();
}

}  // namespace velk::testing
