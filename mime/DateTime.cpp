#include "mime/DateTime.h"

#include <array>

#include "mime/Ascii.h"
#include "mime/Tokenizer.h"

namespace Nauvik::MimeParse {

namespace {

// Atoms of a date contain no ":" or ","; the RFC 5322 specials split them.
constexpr std::string_view kDateSpecials = "()<>[]:;@\\,\"";

bool ReadNumber(std::string_view s, size_t min_digits, size_t max_digits, int* value) {
  if (s.size() < min_digits || s.size() > max_digits) return false;
  int v = 0;
  for (char c : s) {
    if (!IsDigit(c)) return false;
    v = v * 10 + (c - '0');
  }
  *value = v;
  return true;
}

int IndexOfName(std::string_view s, const std::array<std::string_view, 12>& names, size_t count) {
  if (s.size() < 3) return -1;
  for (size_t i = 0; i < count; ++i) {
    if (EqualsIgnoreCase(s.substr(0, 3), names[i])) return static_cast<int>(i);
  }
  return -1;
}

constexpr std::array<std::string_view, 12> kMonths = {"jan", "feb", "mar", "apr", "may", "jun",
                                                      "jul", "aug", "sep", "oct", "nov", "dec"};
constexpr std::array<std::string_view, 12> kDays = {"sun", "mon", "tue", "wed", "thu", "fri",
                                                    "sat", "", "", "", "", ""};

struct ZoneName {
  std::string_view name;
  int minutes;
};
constexpr std::array<ZoneName, 12> kZones = {{{"UT", 0},
                                              {"GMT", 0},
                                              {"UTC", 0},
                                              {"Z", 0},
                                              {"EST", -300},
                                              {"EDT", -240},
                                              {"CST", -360},
                                              {"CDT", -300},
                                              {"MST", -420},
                                              {"MDT", -360},
                                              {"PST", -480},
                                              {"PDT", -420}}};

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
  static constexpr int kDaysIn[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDaysIn[m - 1];
}

}  // namespace

Status ParseDateTime(std::string_view body, DateTime* out) {
  *out = DateTime();
  Tokenizer tok(body, kDateSpecials);
  Token t = tok.Next();

  // Optional weekday, with or without its comma.
  if (t.kind == TokenKind::kAtom && !t.text.empty() && IsAlpha(t.text[0])) {
    out->day_of_week = IndexOfName(t.text, kDays, 7);
    if (out->day_of_week < 0) return Status::Error("unknown weekday");
    t = tok.Next();
    if (t.Is(',')) t = tok.Next();
  }
  if (t.kind != TokenKind::kAtom || !ReadNumber(t.text, 1, 2, &out->day)) {
    return Status::Error("bad day");
  }
  t = tok.Next();
  if (t.kind != TokenKind::kAtom || t.text.size() != 3) return Status::Error("bad month");
  const int month = IndexOfName(t.text, kMonths, 12);
  if (month < 0) return Status::Error("bad month");
  out->month = month + 1;
  t = tok.Next();
  if (t.kind != TokenKind::kAtom || !ReadNumber(t.text, 2, 4, &out->year)) {
    return Status::Error("bad year");
  }
  if (t.text.size() == 2) {
    out->year += out->year < 50 ? 2000 : 1900;
  } else if (t.text.size() == 3) {
    out->year += 1900;
  }
  if (out->day < 1 || out->day > DaysInMonth(out->year, out->month)) {
    return Status::Error("day out of range");
  }

  // Time: hour ":" minute [":" second].
  t = tok.Next();
  if (t.kind != TokenKind::kAtom || !ReadNumber(t.text, 1, 2, &out->hour)) {
    return Status::Error("bad hour");
  }
  if (!tok.Next().Is(':')) return Status::Error("bad time");
  t = tok.Next();
  if (t.kind != TokenKind::kAtom || !ReadNumber(t.text, 2, 2, &out->minute)) {
    return Status::Error("bad minute");
  }
  t = tok.Next();
  if (t.Is(':')) {
    t = tok.Next();
    if (t.kind != TokenKind::kAtom || !ReadNumber(t.text, 2, 2, &out->second)) {
      return Status::Error("bad second");
    }
    t = tok.Next();
  }
  // 60 is a leap second.
  if (out->hour > 23 || out->minute > 59 || out->second > 60) {
    return Status::Error("time out of range");
  }

  // Zone: "+hhmm", "-hhmm" or a name; anything unknown leaves it unknown.
  if (t.kind == TokenKind::kAtom) {
    const std::string_view z = t.text;
    int hhmm = 0;
    if (z.size() == 5 && (z[0] == '+' || z[0] == '-') && ReadNumber(z.substr(1), 4, 4, &hhmm) &&
        hhmm % 100 < 60) {
      out->zone_minutes = (hhmm / 100) * 60 + hhmm % 100;
      if (z[0] == '-') out->zone_minutes = -out->zone_minutes;
      // "-0000" says the local zone is unknown (RFC 5322).
      out->zone_known = !(z[0] == '-' && hhmm == 0);
    } else {
      for (const ZoneName& zn : kZones) {
        if (EqualsIgnoreCase(z, zn.name)) {
          out->zone_minutes = zn.minutes;
          out->zone_known = true;
        }
      }
    }
  }
  return Status::Ok();
}

}  // namespace Nauvik::MimeParse
