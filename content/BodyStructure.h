#pragma once

// The MIME structure of a stored mail: one body-part row per entity, with
// the byte offsets of its header, body start and body end in the raw mail
// and its media type, transfer encoding and charset codes, so that parts can
// be found later without parsing the mail again.
//
// The walk is a byte scanner of its own: empty lines and boundaries are found
// by plain substring search over the raw bytes; only each entity's header
// block goes through the MIME facade. The scanner (ScanBodyStructure) hands
// rows to a sink and knows nothing of the database; ParseBodyStructure
// plugs in the sink that inserts rows into NS_IMAPBODYPART / NV_IMAPBODYPART.
// Malformed MIME never fails the walk: a missing empty line, boundary or
// delimiter only changes which rows and offsets come out. Nesting has no
// limit and costs heap, not stack: every level of a hostile mail nesting
// thousands of multiparts gets its rows. Each level searches its own part,
// so the scan costs about the mail's size times its depth.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace Nauvik {

// The values of one body-part row (the IMB_ columns). 0 in parent_id and
// body_no means "not written" (NULL).
struct BodyPartRow {
  int64_t id = 0;
  int64_t message_id = 0;
  int64_t parent_id = 0;
  int16_t body_no = 0;
  uint32_t hdr_start = 0;
  uint32_t body_start = 0;
  uint32_t body_end = 0;
  int16_t mime_basic = 0;
  int16_t charset = 20;
  int16_t encoding = 0;

  bool operator==(const BodyPartRow&) const = default;
};

// Media type codes of IMB_MIMEBASIC.
inline constexpr int16_t kMimeText = 0;
inline constexpr int16_t kMimeImage = 1;
inline constexpr int16_t kMimeAudio = 2;
inline constexpr int16_t kMimeVideo = 3;
inline constexpr int16_t kMimeApplication = 4;
inline constexpr int16_t kMimeMultipart = 5;
inline constexpr int16_t kMimeMessage = 6;
inline constexpr int16_t kMimeOther = 99;

// Transfer encoding codes of IMB_ENCODING.
inline constexpr int16_t kEncoding7Bit = 0;
inline constexpr int16_t kEncoding8Bit = 1;
inline constexpr int16_t kEncodingBinary = 2;
inline constexpr int16_t kEncodingQuotedPrintable = 3;
inline constexpr int16_t kEncodingBase64 = 4;
inline constexpr int16_t kEncodingOther = 99;

// A media type value: lower-cased type and subtype from "type/subtype"
// (split at the first "/", which must be neither first nor last; otherwise
// text/plain).
struct MediaTypeValue {
  std::string type;
  std::string subtype;
  static MediaTypeValue FromText(std::string_view text);
  std::string Full() const { return subtype.empty() ? type : type + "/" + subtype; }
};

int16_t MimeBasicCode(std::string_view lower_type);
int16_t EncodingCode(std::string_view encoding_field_body);
// The charset code from a Content-Type field body.
int16_t CharsetCodeOfContentType(std::string_view content_type_body);

// "--" + the boundary parameter of a Content-Type body, or "" when none.
std::string GetBoundary(const std::string& content_type_body);

// The codes of an entity's header text; id, parent, number and offsets 0.
BodyPartRow AnalyzePartHeaders(std::string_view header_text);

// Receives each row in the order the rows are written (depth first, parents
// before children). It must set row.id to a non-zero value that children
// will carry as their parent, and return false to stop the walk.
using BodyPartSink = std::function<bool(BodyPartRow& row)>;

// Walks `mail` (whose first byte is at `offset` in the raw mail) and hands
// every entity's row to `sink`. The top-level row gets `parent_id` (0: none)
// and no number. False when the sink refused a row; rows already handed on
// stay.
bool ScanBodyStructure(std::string_view mail, uint32_t offset, int64_t parent_id,
                       int64_t message_id, const BodyPartSink& sink);

class DBTableBase;

// Sets the row's values on a body-part table object. With `every_column`,
// the columns left NULL are named too, so that rows of one multi-row INSERT
// share their column list.
void SetBodyPartValues(DBTableBase& table, const BodyPartRow& row, bool every_column);

// Writes one row. False when its message id is 0 or the insert reports
// failure. A row id of 0 is drawn from the table's sequence and stored back
// into the row. Database errors raise DBException.
bool InsertBodyPart(BodyPartRow& row, bool use_views);

// Writes the rows of `mail` (the store calls it with offset 0, parent 0).
// With use_views false the rows go to NS_IMAPBODYPART, else NV_IMAPBODYPART.
bool ParseBodyStructure(std::string_view mail, uint32_t offset, int64_t parent_id,
                        int64_t message_id, bool use_views);

// Writes the rows of every entity below the entity `text` (row `id`, first
// byte at `base`), in the order ScanBodyStructure hands them out.
bool ParseChildParts(std::string_view text, bool use_views, int64_t id, int64_t message_id,
                     uint32_t base);

}  // namespace Nauvik
