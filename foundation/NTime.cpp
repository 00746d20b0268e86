#include "foundation/NTime.h"

#include <time.h>

#include <algorithm>
#include <cstring>

namespace KAVRO {
namespace {

constexpr uint64_t kTicksPerMillisecond = 10000;
constexpr uint64_t kTicksPerSecond = 10000000;
constexpr uint64_t kTicksPerDay = kTicksPerSecond * 86400;
// Seconds from 1601-01-01 to the Unix epoch.
constexpr int64_t kEpochDifferenceSeconds = 11644473600LL;
// Days from 1970-01-01 back to 1601-01-01.
constexpr int64_t kDaysFrom1601To1970 = 134774;
// FILETIME values from 2^63 on do not convert to calendar fields.
constexpr uint64_t kLargestConvertible = 0x7FFFFFFFFFFFFFFFULL;
constexpr uint16_t kLastYear = 30827;

// Proleptic Gregorian day numbers relative to 1970-01-01.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t* y, unsigned* m, unsigned* d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = static_cast<int64_t>(yoe) + era * 400 + (*m <= 2);
}

bool IsLeap(unsigned y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned DaysInMonth(unsigned y, unsigned m) {
  static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

bool IsValid(const CalendarFields& f) {
  return f.year >= 1601 && f.year <= kLastYear && f.month >= 1 && f.month <= 12 && f.day >= 1 &&
         f.day <= DaysInMonth(f.year, f.month) && f.hour < 24 && f.minute < 60 && f.second < 60 &&
         f.millisecond < 1000;
}

uint64_t ValueOf(const CalendarFields& f) {
  const auto days =
      static_cast<uint64_t>(DaysFromCivil(f.year, f.month, f.day) + kDaysFrom1601To1970);
  return days * kTicksPerDay + ((f.hour * 60ULL + f.minute) * 60ULL + f.second) * kTicksPerSecond +
         f.millisecond * kTicksPerMillisecond;
}

unsigned char UpperByte(unsigned char c) {
  if (c >= 'a' && c <= 'z') return static_cast<unsigned char>(c - 'a' + 'A');
  switch (c) {
    case 0xE5:
      return 0xC5;  // å
    case 0xE6:
      return 0xC6;  // æ
    case 0xF8:
      return 0xD8;  // ø
    default:
      return c;
  }
}

unsigned char LowerByte(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return static_cast<unsigned char>(c - 'A' + 'a');
  switch (c) {
    case 0xC5:
      return 0xE5;
    case 0xC6:
      return 0xE6;
    case 0xD8:
      return 0xF8;
    default:
      return c;
  }
}

std::string_view Trim(std::string_view s) {
  constexpr std::string_view kSpace = " \t\r\n";
  const size_t first = s.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return {};
  const size_t last = s.find_last_not_of(kSpace);
  return s.substr(first, last - first + 1);
}

// Decimal text of n with "0" prepended up to width; a minus sign counts as a
// character, so -5 at width 2 stays "-5".
void AppendPadded(std::string* out, int64_t n, size_t width) {
  char digits[24];
  char* end = digits + sizeof digits;
  char* p = end;
  uint64_t magnitude = n < 0 ? 0 - static_cast<uint64_t>(n) : static_cast<uint64_t>(n);
  do {
    *--p = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (n < 0) *--p = '-';
  const auto len = static_cast<size_t>(end - p);
  if (len < width) out->append(width - len, '0');
  out->append(p, len);
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Reads decimal digits at pos: exactly n of them, or 1 to n. False when the
// text has no digit at pos (or, when exact, fewer than n digits).
bool ReadDigits(std::string_view text, size_t pos, size_t n, bool exact, int* value,
                size_t* consumed) {
  if (pos >= text.size() || !IsDigit(text[pos])) return false;
  size_t i = 0;
  int v = 0;
  while (i < n && pos + i < text.size() && IsDigit(text[pos + i])) {
    v = v * 10 + (text[pos + i] - '0');
    ++i;
  }
  if (exact && i != n) return false;
  *value = v;
  *consumed = i;
  return true;
}

// Up to three characters of a name, stopping at white space.
size_t NameLength(std::string_view text, size_t pos) {
  size_t i = 0;
  while (i < 3 && pos + i < text.size() && !strchr(" \t\r\n", text[pos + i])) ++i;
  return i;
}

// Leading decimal number of a piece of compact text; 0 when it starts with a
// non-digit.
uint16_t LeadingNumber(std::string_view piece) {
  unsigned v = 0;
  for (char c : piece) {
    if (!IsDigit(c)) break;
    v = v * 10 + static_cast<unsigned>(c - '0');
  }
  return static_cast<uint16_t>(v);
}

// Standard-time offset of the machine in seconds east of UTC, without the
// daylight-saving part: the smaller offset of January and July.
bool StandardOffsetSeconds(long* offset) {
  const time_t now = time(nullptr);
  struct tm tm_now;
  if (localtime_r(&now, &tm_now) == nullptr) return false;
  long smallest = tm_now.tm_gmtoff;
  for (int month : {0, 6}) {
    struct tm probe = {};
    probe.tm_year = tm_now.tm_year;
    probe.tm_mon = month;
    probe.tm_mday = 1;
    probe.tm_hour = 12;
    probe.tm_isdst = -1;
    time_t t = mktime(&probe);
    struct tm out;
    if (t == static_cast<time_t>(-1) || localtime_r(&t, &out) == nullptr) continue;
    smallest = std::min(smallest, out.tm_gmtoff);
  }
  *offset = smallest;
  return true;
}

enum class Token {
  kYear,
  kYY,
  kMonth,
  kDay,
  kHour12,
  kHour,
  kMin,
  kSec,
  kMsec,
  kDow,
  kStrMonth,
  kStrDow,
  kZone,
  kMeridiem,
  kNone
};

struct TokenText {
  Token token;
  std::string_view text;
};

// Formatter order; the parser uses the same list without "$DOW".
constexpr TokenText kTokens[] = {
    {Token::kYear, "$YEAR"},         {Token::kYY, "$YY"},
    {Token::kMonth, "$MONTH"},       {Token::kDay, "$DAY"},
    {Token::kHour12, "$HOUR12"},     {Token::kHour, "$HOUR"},
    {Token::kMin, "$MIN"},           {Token::kSec, "$SEC"},
    {Token::kMsec, "$MSEC"},         {Token::kDow, "$DOW"},
    {Token::kStrMonth, "$STRMONTH"}, {Token::kStrDow, "$STRDOW"},
    {Token::kZone, "$ZONE"},         {Token::kMeridiem, "$MERIDIEM"},
};

// The first token of the list at pos of the upper-case format. In elapsed
// mode only the tokens down to "$DOW" count.
const TokenText* MatchToken(std::string_view upper, size_t pos, bool elapsed, bool parsing) {
  if (upper[pos] != '$') return nullptr;
  for (const TokenText& t : kTokens) {
    if (elapsed && t.token > Token::kDow) break;
    if (parsing && t.token == Token::kDow) continue;
    if (parsing && elapsed && t.token == Token::kHour12) continue;
    if (upper.compare(pos, t.text.size(), t.text) == 0) return &t;
  }
  return nullptr;
}

const char* const kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
struct NameReading {
  const char* text;
  int number;
};
const NameReading kDayReadings[] = {
    {"sun", 0}, {"s\xF8n", 0}, {"mon", 1}, {"man", 1}, {"tue", 2}, {"tir", 2}, {"wed", 3},
    {"ons", 3}, {"thu", 4},    {"tor", 4}, {"fri", 5}, {"fre", 5}, {"sat", 6}, {"l\xF8r", 6},
};
const NameReading kMonthReadings[] = {
    {"jan", 1},  {"feb", 2},  {"mar", 3},  {"apr", 4},  {"may", 5},
    {"mai", 5},  {"jun", 6},  {"jul", 7},  {"aug", 8},  {"sep", 9},
    {"oct", 10}, {"okt", 10}, {"nov", 11}, {"dec", 12}, {"des", 12},
};

template <size_t N>
int LookUpName(std::string_view text, const NameReading (&table)[N], int none) {
  const std::string lower = NTime::ToLower(Trim(text));
  if (lower.size() < 3) return none;
  const std::string_view first3(lower.data(), 3);
  for (const NameReading& r : table) {
    if (first3 == r.text) return r.number;
  }
  return none;
}

}  // namespace

NTime::NTime() { SetNow(false); }

NTime::~NTime() = default;

bool NTime::ToFields(CalendarFields* f) const {
  if (value_ > kLargestConvertible) return false;
  const uint64_t days = value_ / kTicksPerDay;
  uint64_t rest = value_ % kTicksPerDay;
  int64_t y;
  unsigned m, d;
  CivilFromDays(static_cast<int64_t>(days) - kDaysFrom1601To1970, &y, &m, &d);
  f->year = static_cast<uint16_t>(y);
  f->month = static_cast<uint16_t>(m);
  f->day = static_cast<uint16_t>(d);
  f->day_of_week = static_cast<uint16_t>((days + 1) % 7);  // 1601-01-01 was a Monday
  f->millisecond = static_cast<uint16_t>(rest % kTicksPerSecond / kTicksPerMillisecond);
  rest /= kTicksPerSecond;
  f->second = static_cast<uint16_t>(rest % 60);
  f->minute = static_cast<uint16_t>(rest / 60 % 60);
  f->hour = static_cast<uint16_t>(rest / 3600);
  return true;
}

bool NTime::FromFields(const CalendarFields& fields) {
  if (IsValid(fields)) {
    value_ = ValueOf(fields);
    return true;
  }
  // Day d of February beyond 28 becomes day d - 28 of March, even in a leap
  // year: mail software writes "30 Feb" and means early March.
  if (fields.month == 2 && fields.day > 28) {
    CalendarFields march = fields;
    march.month = 3;
    march.day = static_cast<uint16_t>(fields.day - 28);
    if (IsValid(march)) {
      value_ = ValueOf(march);
      return true;
    }
  }
  return false;
}

void NTime::SetNow(bool utc) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  int64_t seconds = ts.tv_sec;
  if (!utc) {
    struct tm local;
    const time_t t = ts.tv_sec;
    if (localtime_r(&t, &local) != nullptr) seconds += local.tm_gmtoff;
  }
  value_ = static_cast<uint64_t>(seconds + kEpochDifferenceSeconds) * kTicksPerSecond +
           static_cast<uint64_t>(ts.tv_nsec / 1000000) * kTicksPerMillisecond;
}

void NTime::AddSeconds(int32_t n) {
  value_ += static_cast<uint64_t>(static_cast<int64_t>(n) * static_cast<int64_t>(kTicksPerSecond));
}

void NTime::AddMonths(int16_t n) {
  const int years = n / 12;
  const int months = n % 12;
  if (years != 0) NTime::SetYear(static_cast<uint16_t>(NTime::GetYear() + years));
  if (months == 0) return;
  int m = NTime::GetMonth() + months;
  if (months > 0 && m > 12) {
    NTime::SetYear(static_cast<uint16_t>(NTime::GetYear() + 1));
    m -= 12;
  } else if (months < 0 && m < 1) {
    NTime::SetYear(static_cast<uint16_t>(NTime::GetYear() - 1));
    m += 12;
  }
  NTime::SetMonth(static_cast<uint16_t>(m));
}

namespace {
template <typename Setter>
bool ReplaceField(NTime* t, Setter set) {
  CalendarFields f;
  if (!t->ToFields(&f)) return false;
  set(&f);
  return t->FromFields(f);
}
}  // namespace

bool NTime::SetYear(uint16_t n) {
  return ReplaceField(this, [n](CalendarFields* f) { f->year = n; });
}
bool NTime::SetMonth(uint16_t n) {
  return ReplaceField(this, [n](CalendarFields* f) { f->month = n; });
}
bool NTime::SetDay(uint16_t n) {
  return ReplaceField(this, [n](CalendarFields* f) { f->day = n; });
}
bool NTime::SetHour(uint16_t n) {
  return ReplaceField(this, [n](CalendarFields* f) { f->hour = n; });
}
bool NTime::SetMinute(uint16_t n) {
  return ReplaceField(this, [n](CalendarFields* f) { f->minute = n; });
}
bool NTime::SetSecond(uint16_t n) {
  return ReplaceField(this, [n](CalendarFields* f) { f->second = n; });
}
bool NTime::SetMillisecond(uint16_t n) {
  return ReplaceField(this, [n](CalendarFields* f) { f->millisecond = n; });
}

namespace {
CalendarFields FieldsOrZero(const NTime& t) {
  CalendarFields f;
  if (!t.ToFields(&f)) f = CalendarFields{0, 0, 0, 0, 0, 0, 0, 0};
  return f;
}
}  // namespace

uint16_t NTime::GetYear() const { return FieldsOrZero(*this).year; }
uint16_t NTime::GetMonth() const { return FieldsOrZero(*this).month; }
uint16_t NTime::GetDay() const { return FieldsOrZero(*this).day; }
uint16_t NTime::GetHour() const { return FieldsOrZero(*this).hour; }
uint16_t NTime::GetMinute() const { return FieldsOrZero(*this).minute; }
uint16_t NTime::GetSecond() const { return FieldsOrZero(*this).second; }
uint16_t NTime::GetMillisecond() const { return FieldsOrZero(*this).millisecond; }
uint16_t NTime::GetDayOfWeek() const { return FieldsOrZero(*this).day_of_week; }

std::string NTime::Format(const std::string& fmt) const {
  std::string out;
  FormatWith(&out, fmt, false);
  return out;
}

std::string NTime::ToString() const { return Format("$YEAR$MONTH$DAY$HOUR$MIN$SEC$MSEC"); }

bool NTime::Parse(const std::string& fmt, const std::string& text) {
  if (fmt.empty() || text.empty()) return false;
  const uint64_t saved = value_;
  if (ParseWith(fmt, text, false)) return true;
  value_ = saved;
  return false;
}

bool NTime::FromCompactText(const std::string& text) {
  if (text.size() < 8) return false;
  const std::string_view t(text);
  SetYear(LeadingNumber(t.substr(0, 4)));
  SetMonth(LeadingNumber(t.substr(4, 2)));
  SetDay(LeadingNumber(t.substr(6, 2)));
  if (t.size() >= 10) SetHour(LeadingNumber(t.substr(8, 2)));
  if (t.size() >= 12) SetMinute(LeadingNumber(t.substr(10, 2)));
  if (t.size() >= 14) SetSecond(LeadingNumber(t.substr(12, 2)));
  if (t.size() >= 17) SetMillisecond(LeadingNumber(t.substr(14, 3)));
  return true;
}

void NTime::FormatWith(std::string* out, const std::string& fmt, bool elapsed) const {
  out->clear();
  const std::string upper = ToUpper(fmt);
  const CalendarFields f = FieldsOrZero(*this);
  const int64_t year = elapsed ? int64_t{f.year} - 1601 : f.year;
  const int64_t month = elapsed ? int64_t{f.month} - 1 : f.month;
  const int64_t day = elapsed ? int64_t{f.day} - 1 : f.day;
  size_t pos = 0;
  while (pos < fmt.size()) {
    if (fmt[pos] == '\\') {
      if (pos + 1 < fmt.size()) out->push_back(fmt[pos + 1]);
      pos += 2;
      continue;
    }
    const TokenText* t = MatchToken(upper, pos, elapsed, false);
    if (t == nullptr) {
      out->push_back(fmt[pos++]);
      continue;
    }
    pos += t->text.size();
    switch (t->token) {
      case Token::kYear:
        AppendPadded(out, year, 4);
        break;
      case Token::kYY:
        AppendPadded(out, year % 100, 2);
        break;
      case Token::kMonth:
        AppendPadded(out, month, 2);
        break;
      case Token::kDay:
        AppendPadded(out, day, 2);
        break;
      case Token::kHour12:
        AppendPadded(out, f.hour % 12, 2);
        break;
      case Token::kHour:
        AppendPadded(out, f.hour, 2);
        break;
      case Token::kMin:
        AppendPadded(out, f.minute, 2);
        break;
      case Token::kSec:
        AppendPadded(out, f.second, 2);
        break;
      case Token::kMsec:
        AppendPadded(out, f.millisecond, 3);
        break;
      case Token::kDow:
        AppendPadded(out, f.day_of_week, 1);
        break;
      case Token::kStrMonth:
        out->append(MonthName(f.month));
        break;
      case Token::kStrDow:
        out->append(DayOfWeekName(f.day_of_week));
        break;
      case Token::kZone:
        out->append(ZoneText());
        break;
      case Token::kMeridiem:
        out->append(f.hour < 12 ? "AM" : "PM");
        break;
      case Token::kNone:
        break;
    }
  }
}

bool NTime::ParseWith(const std::string& fmt_in, const std::string& text_in, bool elapsed) {
  const std::string fmt_upper = ToUpper(fmt_in);
  const std::string text_upper = ToUpper(text_in);
  const std::string_view fmt = Trim(fmt_upper);
  const std::string_view text = Trim(text_upper);
  CalendarFields f;
  if (!ToFields(&f)) return false;
  bool hour_read = false;
  bool zone_read = false;
  int zone = 0;
  size_t fp = 0;
  size_t tp = 0;
  while (fp < fmt.size() && tp < text.size()) {
    const TokenText* t = MatchToken(fmt, fp, elapsed, true);
    if (t == nullptr) {
      ++fp;
      ++tp;
      continue;
    }
    int v = 0;
    size_t used = 0;
    switch (t->token) {
      case Token::kYear:
        if (!ReadDigits(text, tp, 4, true, &v, &used)) return false;
        f.year = static_cast<uint16_t>(v);
        break;
      case Token::kYY:
        if (!ReadDigits(text, tp, 2, true, &v, &used)) return false;
        f.year = static_cast<uint16_t>(2000 + v);
        break;
      case Token::kMonth:
        if (!ReadDigits(text, tp, 2, false, &v, &used)) return false;
        f.month = static_cast<uint16_t>(v);
        break;
      case Token::kDay:
        if (!ReadDigits(text, tp, 2, false, &v, &used)) return false;
        f.day = static_cast<uint16_t>(v);
        break;
      case Token::kHour12:
        if (!ReadDigits(text, tp, 2, false, &v, &used)) return false;
        f.hour = static_cast<uint16_t>(v > 11 ? v - 12 : v);
        hour_read = true;
        break;
      case Token::kHour:
        if (!ReadDigits(text, tp, 2, false, &v, &used)) return false;
        f.hour = static_cast<uint16_t>(v);
        hour_read = true;
        break;
      case Token::kMin:
        if (!ReadDigits(text, tp, 2, false, &v, &used)) return false;
        f.minute = static_cast<uint16_t>(v);
        break;
      case Token::kSec:
        if (!ReadDigits(text, tp, 2, false, &v, &used)) return false;
        f.second = static_cast<uint16_t>(v);
        break;
      case Token::kMsec:
        // Up to three digits, the width the formatter writes.
        if (!ReadDigits(text, tp, 3, false, &v, &used)) return false;
        f.millisecond = static_cast<uint16_t>(v);
        break;
      case Token::kStrMonth:
        v = ParseMonth(text.substr(tp));
        if (v == 0) return false;
        f.month = static_cast<uint16_t>(v);
        used = NameLength(text, tp);
        break;
      case Token::kStrDow:
        f.day_of_week = static_cast<uint16_t>(ParseDayOfWeek(text.substr(tp)));
        used = NameLength(text, tp);
        break;
      case Token::kZone: {
        const size_t left = text.size() - tp;
        if (left < 4) return false;
        int sign = 1;
        size_t digits_at = tp;
        if (IsDigit(text[tp])) {
          if (left != 4) return false;
        } else {
          if (left < 5 || (text[tp] != '+' && text[tp] != '-')) return false;
          sign = text[tp] == '-' ? -1 : 1;
          digits_at = tp + 1;
        }
        if (!ReadDigits(text, digits_at, 4, true, &v, &used)) return false;
        zone = sign * v;
        zone_read = true;
        used = 5;
        break;
      }
      case Token::kMeridiem: {
        if (text.size() - tp < 2) return false;
        const std::string_view m = text.substr(tp, 2);
        if (m == "PM") {
          if (hour_read && f.hour <= 11) f.hour = static_cast<uint16_t>(f.hour + 12);
        } else if (m != "AM") {
          return false;
        }
        used = 2;
        break;
      }
      case Token::kDow:
      case Token::kNone:
        break;
    }
    fp += t->text.size();
    tp += std::max<size_t>(used, 1);
  }
  if (!FromFields(f)) return false;
  if (zone_read) {
    AddSeconds(-(zone / 100) * 3600);
    if (zone % 100 != 0) AddSeconds(-(zone % 100) * 60);
  }
  return true;
}

NTime NTime::FromDatabaseText(const std::string& text) {
  NTime t;
  if (!text.empty()) t.Parse("$YEAR/$MONTH/$DAY $HOUR:$MIN:$SEC", text);
  return t;
}

bool NTime::ParseMailDate(const std::string& text) {
  static const char* const kFormats[] = {
      "$STRDOW,$DAY$STRMONTH$YEAR$HOUR:$MIN:$SEC",
      "$STRDOW,$DAY$STRMONTH$YY$HOUR:$MIN:$SEC",
      "$DAY$STRMONTH$YEAR$HOUR:$MIN:$SEC",
      "$DAY$STRMONTH$YY$HOUR:$MIN:$SEC",
  };
  const uint64_t saved = value_;
  std::string stripped;
  stripped.reserve(text.size());
  for (char c : text) {
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') stripped.push_back(c);
  }
  bool parsed = false;
  for (const char* fmt : kFormats) {
    if (Parse(fmt, stripped)) {
      parsed = true;
      break;
    }
  }
  if (!parsed) {
    value_ = saved;
    return false;
  }
  const size_t sign_at = stripped.find_first_of("+-");
  if (sign_at != std::string::npos) {
    const int sign = stripped[sign_at] == '-' ? -1 : 1;
    int64_t v = 0;
    for (size_t i = sign_at + 1; i < stripped.size() && IsDigit(stripped[i]); ++i) {
      v = v * 10 + (stripped[i] - '0');
      if (v > 100000) break;  // far beyond any zone; the 16-bit cast below decides
    }
    const auto zone = static_cast<int16_t>(sign * v);
    AddSeconds(-(zone / 100) * 3600);
    if (zone % 100 != 0) AddSeconds(-(zone % 100) * 60);
  }
  return true;
}

std::string NTime::DayOfWeekName(int day_of_week) {
  return day_of_week >= 0 && day_of_week <= 6 ? kDayNames[day_of_week] : "";
}

std::string NTime::MonthName(int month) {
  return month >= 1 && month <= 12 ? kMonthNames[month - 1] : "";
}

int NTime::ParseDayOfWeek(std::string_view text) { return LookUpName(text, kDayReadings, -1); }

int NTime::ParseMonth(std::string_view text) { return LookUpName(text, kMonthReadings, 0); }

std::string NTime::ToUpper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(UpperByte(static_cast<unsigned char>(c)));
  return out;
}

std::string NTime::ToLower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(LowerByte(static_cast<unsigned char>(c)));
  return out;
}

std::string NTime::ZoneText() {
  long offset = 0;
  if (!StandardOffsetSeconds(&offset)) return "";
  // Whole hours only: the minutes of an offset such as +0530 are dropped.
  const long hours = offset / 3600;
  std::string out = hours >= 0 ? "+" : "";
  AppendPadded(&out, hours, 2);
  out += "00";
  return out;
}

ElapsedTime::ElapsedTime(const NTime& a, const NTime& b)
    : NTime(a.Value() > b.Value() ? a.Value() - b.Value() : b.Value() - a.Value()) {}

std::string ElapsedTime::Format(const std::string& fmt) const {
  std::string out;
  FormatWith(&out, fmt, true);
  return out;
}

bool ElapsedTime::Parse(const std::string& fmt, const std::string& text) {
  if (fmt.empty() || text.empty()) return false;
  const uint64_t saved = value_;
  if (ParseWith(fmt, text, true)) return true;
  value_ = saved;
  return false;
}

bool ElapsedTime::SetYear(uint16_t n) {
  NTime::SetYear(static_cast<uint16_t>(1601 + static_cast<int16_t>(n)));
  return true;
}

bool ElapsedTime::SetMonth(uint16_t n) {
  NTime::SetMonth(1);
  AddMonths(static_cast<int16_t>(n));
  return true;
}

bool ElapsedTime::SetDay(uint16_t n) {
  NTime::SetDay(1);
  const auto d = static_cast<int16_t>(static_cast<int16_t>(n) * 24);
  AddSeconds(d * 3600);
  return true;
}

bool ElapsedTime::SetHour(uint16_t n) {
  NTime::SetHour(0);
  AddSeconds(static_cast<int16_t>(n) * 3600);
  return true;
}

bool ElapsedTime::SetMinute(uint16_t n) {
  NTime::SetMinute(0);
  AddSeconds(static_cast<int16_t>(n) * 60);
  return true;
}

bool ElapsedTime::SetSecond(uint16_t n) {
  NTime::SetSecond(0);
  value_ += static_cast<uint64_t>(static_cast<int64_t>(static_cast<int16_t>(n)) * 10000000LL);
  return true;
}

bool ElapsedTime::SetMillisecond(uint16_t n) {
  NTime::SetMillisecond(0);
  value_ += static_cast<uint64_t>(static_cast<int64_t>(static_cast<int16_t>(n)) * 10000LL);
  return true;
}

uint16_t ElapsedTime::GetYear() const { return static_cast<uint16_t>(NTime::GetYear() - 1601); }
uint16_t ElapsedTime::GetMonth() const { return static_cast<uint16_t>(NTime::GetMonth() - 1); }
uint16_t ElapsedTime::GetDay() const { return static_cast<uint16_t>(NTime::GetDay() - 1); }

}  // namespace KAVRO
