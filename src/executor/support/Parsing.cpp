#include "executor/support/Parsing.h"

#include <algorithm>
#include <cstdio>

#include "executor/support/CVError.h"
#include "localization/L10n.h"

namespace corvane {

bool isIdentifier(std::string_view text) {
  if (text.empty() || text.size() > 128) return false;
  for (char c : text) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

namespace {

class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  bool digits(size_t count, int& value) {
    if (position_ + count > text_.size()) return false;
    value = 0;
    for (size_t i = 0; i < count; ++i) {
      char c = text_[position_ + i];
      if (c < '0' || c > '9') return false;
      value = value * 10 + (c - '0');
    }
    position_ += count;
    return true;
  }
  bool literal(char c) {
    if (position_ >= text_.size() || text_[position_] != c) return false;
    ++position_;
    return true;
  }
  bool atEnd() const { return position_ == text_.size(); }

 private:
  std::string_view text_;
  size_t position_ = 0;
};

using namespace std::chrono;

// The range a written time can name: 0001-01-01T00:00:00Z to the last
// microsecond of 9999.
constexpr WallTime earliest = sys_days(year(1) / January / 1);
constexpr WallTime latest = sys_days(year(10000) / January / 1) - microseconds(1);

std::optional<WallTime> parseInternetDateTime(std::string_view text) {
  Reader r(text);
  int y, mo, d, h, mi, s;
  if (!(r.digits(4, y) && r.literal('-') && r.digits(2, mo) && r.literal('-') && r.digits(2, d) && r.literal('T') &&
        r.digits(2, h) && r.literal(':') && r.digits(2, mi) && r.literal(':') && r.digits(2, s)))
    return std::nullopt;
  microseconds fraction{0};
  if (r.literal('.')) {
    int count = 0;
    long long scale = 100000;
    int digit;
    while (r.digits(1, digit)) {
      fraction += microseconds(digit * scale);
      scale /= 10;
      ++count;
    }
    if (count == 0) return std::nullopt;
  }
  int offsetMinutes = 0;
  if (!r.literal('Z')) {
    int sign = r.literal('+') ? 1 : (r.literal('-') ? -1 : 0);
    int oh, om;
    if (sign == 0 || !r.digits(2, oh) || !r.literal(':') || !r.digits(2, om) || oh > 23 || om > 59) return std::nullopt;
    offsetMinutes = sign * (oh * 60 + om);
  }
  if (!r.atEnd()) return std::nullopt;
  year_month_day date{year(y), month(static_cast<unsigned>(mo)), day(static_cast<unsigned>(d))};
  if (!date.ok() || h > 23 || mi > 59 || s > 59) return std::nullopt;
  WallTime time = sys_days(date) + hours(h) + minutes(mi) + seconds(s) - minutes(offsetMinutes) + fraction;
  if (time < earliest || time > latest) return std::nullopt;
  return time;
}

}  // namespace

WallTime parseTime(const Json* value) {
  std::string text = string(value, L10n::text("time"));
  auto time = parseInternetDateTime(text);
  if (!time) throw CVError::invalid(L10n::text("Invalid time"));
  return *time;
}

std::string formatTime(WallTime time) {
  auto secondsSinceEpoch = floor<seconds>(std::clamp(time, earliest, latest));
  auto days = floor<std::chrono::days>(secondsSinceEpoch);
  year_month_day date{days};
  hh_mm_ss clock{secondsSinceEpoch - days};
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                static_cast<int>(clock.seconds().count()));
  return buffer;
}

}  // namespace corvane
