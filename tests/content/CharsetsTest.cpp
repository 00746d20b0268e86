#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>

#include "content/Charsets.h"

namespace Nauvik {
namespace {

// Words as a mail carries them in its charset, converted both ways and back. Broken input
// is ordinary mail: the converter substitutes, and the valid text around the damage survives.
TEST(Charsets, ConversionsDatabaseTextFolderNamesAndTheStoredCodeTable) {
  // {charset, bytes, UTF-8, round trip}
  const std::tuple<const char*, std::string, const char*, bool> cases[] = {
      // clang-format off
      {"ISO-8859-1", std::string("Gr\xFC\xDF" "e", 5), "Grüße", true},
      {"windows-1252", std::string("\x80 5 \x96 \x93ok\x94", 10), "€ 5 – “ok”", true},
      {"GB18030", std::string("\xD6\xD0\xCE\xC4\x94" "9\xFC" "6", 8), "中文😀", true},  // surrogates
      {"UTF-8", std::string(), "", true},
      // Names as the stored table holds them are ICU converter names too.
      {"ibm-5348_p100-1997", std::string("\x80", 1), "€", true},  // Windows' 1252
      {"UTF-8", "a\xFF" "b", "a\uFFFDb", false},
      {"UTF-8", "ok\xE6\x97", "ok\uFFFD", false},  // cut inside a sequence
      {"Shift_JIS", "a\x93", "a\x1A", false},  // lead byte without its trail
      // clang-format on
  };
  for (const auto& [charset, bytes, utf8, round_trip] : cases) {
    SCOPED_TRACE(std::string(charset) + " " + utf8);
    std::string out = "old";
    std::string error;
    ASSERT_TRUE(ConvertToUtf8(charset, bytes, &out, &error)) << error;
    EXPECT_EQ(out, utf8);
    EXPECT_EQ(error, "");
    if (!round_trip) continue;
    std::u16string wide = u"old";
    ASSERT_TRUE(ConvertToUtf16(charset, bytes, &wide, &error)) << error;
    ASSERT_TRUE(ConvertFromUtf16("UTF-8", wide, &out, &error)) << error;
    EXPECT_EQ(out, utf8);
    ASSERT_TRUE(ConvertFromUtf16(charset, wide, &out, &error)) << error;
    EXPECT_EQ(out, bytes);
  }
  // {from, input, capacity, converted, output or error}
  const std::tuple<const char*, std::string, int32_t, bool, const char*> buffers[] = {
      {"ISO-8859-1", "\xE6\xF8\xE5", 8, true, "æøå"},
      {"ISO-8859-1", "\xE6\xF8\xE5", 6, true, "æøå"},  // full: ICU only warns, no failure
      {"ISO-8859-1", "\xE6\xF8\xE5", 4, false, "U_BUFFER_OVERFLOW_ERROR"},
      {"windows-1252", "\x80", 8, true, "€"},  // an ambiguous alias: ICU warns
  };
  for (const auto& [from, in, capacity, ok, out] : buffers) {
    SCOPED_TRACE(capacity);
    char target[8];
    std::string error;
    int32_t length = capacity;
    ASSERT_EQ(ConvertBuffer("UTF-8", from, target, &length, in.data(),
                            static_cast<int32_t>(in.size()), &error),
              ok);
    EXPECT_EQ(ok ? std::string(target, static_cast<size_t>(length)) : error, out);
  }
  // An unknown encoding fails with ICU's error and leaves the output alone.
  std::u16string wide = u"keep";
  std::string narrow = "keep";
  std::string errors[3];
  EXPECT_FALSE(ConvertToUtf16("x-no-such-charset", "abc", &wide, &errors[0]));
  EXPECT_FALSE(ConvertFromUtf16("x-no-such-charset", u"abc", &narrow, &errors[1]));
  EXPECT_FALSE(ConvertToUtf8("x-no-such-charset", "abc", &narrow, &errors[2]));
  for (const std::string& error : errors) EXPECT_EQ(error, "U_FILE_ACCESS_ERROR");
  EXPECT_EQ(wide, u"keep");
  EXPECT_EQ(narrow, "keep");
  // The database's text is ISO-8859-1: every byte round-trips, other
  // characters become the substitute byte.
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  wide = ConvertToUnicode(all);
  ASSERT_EQ(wide.size(), 256u);
  for (int b = 0; b < 256; ++b) EXPECT_EQ(wide[static_cast<size_t>(b)], b);
  EXPECT_EQ(ConvertFromUnicode(wide), all);
  EXPECT_EQ(ConvertFromUnicode(u"K\u00F8b \u20AC5 \u4E2D"), "K\xF8" "b \x1A" "5 \x1A");
  // A lone surrogate is malformed UTF-16: substituted too.
  EXPECT_EQ(ConvertFromUnicode(std::u16string(u"a") + char16_t(0xD800) + u"b"), "a\x1A" "b");
  // Folder names arrive as UTF-8.
  const std::pair<const char*, std::u16string> folders[] = {
      {"Crew 🚢", u"Crew \U0001F6A2"}, {"bad\xFFname", u"bad\uFFFDname"}, {"", u""}};
  for (const auto& [utf8, utf16] : folders) {
    EXPECT_EQ(IMAP::ConvertUtf8FolderNameToUtf16(utf8), utf16) << utf8;
  }
  // Folder names are compared lower-cased under a named language.
  // {locale, input, lowered, output}
  const std::tuple<const char*, std::u16string, bool, std::u16string> lower[] = {
      {"tr", u"I", true, u"\u0131"},  // dotless i: the locale is applied, not ignored
      {"English", u"\u0130", true, u"i\u0307"},  // full case mapping: one unit in, two out
      {"12345678901234567890", u"ABC", false, u"previous"},  // bogus: output left alone
  };
  for (const auto& [locale, in, ok, lowered] : lower) {
    SCOPED_TRACE(locale);
    std::u16string out = u"previous";
    ASSERT_EQ(ToLowerWithLocale(locale, in, &out), ok);
    EXPECT_EQ(out, lowered);
  }
  // The stored charset codes, typed independently of the table: a shifted or misspelt
  // entry corrupts every stored body part, so every block of the table is sampled.
  const std::pair<const char*, int16_t> codes[] = {
      {"utf-8", 0}, {"utf-16", 1}, {"utf32_platformendian", 9}, {"utf32_oppositeendian", 10},
      {"imap-mailbox-name", 15}, {"iso-8859-1", 19}, {"us-ascii", 20}, {"gb18030", 21},
      {"ibm-9005_x110-2007", 27}, {"ibm-33722_p12a_p12a-2004_u2", 40}, {"windows-950-2000", 44},
      {"windows-936-2000", 49}, {"windows-949-2000", 59}, {"windows-874-2000", 60},
      {"ibm-864_x110-1999", 78}, {"ibm-9448_x100-2005", 96}, {"ibm-1252_p100-2000", 101},
      {"macos-0_2-10.2", 111}, {"iso_2022,locale=ja,version=0", 125}, {"hz", 134},
      {"iscii,version=8", 143}, {"lmbcs-1", 144}, {"ibm-37_p100-1995", 145},
      {"ibm-1047_p100-1995", 170}, {"ibm-1153_p100-1999", 189}, {"ibm-1388_p103-2001", 199},
      {"ibm-16804_x110-1999", 209}, {"ibm-37_p100-1995,swaplfnl", 210},
      {"ibm-16804_x110-1999,swaplfnl", 223}, {"ebcdic-xml-us", 224},
  };
  for (const auto& [name, code] : codes) EXPECT_EQ(CharsetCode(name), code) << name;
  // Unknown and wrongly cased names are US-ASCII.
  for (const char* name : {"windows-1252", "UTF-8", "ISO-8859-1", "", "utf-8 ", "latin1"})
    EXPECT_EQ(CharsetCode(name), 20) << name;
  // Names at their codes and distinct: a name's lookup gives back its own code.
  for (int code = 0; code < kCharsetCount; ++code) {
    ASSERT_NE(CharsetName(code), nullptr);
    EXPECT_EQ(CharsetCode(CharsetName(code)), code);
  }
  EXPECT_EQ(CharsetName(-1), nullptr);
  EXPECT_EQ(CharsetName(225), nullptr);
}

}  // namespace
}  // namespace Nauvik
