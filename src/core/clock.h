// UTC time in milliseconds and its one written form,
// "YYYY-MM-DDTHH:MM:SS.mmmZ", which plan expiries use.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velk {

// Milliseconds since 1970-01-01T00:00:00Z by the system's real-time clock.
int64_t now_utc_millis();

// The instant written as "YYYY-MM-DDTHH:MM:SS.mmmZ". Years outside 0000 to
// 9999 have no such form; they are clamped to the nearest one.
std::string format_utc_millis(int64_t millis);

// The instant a text of exactly that shape names: 24 bytes, digits where
// digits go, the separators in place, and a real calendar date and time of
// day (months 01-12, days within the month, leap years counted, hours
// 00-23, minutes and seconds 00-59). Anything else is nullopt.
std::optional<int64_t> parse_utc_millis(std::string_view text);

}  // namespace velk
