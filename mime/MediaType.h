#pragma once

// A Content-Type field body: "type/subtype; name=value; ...".
//
// Type and subtype are views into the parsed text as written (the caller
// lower-cases if it compares). Parameter values are copied, because quoting,
// RFC 2231 continuations ("name*0=", "name*1=") and percent-encoding
// ("name*=charset'lang'%E6") mean they are rarely contiguous in the input.

#include <string>
#include <string_view>
#include <vector>

#include "mime/Status.h"

namespace Nauvik::MimeParse {

struct MediaParameter {
  std::string name;      // lower-cased, without any "*" section or marker
  std::string value;     // unquoted; RFC 2231 pieces joined and %XX decoded
  std::string charset;   // from an RFC 2231 extended value, else empty
  std::string language;  // from an RFC 2231 extended value, else empty
};

class MediaType {
 public:
  // Hostile bodies can list any number of parameters or continuation pieces;
  // these caps bound what a parse allocates.
  static constexpr size_t kMaxParameters = 64;
  static constexpr unsigned kMaxSections = 256;

  std::string_view type;     // "" when the body has none
  std::string_view subtype;  // "" when no "/" or nothing follows it
  bool has_slash = false;    // a "/" followed the type
  std::vector<MediaParameter> parameters;

  // The parameter named `name` (ASCII case ignored), or nullptr.
  const MediaParameter* Find(std::string_view name) const;
};

// Parses `body` (the field body; comments allowed anywhere, folding kept).
// The type and subtype views point into `body`, which must outlive *out.
// A parameter without "=" or value is skipped; the status reports the first
// such fault while parsing carries on, so *out is always filled as far as
// it can be.
Status ParseMediaType(std::string_view body, MediaType* out);

}  // namespace Nauvik::MimeParse
