// Time values, mail dates and the result code texts.
#include <gtest/gtest.h>
#include <time.h>

#include <cstdlib>
#include <string>

#include "foundation/NTime.h"
#include "foundation/ResultCodes.h"

namespace KAVRO {
namespace {

NTime Make(uint16_t y, uint16_t mo, uint16_t d, uint16_t h = 0, uint16_t mi = 0, uint16_t s = 0,
           uint16_t ms = 0) {
  NTime t(uint64_t{0});
  const CalendarFields f{
      .year = y, .month = mo, .day = d, .hour = h, .minute = mi, .second = s, .millisecond = ms};
  EXPECT_TRUE(t.FromFields(f)) << y << "-" << mo << "-" << d;
  return t;
}

std::string Iso(const NTime& t) { return t.Format("$YEAR-$MONTH-$DAY $HOUR:$MIN:$SEC.$MSEC"); }

// Every day from 1601 (value 0) to 2400 against the C library's own calendar.
TEST(NTimeCalendar, EveryDayAgreesWithTimegmAndInvalidDatesFail) {
  const uint64_t day = 864000000000ULL;
  uint64_t value = 0;
  for (int i = 0; i < 292000; ++i, value += day) {
    NTime t(value);
    CalendarFields f;
    ASSERT_TRUE(t.ToFields(&f));
    struct tm tm = {};
    tm.tm_year = f.year - 1900;
    tm.tm_mon = f.month - 1;
    tm.tm_mday = f.day;
    const time_t unix_seconds = timegm(&tm);
    ASSERT_EQ(static_cast<int64_t>(unix_seconds) + 11644473600LL,
              static_cast<int64_t>(value / 10000000ULL))
        << Iso(t);
    ASSERT_EQ(tm.tm_wday, f.day_of_week) << Iso(t);
    NTime back(uint64_t{1});
    ASSERT_TRUE(back.FromFields(f));
    ASSERT_EQ(back.Value(), value);
  }
  EXPECT_EQ(Make(2024, 3, 5, 7, 8, 9, 4).Value(),
            (1709622489ULL + 11644473600ULL) * 10000000ULL + 40000ULL);
  EXPECT_EQ(Iso(Make(30827, 12, 31, 23, 59, 59, 999)), "30827-12-31 23:59:59.999");
  CalendarFields f;
  EXPECT_FALSE(NTime(0x8000000000000000ULL).ToFields(&f));
  // The log's line stamp and the month names of its daily file names.
  EXPECT_EQ(Make(2024, 3, 5, 7, 8, 9, 4).Format("$YEAR$MONTH$DAY,$HOUR$MIN$SEC.$MSEC "),
            "20240305,070809.004 ");
  std::string names;
  for (uint16_t month = 1; month <= 12; ++month) names += Make(2024, month, 1).Format("$STRMONTH ");
  EXPECT_EQ(names, "Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec ");
  // February overflows into March; other invalid dates fail.
  const struct {
    uint16_t y, m, d;
    const char* want;  // nullptr: the conversion fails and keeps the value
  } cases[] = {
      {2023, 2, 29, "2023-03-01"}, {2023, 2, 31, "2023-03-03"}, {2024, 2, 29, "2024-02-29"},
      {2024, 2, 30, "2024-03-02"}, {2024, 4, 31, nullptr},      {2024, 13, 1, nullptr},
      {2024, 0, 1, nullptr},       {2024, 1, 0, nullptr},       {1600, 12, 31, nullptr},
  };
  for (const auto& c : cases) {
    NTime t(uint64_t{42});
    EXPECT_EQ(t.FromFields({.year = c.y, .month = c.m, .day = c.d}), c.want != nullptr)
        << c.y << "-" << c.m << "-" << c.d;
    EXPECT_EQ(Iso(t), c.want ? std::string(c.want) + " 00:00:00.000" : Iso(NTime(42)));
  }
}

// The default is local time (the log and blobs take UTC); unreadable database text is now.
TEST(NTimeNow, LocalNowAddsTheOffsetAndUnreadableDatabaseTextIsNow) {
  setenv("TZ", "CET-1", 1);
  tzset();
  NTime utc(uint64_t{0}), local(uint64_t{0});
  utc.SetNow(true);
  local.SetNow(false);
  const ElapsedTime diff(utc, local);
  EXPECT_LT(utc, local);
  EXPECT_GE(diff.Value(), 3600ULL * 10000000ULL);
  EXPECT_LT(diff.Value(), 3602ULL * 10000000ULL);
  EXPECT_EQ(utc.Value() % 10000, 0u);  // kept to the millisecond

  EXPECT_EQ(Iso(NTime::FromDatabaseText("2024/03/05 07:08:09")).substr(0, 19),
            "2024-03-05 07:08:09");
  for (const char* text : {"", "not a date"}) {
    NTime start;
    const NTime now = NTime::FromDatabaseText(text);
    EXPECT_TRUE(start.Value() <= now.Value() && now.Value() <= NTime().Value()) << text;
  }
}

// Date fields as mail software writes them, from 2000-01-01 12:34:56; UTC when a numeric zone
// is given. Names are English or Norwegian, in any case.
TEST(ParseMailDate, RealDateTexts) {
  const std::pair<const char*, const char*> cases[] = {
      {"Tue, 15 Nov 1994 08:12:31 +0100", "1994-11-15 07:12:31"},
      {"15 Nov 94 08:12:31 -0330", "2094-11-15 11:42:31"},
      {"Tue, 15 Nov 1994 08:12 +0100", "1994-11-15 07:12:01"},
      {"Tue, 15 Nov 1994", "1994-11-15 12:34:56"},
      {"Xyz, 15 Nov 1994 08:12:31", "1994-11-15 08:12:31"},
      {"Mon, 2 Jan 2006 15:04:05 GMT", "2006-01-02 15:04:05"},
      {"Tue, 15 Nov 1994 08:12:31 EST", "1994-11-15 08:12:31"},
      {"Thu, 13 Feb 1969 23:32:54 -0330", "1969-02-14 03:02:54"},
      {"1 Jan 70 00:00:00 +0000", "2070-01-01 00:00:00"},
      {"Mon, 4 Mar 2024 10:20:30 +0100 (CET)", "2024-03-04 09:20:30"},
      {"Wed, 31 Dec 2025 20:00:00 -0800", "2026-01-01 04:00:00"},
      {"Wed, 31 Feb 2021 10:00:00 +0000", "2021-03-03 10:00:00"},
      {"tue,\t15 nov 1994\r\n 08:12:31 +0100", "1994-11-15 07:12:31"},
      {"tir, 15 okt 2024 10:00:00 +0200", "2024-10-15 08:00:00"},
      {"s\xF8n, 3 mai 2020 12:00:00", "2020-05-03 12:00:00"},
      {"S\xD8N, 6 DES 2020 12:00:00", "2020-12-06 12:00:00"},
      {"WED, 4 MAR 2020 1:02:03 +0000", "2020-03-04 01:02:03"},
  };
  for (const auto& [text, want] : cases) {
    NTime t = Make(2000, 1, 1, 12, 34, 56);
    EXPECT_TRUE(t.ParseMailDate(text)) << text;
    EXPECT_EQ(t.Format("$YEAR-$MONTH-$DAY $HOUR:$MIN:$SEC"), want) << text;
  }
  for (const char* text :
       {"15 Foo 1994 08:12:31", "Tue, 15 Nov 1994 25:12:31", "Tue, 32 Nov 1994 08:12:31", "",
        "garbage", "2024-03-05 07:08:09", "Tue, Nov 15 1994 08:12:31"}) {
    NTime t = Make(2000, 1, 1, 12, 34, 56);
    EXPECT_FALSE(t.ParseMailDate(text)) << text;
    EXPECT_EQ(Iso(t), "2000-01-01 12:34:56.000") << text;
  }
  EXPECT_EQ(NTime::ToUpper("a\xE5\xE6\xF8z\xE9"), "A\xC5\xC6\xD8Z\xE9");
  EXPECT_EQ(NTime::ToLower("A\xC5\xC6\xD8Z\xC9"), "a\xE5\xE6\xF8z\xC9");
}

// The store's codes run from 1000 to 1024; codes below come from the blob utilities.
TEST(ErrorText, StoreBlobAndUnknownCodes) {
  const std::pair<int32_t, const char*> cases[] = {
      {0, "OK"},
      {1000, "Unknown error"},
      {1003, "Emtpy input mail (Content size was 0 bytes)"},  // sic: kept byte for byte
      {1008, "Mail is too big (Limit 209715200)"},
      {1024, "Invalid pointer"},
      {999, "Blob utils error message."},
      {-1000, "Blob utils error message."},
      {1025, "Unknown error."},
  };
  for (const auto& [code, text] : cases) EXPECT_EQ(Nauvik::IMAP::ErrorText(code), text) << code;
}

}  // namespace
}  // namespace KAVRO
