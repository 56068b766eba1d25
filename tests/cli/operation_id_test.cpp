#include "cli/operation_id.h"

#include <gtest/gtest.h>

#include "core/digest.h"

namespace velk {
namespace {

TEST(HumanOperationId, TakesTheTwentyFourDigitsAfterThePrefix) {
  const std::string identity = digest_bytes("");
  const std::string expected =
      "operation_" + digest_bytes("velk-setup-system:" + identity + ":1700000000").substr(7, 24);
  EXPECT_EQ(human_operation_id(identity, 1700000000), expected);
  EXPECT_EQ(expected.size(), 34u);
  // A clock before 1970 counts as 0.
  EXPECT_EQ(human_operation_id(identity, -5), human_operation_id(identity, 0));
  EXPECT_NE(human_operation_id(identity, 1), human_operation_id(identity, 2));
}

}  // namespace
}  // namespace velk
