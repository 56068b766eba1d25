#include "core/clock.h"

#include <chrono>
#include <cstdio>

namespace velk {
namespace {

constexpr int64_t kMillisPerDay = 86400000;

bool is_leap(int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int days_in_month(int64_t year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && is_leap(year) ? 29 : kDays[month - 1];
}

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's
// days_from_civil).
int64_t days_from_civil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

struct Civil {
  int64_t year;
  int month;
  int day;
};

Civil civil_from_days(int64_t z) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  return Civil{yoe + era * 400 + (month <= 2), month, day};
}

// The value of the digits at [at, at + count), or -1 when one is no digit.
int64_t digits(std::string_view text, size_t at, size_t count) {
  int64_t value = 0;
  for (size_t i = at; i < at + count; ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

}  // namespace

int64_t now_utc_millis() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::string format_utc_millis(int64_t millis) {
  const int64_t lowest = days_from_civil(0, 1, 1) * kMillisPerDay;
  const int64_t highest = days_from_civil(10000, 1, 1) * kMillisPerDay - 1;
  if (millis < lowest) millis = lowest;
  if (millis > highest) millis = highest;
  int64_t days = millis / kMillisPerDay;
  int64_t rest = millis % kMillisPerDay;
  if (rest < 0) {
    rest += kMillisPerDay;
    --days;
  }
  const Civil date = civil_from_days(days);
  char text[96];
  std::snprintf(text, sizeof text, "%04lld-%02d-%02dT%02lld:%02lld:%02lld.%03lldZ",
                static_cast<long long>(date.year), date.month, date.day,
                static_cast<long long>(rest / 3600000), static_cast<long long>(rest / 60000 % 60),
                static_cast<long long>(rest / 1000 % 60), static_cast<long long>(rest % 1000));
  return text;
}

std::optional<int64_t> parse_utc_millis(std::string_view text) {
  // YYYY-MM-DDTHH:MM:SS.mmmZ
  // 0123456789012345678901234
  if (text.size() != 24) return std::nullopt;
  constexpr std::pair<size_t, char> kSeparators[] = {{4, '-'},  {7, '-'},  {10, 'T'}, {13, ':'},
                                                     {16, ':'}, {19, '.'}, {23, 'Z'}};
  for (const auto& [at, c] : kSeparators)
    if (text[at] != c) return std::nullopt;
  const int64_t year = digits(text, 0, 4);
  const int64_t month = digits(text, 5, 2);
  const int64_t day = digits(text, 8, 2);
  const int64_t hour = digits(text, 11, 2);
  const int64_t minute = digits(text, 14, 2);
  const int64_t second = digits(text, 17, 2);
  const int64_t milli = digits(text, 20, 3);
  if (year < 0 || month < 1 || month > 12 || day < 1 || hour < 0 || hour > 23 || minute < 0 ||
      minute > 59 || second < 0 || second > 59 || milli < 0)
    return std::nullopt;
  if (day > days_in_month(year, static_cast<int>(month))) return std::nullopt;
  const int64_t days = days_from_civil(year, static_cast<int>(month), static_cast<int>(day));
  return days * kMillisPerDay + ((hour * 60 + minute) * 60 + second) * 1000 + milli;
}

}  // namespace velk
