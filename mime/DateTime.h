#pragma once

// The date-time of a Date or Resent-Date body (RFC 5322 with the obsolete
// forms: two- and three-digit years, zone names, missing seconds, comments,
// a missing weekday). The result is the calendar time as written plus its
// zone offset; converting to UTC is the caller's business.

#include <cstdint>
#include <string_view>

#include "mime/Status.h"

namespace Nauvik::MimeParse {

struct DateTime {
  int year = 0;   // four digits; "94" reads as 1994, "04" as 2004, "104" as 2004
  int month = 0;  // 1-12
  int day = 0;    // 1-31, checked against the month
  int hour = 0;
  int minute = 0;
  int second = 0;
  int day_of_week = -1;      // 0 = Sunday, -1 when not written
  int zone_minutes = 0;      // east of UTC; "-0330" gives -210
  bool zone_known = false;   // false for a missing or unknown zone ("-0000" too)
};

// Parses `body`. Fails when the date, the month name or the time cannot be
// read or is out of range; an unknown zone is no failure.
Status ParseDateTime(std::string_view body, DateTime* out);

}  // namespace Nauvik::MimeParse
