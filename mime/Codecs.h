#pragma once

// Content transfer decodings. Each appends the decoded bytes to *out and
// reports whether the input was well formed; on failure *out holds what was
// decoded before the fault (callers that want all or nothing discard it).
// The output never exceeds the input's length, so memory is bounded by the
// caller's own data.

#include <string>
#include <string_view>

#include "mime/Status.h"

namespace Nauvik::MimeParse {

// Base64 (RFC 2045). White space (space, tab, CR, LF) is skipped anywhere.
// Fails on any other byte outside the alphabet, on a "=" that is not
// trailing padding, and on a final group of a single character. A final
// group of two or three characters without padding is accepted.
Status Base64Decode(std::string_view in, std::string* out);

enum class QpMode {
  kBody,    // RFC 2045: "=" + line end is a soft line break; white space
            // before a line end is transport padding and dropped
  kHeader,  // RFC 2047 "Q": "_" stands for a space; no line structure
};

// Quoted-printable. Fails on "=" followed by anything but two hexadecimal
// digits (either case) or, in body mode, a line end.
Status QuotedPrintableDecode(std::string_view in, QpMode mode, std::string* out);

}  // namespace Nauvik::MimeParse
