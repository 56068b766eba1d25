#include "protocol/dispatch.h"
#include "core/json.h"

#include <gtest/gtest.h>

namespace velk {
namespace {

TEST(RefusalDocument, HoldsTheFourMembersInOrder) {
  const Json document =
      refusal_document(refusal(ReasonCode::recovery_required, "journal \"j\" is left"));
  EXPECT_EQ(document.dump(),
            R"({"state":"refused","rejected":true,"reason":"recovery_required","detail":"journal \"j\" is left"})");
}

}  // namespace
}  // namespace velk
