#include "content/Charsets.h"

#include <unicode/locid.h>
#include <unicode/ucnv.h>
#include <unicode/unistr.h>
#include <unicode/utypes.h>

#include <array>
#include <limits>
#include <stdexcept>
#include <string_view>
#include <unordered_map>

#include "log/Log.h"

namespace Nauvik {

namespace {

// Positions in this table are the charset codes stored in every body-part
// row: append, never reorder, never rename. The names are ICU converter names.
// clang-format off
constexpr std::array<std::string_view, kCharsetCount> kCharsetNames = {
    // 0
    "utf-8", "utf-16", "utf-16be", "utf-16le", "utf-32", "utf-32be", "utf-32le",
    "utf16_platformendian", "utf16_oppositeendian", "utf32_platformendian",
    // 10
    "utf32_oppositeendian", "utf-16be,version=1", "utf-16le,version=1", "utf-16,version=1", "utf-7",
    "imap-mailbox-name", "scsu", "bocu-1", "cesu-8", "iso-8859-1",
    // 20
    "us-ascii", "gb18030", "ibm-912_p100-1995", "ibm-913_p100-2000", "ibm-914_p100-1995",
    "ibm-915_p100-1995", "ibm-1089_p100-1995", "ibm-9005_x110-2007", "ibm-813_p100-1995",
    "ibm-5012_p100-1999",
    // 30
    "ibm-916_p100-1995", "ibm-920_p100-1995", "iso-8859_10-1998", "iso-8859_11-2001",
    "ibm-921_p100-1995", "iso-8859_14-1998", "ibm-923_p100-1998", "ibm-942_p12a-1999",
    "ibm-943_p15a-2003", "ibm-943_p130-1999",
    // 40
    "ibm-33722_p12a_p12a-2004_u2", "ibm-33722_p120-1999", "ibm-954_p101-2007", "ibm-1373_p100-2002",
    "windows-950-2000", "ibm-950_p110-1999", "ibm-1375_p100-2007", "ibm-5471_p100-2006",
    "ibm-1386_p100-2001", "windows-936-2000",
    // 50
    "ibm-1383_p110-1999", "ibm-5478_p100-1995", "ibm-964_p110-1999", "ibm-949_p110-1999",
    "ibm-949_p11a-1999", "ibm-970_p110_p110-2006_u2", "ibm-971_p100-1995", "ibm-1363_p11b-1998",
    "ibm-1363_p110-1997", "windows-949-2000",
    // 60
    "windows-874-2000", "ibm-874_p100-1995", "ibm-1162_p100-1999", "ibm-437_p100-1995",
    "ibm-720_p100-1997", "ibm-737_p100-1997", "ibm-775_p100-1996", "ibm-850_p100-1995",
    "ibm-851_p100-1995", "ibm-852_p100-1995",
    // 70
    "ibm-855_p100-1995", "ibm-856_p100-1995", "ibm-857_p100-1995", "ibm-858_p100-1997",
    "ibm-860_p100-1995", "ibm-861_p100-1995", "ibm-862_p100-1995", "ibm-863_p100-1995",
    "ibm-864_x110-1999", "ibm-865_p100-1995",
    // 80
    "ibm-866_p100-1995", "ibm-867_p100-1998", "ibm-868_p100-1995", "ibm-869_p100-1995",
    "ibm-878_p100-1996", "ibm-901_p100-1999", "ibm-902_p100-1999", "ibm-922_p100-1999",
    "ibm-1168_p100-2002", "ibm-4909_p100-1999",
    // 90
    "ibm-5346_p100-1998", "ibm-5347_p100-1998", "ibm-5348_p100-1997", "ibm-5349_p100-1998",
    "ibm-5350_p100-1998", "ibm-9447_p100-2002", "ibm-9448_x100-2005", "ibm-9449_p100-2002",
    "ibm-5354_p100-1998", "ibm-1250_p100-1995",
    // 100
    "ibm-1251_p100-1995", "ibm-1252_p100-2000", "ibm-1253_p100-1995", "ibm-1254_p100-1995",
    "ibm-1255_p100-1995", "ibm-5351_p100-1998", "ibm-1256_p110-1997", "ibm-5352_p100-1998",
    "ibm-1257_p100-1995", "ibm-5353_p100-1998",
    // 110
    "ibm-1258_p100-1997", "macos-0_2-10.2", "macos-6_2-10.4", "macos-7_3-10.2", "macos-29-10.2",
    "macos-35-10.2", "ibm-1051_p100-1995", "ibm-1276_p100-1995", "ibm-1006_p100-1995",
    "ibm-1098_p100-1995",
    // 120
    "ibm-1124_p100-1996", "ibm-1125_p100-1997", "ibm-1129_p100-1997", "ibm-1131_p100-1997",
    "ibm-1133_p100-1997", "iso_2022,locale=ja,version=0", "iso_2022,locale=ja,version=1",
    "iso_2022,locale=ja,version=2", "iso_2022,locale=ja,version=3", "iso_2022,locale=ja,version=4",
    // 130
    "iso_2022,locale=ko,version=0", "iso_2022,locale=ko,version=1", "iso_2022,locale=zh,version=0",
    "iso_2022,locale=zh,version=1", "hz", "iscii,version=0", "iscii,version=1", "iscii,version=2",
    "iscii,version=3", "iscii,version=4",
    // 140
    "iscii,version=5", "iscii,version=6", "iscii,version=7", "iscii,version=8", "lmbcs-1",
    "ibm-37_p100-1995", "ibm-273_p100-1995", "ibm-277_p100-1995", "ibm-278_p100-1995",
    "ibm-280_p100-1995",
    // 150
    "ibm-284_p100-1995", "ibm-285_p100-1995", "ibm-290_p100-1995", "ibm-297_p100-1995",
    "ibm-420_x120-1999", "ibm-424_p100-1995", "ibm-500_p100-1995", "ibm-803_p100-1999",
    "ibm-838_p100-1995", "ibm-870_p100-1995",
    // 160
    "ibm-871_p100-1995", "ibm-875_p100-1995", "ibm-918_p100-1995", "ibm-930_p120-1999",
    "ibm-933_p110-1995", "ibm-935_p110-1999", "ibm-937_p110-1999", "ibm-939_p120-1999",
    "ibm-1025_p100-1995", "ibm-1026_p100-1995",
    // 170
    "ibm-1047_p100-1995", "ibm-1097_p100-1995", "ibm-1112_p100-1995", "ibm-1122_p100-1999",
    "ibm-1123_p100-1995", "ibm-1130_p100-1997", "ibm-1132_p100-1998", "ibm-1137_p100-1999",
    "ibm-4517_p100-2005", "ibm-1140_p100-1997",
    // 180
    "ibm-1141_p100-1997", "ibm-1142_p100-1997", "ibm-1143_p100-1997", "ibm-1144_p100-1997",
    "ibm-1145_p100-1997", "ibm-1146_p100-1997", "ibm-1147_p100-1997", "ibm-1148_p100-1997",
    "ibm-1149_p100-1997", "ibm-1153_p100-1999",
    // 190
    "ibm-1154_p100-1999", "ibm-1155_p100-1999", "ibm-1156_p100-1999", "ibm-1157_p100-1999",
    "ibm-1158_p100-1999", "ibm-1160_p100-1999", "ibm-1164_p100-1999", "ibm-1364_p110-2007",
    "ibm-1371_p100-1999", "ibm-1388_p103-2001",
    // 200
    "ibm-1390_p110-2003", "ibm-1399_p110-2003", "ibm-5123_p100-1999", "ibm-8482_p100-1999",
    "ibm-16684_p110-2003", "ibm-4899_p100-1998", "ibm-4971_p100-1999", "ibm-9067_x100-2005",
    "ibm-12712_p100-1998", "ibm-16804_x110-1999",
    // 210
    "ibm-37_p100-1995,swaplfnl", "ibm-1047_p100-1995,swaplfnl", "ibm-1140_p100-1997,swaplfnl",
    "ibm-1142_p100-1997,swaplfnl", "ibm-1143_p100-1997,swaplfnl", "ibm-1144_p100-1997,swaplfnl",
    "ibm-1145_p100-1997,swaplfnl", "ibm-1146_p100-1997,swaplfnl", "ibm-1147_p100-1997,swaplfnl",
    "ibm-1148_p100-1997,swaplfnl",
    // 220
    "ibm-1149_p100-1997,swaplfnl", "ibm-1153_p100-1999,swaplfnl", "ibm-12712_p100-1998,swaplfnl",
    "ibm-16804_x110-1999,swaplfnl", "ebcdic-xml-us",
};
// clang-format on

constexpr int16_t kUnknownCharsetCode = 20;  // "us-ascii"

// ICU rejects a null source pointer even with a zero length, and an empty
// string_view may carry one.
const char* NonNull(const char* p) { return p != nullptr ? p : ""; }

// Buffer capacities as byte counts, or -1 when the input is too large for
// ICU's 32-bit lengths.
int32_t Capacity(size_t units, size_t factor) {
  const size_t max = static_cast<size_t>(std::numeric_limits<int32_t>::max());
  if (units > (max - 10) / factor) return -1;
  return static_cast<int32_t>(units * factor + 10);
}

const std::string kTooLong = u_errorName(U_INDEX_OUTOFBOUNDS_ERROR);

// One conversion into a byte string whose buffer is sized once: 4 bytes of
// output for each input unit (`units`: characters of the source encoding).
bool ConvertToBytes(const std::string& to, const std::string& from, std::string_view bytes,
                    size_t units, std::string* out, std::string* error_name) {
  const int32_t capacity = Capacity(units, 4);
  if (capacity < 0) {
    *error_name = kTooLong;
    return false;
  }
  std::string result(static_cast<size_t>(capacity), '\0');
  int32_t length = capacity;
  if (!ConvertBuffer(to, from, result.data(), &length, bytes.data(),
                     static_cast<int32_t>(bytes.size()), error_name)) {
    return false;
  }
  result.resize(static_cast<size_t>(length));
  *out = std::move(result);
  return true;
}

}  // namespace

bool ConvertBuffer(const std::string& to_encoding, const std::string& from_encoding, char* target,
                   int32_t* target_length, const char* source, int32_t source_length,
                   std::string* error_name) {
  UErrorCode status = U_ZERO_ERROR;
  const int32_t written = ucnv_convert(to_encoding.c_str(), from_encoding.c_str(), target,
                                       *target_length, NonNull(source), source_length, &status);
  if (status > U_ZERO_ERROR) {
    *error_name = u_errorName(status);
    return false;
  }
  *target_length = written;
  return true;
}

bool ConvertToUtf16(const std::string& from_encoding, std::string_view in, std::u16string* out,
                    std::string* error_name) {
  const int32_t capacity = Capacity(in.size(), 2);
  if (capacity < 0) {
    *error_name = kTooLong;
    return false;
  }
  std::u16string result(static_cast<size_t>(capacity) / 2, u'\0');
  int32_t length = capacity;
  if (!ConvertBuffer(UnicodeEncodingName(1), from_encoding, reinterpret_cast<char*>(result.data()),
                     &length, in.data(), static_cast<int32_t>(in.size()), error_name)) {
    return false;
  }
  result.resize(static_cast<size_t>(length) / 2);
  *out = std::move(result);
  return true;
}

bool ConvertFromUtf16(const std::string& to_encoding, std::u16string_view in, std::string* out,
                      std::string* error_name) {
  return ConvertToBytes(to_encoding, UnicodeEncodingName(1),
                        std::string_view(reinterpret_cast<const char*>(in.data()), in.size() * 2),
                        in.size(), out, error_name);
}

bool ConvertToUtf8(const std::string& from_encoding, std::string_view in, std::string* out,
                   std::string* error_name) {
  return ConvertToBytes(UnicodeEncodingName(0), from_encoding, in, in.size(), out, error_name);
}

std::u16string ConvertToUnicode(std::string_view latin1) {
  std::u16string out;
  std::string error;
  if (!ConvertToUtf16("ISO-8859-1", latin1, &out, &error)) {
    throw std::runtime_error("ConvertToUnicode failed: " + error);
  }
  return out;
}

std::string ConvertFromUnicode(std::u16string_view in) {
  std::string out;
  std::string error;
  if (!ConvertFromUtf16("ISO-8859-1", in, &out, &error)) {
    throw std::runtime_error("ConvertFromUnicode failed: " + error);
  }
  return out;
}

bool ToLowerWithLocale(const std::string& locale, std::u16string_view in, std::u16string* out) {
  icu::Locale icu_locale(locale.c_str());
  if (icu_locale.isBogus()) return false;
  icu::UnicodeString text(in.data(), static_cast<int32_t>(in.size()));
  text.toLower(icu_locale);
  out->assign(text.getBuffer(), static_cast<size_t>(text.length()));
  return true;
}

int16_t CharsetCode(std::string_view name) {
  // Built once; emplace keeps the first position of a name.
  static const std::unordered_map<std::string_view, int16_t> by_name = [] {
    std::unordered_map<std::string_view, int16_t> map;
    for (size_t i = 0; i < kCharsetNames.size(); ++i) {
      map.emplace(kCharsetNames[i], static_cast<int16_t>(i));
    }
    return map;
  }();
  const auto it = by_name.find(name);
  return it != by_name.end() ? it->second : kUnknownCharsetCode;
}

const char* CharsetName(int code) {
  if (code < 0 || code >= kCharsetCount) return nullptr;
  return kCharsetNames[static_cast<size_t>(code)].data();
}

const char* UnicodeEncodingName(int index) {
  switch (index) {
    case 0:
      return "UTF-8";
    case 1:
      return "UTF-16LE";
    case 2:
      return "UTF-7";
    case 3:
      return "UTF-32LE";
    default:
      return "";
  }
}

namespace IMAP {

std::u16string ConvertUtf8FolderNameToUtf16(std::string_view utf8) {
  std::u16string out;
  std::string error;
  if (!ConvertToUtf16(UnicodeEncodingName(0), utf8, &out, &error)) {
    if (LogLevelAtLeast(kLogWarning)) {
      Log(kLogWarning, false,
          "Nauvik::IMAP::ConvertUtf8FolderNameToUtf16(): Failed to parse Unicode. Error: " + error);
    }
    return std::u16string();
  }
  return out;
}

}  // namespace IMAP

}  // namespace Nauvik
