#include "frontend/HttpDate.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "platform/Sjis.h"

namespace frontend {
namespace {

constexpr const char* kMonths[12] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN", "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
constexpr const char* kMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr const char* kDayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
// 1899-12-30, day 0 of the date-time form, counted from 1970-01-01.
constexpr std::int64_t kEpochOffset = 25569;

// Howard Hinnant's days_from_civil / civil_from_days.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y += m <= 2;
}

bool AllDigits(std::string_view s) {
  if (s.empty() || s.size() > 9) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

int ToInt(std::string_view s) {
  int v = 0;
  for (char c : s) v = v * 10 + (c - '0');
  return v;
}

bool ParseTime(std::string_view s, int& h, int& mi, int& se) {
  if (s.size() != 8 || s[2] != ':' || s[5] != ':') return false;
  const std::string_view hh = s.substr(0, 2), mm = s.substr(3, 2), ss = s.substr(6, 2);
  if (!AllDigits(hh) || !AllDigits(mm) || !AllDigits(ss)) return false;
  h = ToInt(hh);
  mi = ToInt(mm);
  se = ToInt(ss);
  return h < 24 && mi < 60 && se < 62;
}

}  // namespace

double ParseHttpDate(std::string_view text) {
  std::vector<std::string_view> tokens;
  std::size_t start = std::string_view::npos;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    const bool sep = i == text.size() || text[i] == ' ' || text[i] == ',' || text[i] == '-' || text[i] == '\t';
    if (!sep && start == std::string_view::npos) start = i;
    if (sep && start != std::string_view::npos) {
      tokens.push_back(text.substr(start, i - start));
      start = std::string_view::npos;
    }
  }
  int day = -1, month = -1, year = -1, hour = -1, minute = 0, second = 0;
  for (std::string_view t : tokens) {
    if (t.find(':') != std::string_view::npos) {
      if (hour >= 0 || !ParseTime(t, hour, minute, second)) return -1.0;
    } else if (AllDigits(t)) {
      if (day < 0) {
        day = ToInt(t);
      } else if (year < 0) {
        year = ToInt(t);
        if (t.size() <= 2) year += year < 70 ? 2000 : 1900;
      } else {
        return -1.0;
      }
    } else if (month < 0 && t.size() == 3) {
      const std::string upper = platform::AsciiUpperSjis(t);
      for (int i = 0; i < 12; ++i)
        if (upper == kMonths[i]) month = i + 1;
    }
  }
  if (day < 1 || day > 31 || month < 1 || year < 1 || year > 9999 || hour < 0) return -1.0;
  const std::int64_t days =
      DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) + kEpochOffset;
  return static_cast<double>(days) + (hour * 3600 + minute * 60 + second) / 86400.0;
}

std::string FormatHttpDate(double value) {
  auto days = static_cast<std::int64_t>(std::floor(value));
  auto secs = static_cast<std::int64_t>(std::llround((value - static_cast<double>(days)) * 86400.0));
  if (secs >= 86400) {
    ++days;
    secs -= 86400;
  }
  std::int64_t y = 0;
  unsigned m = 0, d = 0;
  CivilFromDays(days - kEpochOffset, y, m, d);
  // 1899-12-30 was a Saturday.
  const auto weekday = static_cast<std::size_t>(((days % 7) + 7 + 6) % 7);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s, %02u %s %04lld %02lld:%02lld:%02lld GMT", kDayNames[weekday], d,
                kMonthNames[m - 1], static_cast<long long>(y), static_cast<long long>(secs / 3600),
                static_cast<long long>(secs / 60 % 60), static_cast<long long>(secs % 60));
  return buf;
}

}  // namespace frontend
