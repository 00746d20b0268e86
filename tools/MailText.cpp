#include "tools/MailText.h"

#include <array>
#include <cctype>
#include <cstdio>
#include <vector>

namespace Nauvik::Import {
namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
  return s;
}

bool AllDigits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

constexpr std::array<const char*, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr std::array<const char*, 7> kDays = {"Thu", "Fri", "Sat", "Sun", "Mon", "Tue", "Wed"};

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void CivilFromDays(int64_t z, int64_t* y, unsigned* m, unsigned* d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = static_cast<int64_t>(yoe) + era * 400 + (*m <= 2 ? 1 : 0);
}

int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == ',') return 63;
  return -1;
}

}  // namespace

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

bool StartsWithIgnoreCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && EqualsIgnoreCase(s.substr(0, prefix.size()), prefix);
}


void AppendUtf8(uint32_t cp, std::string* out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

void RewriteLines(std::string_view in, LineRewrite how,
                  const std::function<void(std::string_view)>& sink) {
  size_t pos = 0;
  while (pos < in.size()) {
    const size_t lf = in.find('\n', pos);
    const size_t end = lf == std::string_view::npos ? in.size() : lf + 1;
    std::string_view line = in.substr(pos, end - pos);
    pos = end;
    if (how.unquote_from && line.starts_with('>')) {
      const size_t quotes = line.find_first_not_of('>');
      if (quotes != std::string_view::npos && line.substr(quotes).starts_with("From ")) {
        line.remove_prefix(1);
      }
    }
    // The byte before an LF lies in the same line: a line "\n" has no CR.
    if (how.crlf && lf != std::string_view::npos &&
        (line.size() < 2 || line[line.size() - 2] != '\r')) {
      if (line.size() > 1) sink(line.substr(0, line.size() - 1));
      sink("\r\n");
    } else {
      sink(line);
    }
  }
}

bool HasBareLineFeed(std::string_view in) {
  for (size_t lf = in.find('\n'); lf != std::string_view::npos; lf = in.find('\n', lf + 1)) {
    if (lf == 0 || in[lf - 1] != '\r') return true;
  }
  return false;
}

bool ConvertToCrlf(std::string_view in, std::string* out) {
  out->clear();
  out->reserve(in.size() + in.size() / 32);
  RewriteLines(in, {.crlf = true}, [&](std::string_view piece) { out->append(piece); });
  return out->size() != in.size();
}

std::string UnquoteMboxFrom(std::string_view in) {
  std::string out;
  out.reserve(in.size());
  RewriteLines(in, {.unquote_from = true}, [&](std::string_view piece) { out.append(piece); });
  return out;
}

bool IsEnvelopeLine(std::string_view line) {
  if (line.ends_with('\n')) line.remove_suffix(1);
  if (line.ends_with('\r')) line.remove_suffix(1);
  return line.starts_with("From ") && !DateFromMboxFromLine(line).empty();
}

std::optional<std::string> HeaderField(std::string_view mail, std::string_view name) {
  size_t pos = 0;
  while (pos < mail.size()) {
    size_t end = mail.find('\n', pos);
    if (end == std::string_view::npos) end = mail.size();
    std::string_view line = mail.substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) break;  // end of the header block
    size_t colon = line.find(':');
    if (colon != std::string_view::npos && !IsSpace(line[0]) &&
        EqualsIgnoreCase(Trim(line.substr(0, colon)), name)) {
      std::string value(line.substr(colon + 1));
      // Continuation lines start with white space; unfolding drops the line break.
      size_t next = end + 1;
      while (next < mail.size() && (mail[next] == ' ' || mail[next] == '\t')) {
        size_t cont_end = mail.find('\n', next);
        if (cont_end == std::string_view::npos) cont_end = mail.size();
        std::string_view cont = mail.substr(next, cont_end - next);
        if (!cont.empty() && cont.back() == '\r') cont.remove_suffix(1);
        value.append(cont);
        next = cont_end + 1;
      }
      return std::string(Trim(value));
    }
    pos = end + 1;
  }
  return std::nullopt;
}

std::string Rfc822DateFromEpoch(int64_t seconds) {
  int64_t days = seconds / 86400;
  int64_t rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  int64_t year;
  unsigned month, day;
  CivilFromDays(days, &year, &month, &day);
  const int64_t dow = ((days % 7) + 7) % 7;
  char buf[64];
  snprintf(buf, sizeof buf, "%s, %u %s %lld %02d:%02d:%02d +0000", kDays[dow], day,
           kMonths[month - 1], static_cast<long long>(year), static_cast<int>(rest / 3600),
           static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60));
  return buf;
}

