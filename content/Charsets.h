#pragma once

// Character set conversion through ICU's one-call converter.
//
// Text crosses three encodings here: the mail's own character sets (named in
// MIME headers), UTF-8 (folder names from the host, decoded header text) and
// UTF-16 (the store's wide strings). The database's 8-bit text is ISO-8859-1.
//
// Every conversion is a single ucnv_convert call into a buffer sized in
// advance from the input length. Malformed or unmappable input is no failure:
// ICU substitutes and carries on. A conversion fails only when ICU reports an
// error (an unknown encoding name, a target buffer too small); the error name
// is ICU's u_errorName text, e.g. "U_FILE_ACCESS_ERROR".
//
// UTF-16 strings hold code units in the machine's order (little endian here)
// and travel to ICU as bytes in "UTF-16LE".
//
// All functions are thread-safe.

#include <cstdint>
#include <string>
#include <string_view>

namespace Nauvik {

// Converts `source_length` bytes at `source` from `from_encoding` into
// `target`. On entry *target_length is the target's capacity in bytes; on
// success it becomes the number of bytes written and the result is true. On
// failure the result is false, *error_name holds ICU's error name and the
// target's contents are unspecified. Never throws.
[[nodiscard]] bool ConvertBuffer(const std::string& to_encoding, const std::string& from_encoding,
                                 char* target, int32_t* target_length, const char* source,
                                 int32_t source_length, std::string* error_name);

// Converts bytes in `from_encoding` to UTF-16. On failure returns false with
// the error name and leaves *out unchanged. Never throws.
[[nodiscard]] bool ConvertToUtf16(const std::string& from_encoding, std::string_view in,
                                  std::u16string* out, std::string* error_name);

// Converts UTF-16 to bytes in `to_encoding`. On failure returns false with the
// error name and leaves *out unchanged. Never throws.
[[nodiscard]] bool ConvertFromUtf16(const std::string& to_encoding, std::u16string_view in,
                                    std::string* out, std::string* error_name);

// Converts bytes in `from_encoding` to UTF-8. On failure returns false with the
// error name and leaves *out unchanged. Never throws.
[[nodiscard]] bool ConvertToUtf8(const std::string& from_encoding, std::string_view in,
                                 std::string* out, std::string* error_name);

// The database's 8-bit text (ISO-8859-1) to UTF-16.
// Throws std::runtime_error("ConvertToUnicode failed: " + error name).
[[nodiscard]] std::u16string ConvertToUnicode(std::string_view latin1);

// UTF-16 to the database's 8-bit text (ISO-8859-1). Characters ISO-8859-1
// cannot hold become the converter's substitute byte (0x1A), which is no
// failure. Throws std::runtime_error("ConvertFromUnicode failed: " + error name).
[[nodiscard]] std::string ConvertFromUnicode(std::u16string_view in);

// Lower-cases `in` under the ICU locale whose language is `locale` (the store
// compares folder names lower-cased under "English"), with full case mapping,
// so the result may be longer than the input. Returns true and replaces *out
// with the result; a locale ICU rejects as bogus gives false and leaves *out
// alone.
[[nodiscard]] bool ToLowerWithLocale(const std::string& locale, std::u16string_view in,
                                     std::u16string* out);

// Number of entries in the charset code table.
inline constexpr int kCharsetCount = 225;

// The code stored for a charset name: the position of the exact,
// case-sensitive match in the charset table (0 to 224), or 20 ("us-ascii")
// for a name the table does not hold.
[[nodiscard]] int16_t CharsetCode(std::string_view name);

// The table's name at `code`, or nullptr when the code is outside 0 to 224.
[[nodiscard]] const char* CharsetName(int code);

// 0 "UTF-8", 1 "UTF-16LE", 2 "UTF-7", 3 "UTF-32LE", any other index "".
[[nodiscard]] const char* UnicodeEncodingName(int index);

namespace IMAP {

// The host's UTF-8 folder name as UTF-16. Invalid bytes are substituted by the
// converter. When ICU reports an error the result is empty, and a WARNING
// naming the error is logged.
[[nodiscard]] std::u16string ConvertUtf8FolderNameToUtf16(std::string_view utf8);

}  // namespace IMAP

}  // namespace Nauvik
