#include "core/clock.h"

#include <gtest/gtest.h>

namespace velk {
namespace {

TEST(Clock, FormatsAndParsesTheSameInstant) {
  EXPECT_EQ(format_utc_millis(0), "1970-01-01T00:00:00.000Z");
  EXPECT_EQ(format_utc_millis(951782400123), "2000-02-29T00:00:00.123Z");
  EXPECT_EQ(format_utc_millis(-1), "1969-12-31T23:59:59.999Z");
  for (int64_t t : {int64_t{0}, int64_t{-1}, int64_t{951782400123}, int64_t{4102444799999},
                    int64_t{1733486400001}})
    EXPECT_EQ(parse_utc_millis(format_utc_millis(t)), t) << t;
  EXPECT_EQ(parse_utc_millis("9999-12-31T23:59:59.999Z"), int64_t{253402300799999});
}

TEST(Clock, RefusesEverythingButTheExactShapeAndRealDates) {
  for (const char* text :
       {"2099-12-31T23:59:59Z", "2099-12-31T23:59:59.9999Z", "2099-12-31 23:59:59.999Z",
        "2099-12-31T23:59:59.999z", "2099-12-31T23:59:59.999+00:00", "2099-1-31T23:59:59.999Z",
        "2099-12-31T23:59:5a.999Z", "+099-12-31T23:59:59.999Z", " 2099-12-31T23:59:59.999Z",
        "2099-13-01T00:00:00.000Z", "2099-00-01T00:00:00.000Z", "2099-04-31T00:00:00.000Z",
        "2100-02-29T00:00:00.000Z", "2023-02-29T00:00:00.000Z", "2099-12-00T00:00:00.000Z",
        "2099-12-31T24:00:00.000Z", "2099-12-31T23:60:00.000Z", "2099-12-31T23:59:60.000Z", ""})
    EXPECT_FALSE(parse_utc_millis(text)) << text;
  EXPECT_TRUE(parse_utc_millis("2000-02-29T00:00:00.000Z"));
  EXPECT_TRUE(parse_utc_millis("2024-02-29T12:30:45.678Z"));
}

}  // namespace
}  // namespace velk