std::string DateFromMboxFromLine(std::string_view line) {
  if (!line.starts_with("From ")) return "";
  std::vector<std::string_view> tokens;
  size_t pos = 5;
  while (pos < line.size()) {
    while (pos < line.size() && IsSpace(line[pos])) ++pos;
    size_t end = pos;
    while (end < line.size() && !IsSpace(line[end])) ++end;
    if (end > pos) tokens.push_back(line.substr(pos, end - pos));
    pos = end;
  }
  // The sender comes first; the date is found by its month name so that a
  // sender with blanks in it does not shift the fields.
  for (size_t m = 1; m + 3 < tokens.size(); ++m) {
    int month = -1;
    for (size_t k = 0; k < kMonths.size(); ++k) {
      if (EqualsIgnoreCase(tokens[m], kMonths[k])) month = static_cast<int>(k);
    }
    if (month < 0 || !AllDigits(tokens[m + 1]) || tokens[m + 2].find(':') == std::string::npos) {
      continue;
    }
    std::string_view year = tokens[m + 3];
    std::string zone = "+0000";
    if (!AllDigits(year)) {
      // Some writers put the zone before the year.
      if (m + 4 >= tokens.size() || !AllDigits(tokens[m + 4])) continue;
      zone = std::string(year);
      year = tokens[m + 4];
    } else if (m + 4 < tokens.size() && (tokens[m + 4][0] == '+' || tokens[m + 4][0] == '-')) {
      zone = std::string(tokens[m + 4]);
    }
    std::string out;
    if (m >= 2 && tokens[m - 1].size() == 3 &&
        std::isalpha(static_cast<unsigned char>(tokens[m - 1][0]))) {
      out.append(tokens[m - 1]).append(", ");
    }
    out.append(tokens[m + 1]).append(" ").append(kMonths[month]).append(" ");
    out.append(year).append(" ").append(tokens[m + 2]).append(" ").append(zone);
    return out;
  }
  return "";
}

std::optional<int64_t> MaildirDeliveryTime(std::string_view file_name) {
  size_t dot = file_name.find('.');
  if (dot == std::string_view::npos || dot == 0 || dot > 18) return std::nullopt;
  std::string_view digits = file_name.substr(0, dot);
  if (!AllDigits(digits)) return std::nullopt;
  return std::stoll(std::string(digits));
}

MaildirFlags ParseMaildirFlags(std::string_view file_name) {
  MaildirFlags flags;
  size_t info = file_name.rfind(":2,");
  if (info == std::string_view::npos) return flags;
  for (char c : file_name.substr(info + 3)) {
    if (c == 'S') {
      flags.seen = true;
    } else if (c == 'D') {
      flags.draft = true;
    } else if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) {
      flags.other.push_back(c);
    }
  }
  return flags;
}

std::optional<std::string> DecodeModifiedUtf7(std::string_view name) {
  std::string out;
  size_t i = 0;
  while (i < name.size()) {
    const char c = name[i];
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e) {
      return std::nullopt;
    }
    if (c != '&') {
      out.push_back(c);
      ++i;
      continue;
    }
    size_t end = name.find('-', i + 1);
    if (end == std::string_view::npos) return std::nullopt;
    if (end == i + 1) {
      out.push_back('&');
      i = end + 1;
      continue;
    }
    uint32_t bits = 0;
    int nbits = 0;
    std::vector<uint16_t> units;
    for (size_t k = i + 1; k < end; ++k) {
      const int v = Base64Value(name[k]);
      if (v < 0) return std::nullopt;
      bits = (bits << 6) | static_cast<uint32_t>(v);
      nbits += 6;
      if (nbits >= 16) {
        nbits -= 16;
        units.push_back(static_cast<uint16_t>(bits >> nbits));
        bits &= (1u << nbits) - 1;
      }
    }
    if (nbits >= 6 || bits != 0 || units.empty()) return std::nullopt;
    for (size_t k = 0; k < units.size(); ++k) {
      uint32_t cp = units[k];
      if (cp >= 0xD800 && cp <= 0xDBFF) {
        if (k + 1 >= units.size() || units[k + 1] < 0xDC00 || units[k + 1] > 0xDFFF) {
          return std::nullopt;
        }
        cp = 0x10000 + ((cp - 0xD800) << 10) + (units[++k] - 0xDC00);
      } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
        return std::nullopt;
      }
      // ASCII is never encoded: an encoded "/" or "." would pass for a level
      // of the hierarchy, a NUL would cut the name short.
      if (cp < 0x80) return std::nullopt;
      AppendUtf8(cp, &out);
    }
    i = end + 1;
  }
  return out;
}

uint64_t ContentHash(std::string_view bytes, uint64_t h) {
  for (unsigned char c : bytes) {
    h ^= c;
    h *= 1099511628211ULL;
  }
  return h;
}

bool ParseImapInternalDate(const std::string& text, int64_t* seconds) {
  int day = 0, year = 0, hour = 0, minute = 0, second = 0, zone = 0;
  char month[4] = {};
  char sign = 0;
  if (sscanf(text.c_str(), "%d-%3c-%d %d:%d:%d %c%4d", &day, month, &year, &hour, &minute, &second,
             &sign, &zone) != 8 ||
      (sign != '+' && sign != '-')) {
    return false;
  }
  int m = -1;
  for (size_t k = 0; k < kMonths.size(); ++k) {
    if (EqualsIgnoreCase(month, kMonths[k])) m = static_cast<int>(k) + 1;
  }
  if (m < 0 || day < 1 || day > 31 || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
      second < 0 || second > 60 || year < 0 || year > 9999 || zone < 0 || zone % 100 > 59) {
    return false;
  }
  const int offset = (zone / 100 * 60 + zone % 100) * 60 * (sign == '-' ? -1 : 1);
  *seconds = DaysFromCivil(year, static_cast<unsigned>(m), static_cast<unsigned>(day)) * 86400 +
             hour * 3600 + minute * 60 + second - offset;
  return true;
}

}  // namespace Nauvik::Import
