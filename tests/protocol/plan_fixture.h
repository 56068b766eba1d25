// Shared by the plan and apply tests, which make requests in-process.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "protocol/apply_plan.h"
#include "protocol/plan_operation.h"
#include "support/bundle_writer.h"
#include "support/temp_dir.h"

namespace velk::testing {

inline constexpr char kLater[] = "2099-12-31T23:59:59.999Z";

// A target, and a directory beside it for bundles.
struct Fixture {
  TempDir t;
  TempDir side;
};

inline PlanOperationRequest plan_of(const std::string& target, Operation op) {
  PlanOperationRequest r;
  r.target = target;
  r.operation = op;
  r.provider_release_digest = "release-1";
  r.operation_id = "op-plan";
  r.expires_at = kLater;
  return r;
}

inline void expect_refusal(const Error& error, ReasonCode code, const std::string& detail) {
  EXPECT_EQ(error.message, detail);
  EXPECT_EQ(reason_name(error.code), reason_name(code)) << error.message;
}

template <class T>
void expect_refused(const Result<T>& result, ReasonCode code, const std::string& detail) {
  ASSERT_FALSE(result.ok()) << "expected a refusal: " << detail;
  expect_refusal(result.error(), code, detail);
}

template <class T>
T must_plan(Result<T> result) {
  EXPECT_TRUE(result.ok()) << (result.ok() ? "" : result.error().message);
  if (!result.ok()) std::abort();
  return std::move(result).value();
}

}  // namespace velk::testing
