#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace KAVRO {

// Broken-down calendar form of a time value. Every conversion between a value
// and text goes through it. day_of_week: 0 = Sunday ... 6 = Saturday; it is
// filled when a value is converted and ignored when fields become a value.
struct CalendarFields {
  uint16_t year = 1601;
  uint16_t month = 1;  // 1-12
  uint16_t day_of_week = 1;
  uint16_t day = 1;  // 1-31
  uint16_t hour = 0;
  uint16_t minute = 0;
  uint16_t second = 0;
  uint16_t millisecond = 0;
};

// A point in time: 100-nanosecond intervals since 1601-01-01 00:00:00 (the
// FILETIME scale). Whether the value is local time or UTC is not recorded;
// whoever creates the value decides, and its users agree on it.
//
// The token language ("$YEAR", "$MONTH", "$DAY", "$HOUR", ...) formats values
// into text and parses text back. No operation throws: failures return false
// (or an empty text) and leave the value unchanged.
//
// Plain data, no locks: one value is used by one thread at a time.
class NTime {
 public:
  NTime();  // the current local time
  explicit NTime(uint64_t value) : value_(value) {}
  virtual ~NTime();
  NTime(const NTime&) = default;
  NTime& operator=(const NTime&) = default;

  // Formats with the token language (see FormatWith).
  virtual std::string Format(const std::string& fmt) const;
  // Reads "YYYYMMDD[HH[MM[SS[mmm]]]]" by position through the virtual
  // setters; false only when the text is shorter than 8 characters.
  virtual bool FromCompactText(const std::string& text);
  // "$YEAR$MONTH$DAY$HOUR$MIN$SEC$MSEC", 17 characters.
  virtual std::string ToString() const;
  // False when fmt or text is empty or the parse fails; the value is then
  // unchanged.
  virtual bool Parse(const std::string& fmt, const std::string& text);

  // Replace one calendar field; the date is normalised (30 February becomes
  // 2 March). False and unchanged when the result is not a valid time.
  virtual bool SetYear(uint16_t n);
  virtual bool SetMonth(uint16_t n);
  virtual bool SetDay(uint16_t n);
  virtual bool SetHour(uint16_t n);
  virtual bool SetMinute(uint16_t n);
  virtual bool SetSecond(uint16_t n);
  virtual bool SetMillisecond(uint16_t n);

  virtual uint16_t GetYear() const;
  virtual uint16_t GetMonth() const;
  virtual uint16_t GetDay() const;

  // The token formatter. Elapsed mode shows year - 1601, month - 1, day - 1
  // and knows only the numeric tokens.
  virtual void FormatWith(std::string* out, const std::string& fmt, bool elapsed) const;
  // The token parser; writes the value only at its end, and only on success.
  virtual bool ParseWith(const std::string& fmt, const std::string& text, bool elapsed);

  // The current time from the system clock, to the millisecond.
  void SetNow(bool utc);
  void AddSeconds(int32_t n);
  // Calendar month arithmetic: years first, then months, each normalised.
  void AddMonths(int16_t n);

  uint16_t GetHour() const;
  uint16_t GetMinute() const;
  uint16_t GetSecond() const;
  uint16_t GetMillisecond() const;
  uint16_t GetDayOfWeek() const;

  uint64_t Value() const { return value_; }
  void SetValue(uint64_t value) { value_ = value; }

  // False when the value is beyond the calendar (year 30827).
  bool ToFields(CalendarFields* fields) const;
  // Converts with the February normalisation; false leaves the value.
  bool FromFields(const CalendarFields& fields);

  // The current local time, then the database's "yyyy/mm/dd hh24:mi:ss"
  // text if it is not empty and parses.
  static NTime FromDatabaseText(const std::string& text);

  // Reads the Date field of a mail ("Tue, 15 Nov 1994 08:12:31 +0100",
  // two-digit years, missing seconds); a numeric zone turns the time into
  // UTC, a named zone is ignored. False leaves the value.
  bool ParseMailDate(const std::string& text);

  // Name tables (ISO 8859-1 text). Empty outside 0-6 and 1-12.
  static std::string DayOfWeekName(int day_of_week);
  static std::string MonthName(int month);
  // English and Norwegian three-letter names; -1 and 0 when unknown.
  static int ParseDayOfWeek(std::string_view text);
  static int ParseMonth(std::string_view text);

  // ISO 8859-1 case mapping: ASCII letters and å, æ, ø.
  static std::string ToUpper(std::string_view text);
  static std::string ToLower(std::string_view text);

  // The "$ZONE" text of this machine: standard-time offset, e.g. "+0100".
  // Empty when the zone cannot be read.
  static std::string ZoneText();

  friend bool operator==(const NTime& a, const NTime& b) { return a.value_ == b.value_; }
  friend bool operator<(const NTime& a, const NTime& b) { return a.value_ < b.value_; }

 protected:
  uint64_t value_ = 0;
};

// A span of time on the same scale: the value 0 is the span zero. Its year,
// month and day read as counts from zero.
struct ElapsedTime : NTime {
  ElapsedTime() : NTime(uint64_t{0}) {}
  explicit ElapsedTime(uint64_t value) : NTime(value) {}
  // The absolute difference: the order of a and b does not matter.
  ElapsedTime(const NTime& a, const NTime& b);

  std::string Format(const std::string& fmt) const override;
  bool Parse(const std::string& fmt, const std::string& text) override;

  // The span setters read n as a signed 16-bit number and always succeed.
  bool SetYear(uint16_t n) override;
  bool SetMonth(uint16_t n) override;
  bool SetDay(uint16_t n) override;
  bool SetHour(uint16_t n) override;
  bool SetMinute(uint16_t n) override;
  bool SetSecond(uint16_t n) override;
  bool SetMillisecond(uint16_t n) override;

  uint16_t GetYear() const override;
  uint16_t GetMonth() const override;
  uint16_t GetDay() const override;

  double Milliseconds() const { return static_cast<double>(value_) / 10000.0; }
  double Seconds() const { return static_cast<double>(value_) / 10000000.0; }
};

}  // namespace KAVRO
