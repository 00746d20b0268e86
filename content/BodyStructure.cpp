#include "content/BodyStructure.h"

#include <cstring>
#include <string>

#include "content/Charsets.h"
#include "content/MimeMessage.h"
#include "db/DBTable.h"
#include "db/Rows.h"
#include "mime/Ascii.h"

namespace Nauvik {

namespace {

constexpr std::string_view kEmptyLine = "\r\n\r\n";
constexpr std::string_view kLineEnd = "\r\n";
constexpr size_t npos = std::string_view::npos;

// Plain substring search (glibc's memmem is several GB/s on long bodies).
size_t Find(std::string_view text, std::string_view needle, size_t from = 0) {
  if (from > text.size() || needle.empty()) return npos;
  const void* hit = memmem(text.data() + from, text.size() - from, needle.data(), needle.size());
  return hit ? static_cast<size_t>(static_cast<const char*>(hit) - text.data()) : npos;
}

std::string Lower(std::string_view s) { return MimeParse::LowerAscii(s); }

// What the walk needs to know of one entity's header.
struct EntityHeader {
  BodyPartRow codes;
  std::string boundary;  // "--" + boundary, or ""
  bool rfc822 = false;
};

// Reads one entity's header block. A fresh message is parsed for each
// entity; the facade object itself is reused to save its allocation.
EntityHeader AnalyzeEntity(std::string_view header_text, Mime::MimeMessage* message) {
  EntityHeader e;
  if (header_text.empty()) {
    message->ParseHeaders(std::string());
  } else {
    std::string block;
    block.reserve(header_text.size() + kEmptyLine.size());
    block.append(header_text);
    block.append(kEmptyLine);
    message->ParseHeaders(std::move(block));
  }
  const MediaTypeValue media_type = MediaTypeValue::FromText(message->GetContentType());
  e.codes.mime_basic = MimeBasicCode(media_type.type);
  e.codes.encoding = EncodingCode(message->FieldBodyView("Content-Transfer-Encoding"));
  const std::string content_type(message->FieldBodyView("Content-Type"));
  e.codes.charset = CharsetCodeOfContentType(content_type);
  e.boundary = GetBoundary(content_type);
  e.rfc822 = media_type.Full() == "message/rfc822";
  return e;
}

class Walker {
 public:
  Walker(int64_t message_id, const BodyPartSink& sink) : message_id_(message_id), sink_(sink) {}

  // One entity: its row, then its children. `top` marks an entity reached
  // through ParseBodyStructure (the mail or an encapsulated message), whose
  // body start stays 0 without an empty line; a multipart's part gets its
  // body end instead.
  bool Entity(std::string_view text, uint32_t base, int64_t parent, int16_t body_no, bool top,
              int depth) {
    const size_t h = Find(text, kEmptyLine);
    EntityHeader header = AnalyzeEntity(h == npos ? text : text.substr(0, h), &message_);
    BodyPartRow row = header.codes;
    row.parent_id = parent;
    row.message_id = message_id_;
    row.body_no = body_no;
    row.hdr_start = base;
    row.body_end = base + static_cast<uint32_t>(text.size());
    if (h != npos) {
      row.body_start = base + static_cast<uint32_t>(h + kEmptyLine.size());
    } else {
      row.body_start = top ? 0 : row.body_end;
    }
    if (!sink_(row)) return false;
    if (depth >= kMaxBodyPartDepth) return true;
    return Children(text, h, header, row.id, base, depth);
  }

  bool Children(std::string_view text, size_t h, const EntityHeader& header, int64_t id,
                uint32_t base, int depth) {
    if (h == npos) return true;  // no body: a leaf
    if (header.boundary.empty()) {
      if (!header.rfc822) return true;
      const size_t body = h + kEmptyLine.size();
      return Entity(text.substr(body), base + static_cast<uint32_t>(body), id, 0, true,
                    depth + 1);
    }
    const std::string_view boundary = header.boundary;
    size_t e = Find(text, boundary, h);
    if (e == npos) return true;
    size_t eol = Find(text, kLineEnd, e + boundary.size());
    if (eol == npos) return true;
    size_t start = eol + kLineEnd.size();
    for (int16_t n = 1; (e = Find(text, boundary, start)) != npos; ++n) {
      if (!Entity(text.substr(start, e - start), base + static_cast<uint32_t>(start), id, n,
                  false, depth + 1)) {
        return false;
      }
      eol = Find(text, kLineEnd, e + boundary.size());
      if (eol == npos) break;
      start = eol + kLineEnd.size();
    }
    return true;
  }

  // ParseChildParts' own entry: the header is read again from the text.
  bool ChildrenOf(std::string_view text, int64_t id, uint32_t base) {
    const size_t h = Find(text, kEmptyLine);
    const EntityHeader header = AnalyzeEntity(h == npos ? text : text.substr(0, h), &message_);
    return Children(text, h, header, id, base, 0);
  }

 private:
  int64_t message_id_;
  const BodyPartSink& sink_;
  Mime::MimeMessage message_;
};

bool InsertingSink(BodyPartRow& row, bool use_views) { return InsertBodyPart(row, use_views); }

}  // namespace

MediaTypeValue MediaTypeValue::FromText(std::string_view text) {
  MediaTypeValue v;
  if (text.empty()) text = "text/plain";
  const size_t slash = text.find('/');
  if (slash != npos && slash != 0 && slash != text.size() - 1) {
    v.type = Lower(text.substr(0, slash));
    v.subtype = Lower(text.substr(slash + 1));
  }
  if (v.type.empty()) v.type = "text";
  if (v.subtype.empty()) v.subtype = "plain";
  return v;
}

int16_t MimeBasicCode(std::string_view t) {
  if (t == "text") return kMimeText;
  if (t == "image") return kMimeImage;
  if (t == "audio") return kMimeAudio;
  if (t == "video") return kMimeVideo;
  if (t == "application") return kMimeApplication;
  if (t == "multipart") return kMimeMultipart;
  if (t == "message") return kMimeMessage;
  return kMimeOther;
}

int16_t EncodingCode(std::string_view body) {
  const std::string e = Lower(body);
  if (e == "7bit") return kEncoding7Bit;
  if (e == "8bit") return kEncoding8Bit;
  if (e == "binary") return kEncodingBinary;
  if (e == "quoted-printable") return kEncodingQuotedPrintable;
  if (e == "base64") return kEncodingBase64;
  return kEncodingOther;
}

int16_t CharsetCodeOfContentType(std::string_view content_type_body) {
  const std::string lower = Lower(content_type_body);
  std::string_view name = lower;
  const size_t at = name.find("charset=");
  if (at != npos) {
    name = name.substr(at + 8);
    if (!name.empty() && name[0] == '"') {
      name = name.substr(1);
      name = name.substr(0, name.find('"'));
    } else {
      name = name.substr(0, name.find_first_of("; \r\n\t"));
    }
  }
  return CharsetCode(name);
}

std::string GetBoundary(const std::string& content_type_body) {
  const size_t at = Lower(content_type_body).find("boundary=");
  if (at == npos) return "";
  std::string_view value = std::string_view(content_type_body).substr(at + 9);
  if (!value.empty() && value[0] == '"') {
    value = value.substr(1);
    value = value.substr(0, value.find('"'));
  } else {
    value = value.substr(0, value.find_first_of("; \r\n\t"));
  }
  value = MimeParse::TrimWhite(value);
  return value.empty() ? std::string() : "--" + std::string(value);
}

BodyPartRow AnalyzePartHeaders(std::string_view header_text) {
  Mime::MimeMessage message;
  return AnalyzeEntity(header_text, &message).codes;
}

bool ScanBodyStructure(std::string_view mail, uint32_t offset, int64_t parent_id,
                       int64_t message_id, const BodyPartSink& sink) {
  Walker walker(message_id, sink);
  return walker.Entity(mail, offset, parent_id, 0, true, 0);
}

bool InsertBodyPart(BodyPartRow& row, bool use_views) {
  if (row.message_id == 0) return false;
  DBTable<NV_IMAPBODYPART> table;
  if (!use_views) table.SetTableName("NS_IMAPBODYPART", true);
  if (row.id == 0) row.id = static_cast<int64_t>(table.GetNextSequenceValue());
  table.SetValue("IMB_IMAPBODYPARTID", IdText(row.id), true);
  table.SetValue("IMM_IMAPMESSAGEID", IdText(row.message_id), true);
  if (row.parent_id != 0) table.SetValue("IMB_PARENTID", IdText(row.parent_id), true);
  if (row.body_no != 0) table.SetValue("IMB_BODYNO", std::to_string(row.body_no), true);
  table.SetValue("IMB_HDRSTART", std::to_string(row.hdr_start), true);
  table.SetValue("IMB_BODYSTART", std::to_string(row.body_start), true);
  table.SetValue("IMB_BODYEND", std::to_string(row.body_end), true);
  table.SetValue("IMB_MIMEBASIC", std::to_string(row.mime_basic), true);
  table.SetValue("IMB_CHARSET", std::to_string(row.charset), true);
  table.SetValue("IMB_ENCODING", std::to_string(row.encoding), true);
  return table.Insert();
}

bool ParseBodyStructure(std::string_view mail, uint32_t offset, int64_t parent_id,
                        int64_t message_id, bool use_views) {
  const BodyPartSink sink = [use_views](BodyPartRow& row) { return InsertingSink(row, use_views); };
  return ScanBodyStructure(mail, offset, parent_id, message_id, sink);
}

bool ParseChildParts(std::string_view text, bool use_views, int64_t id, int64_t message_id,
                     uint32_t base) {
  const BodyPartSink sink = [use_views](BodyPartRow& row) { return InsertingSink(row, use_views); };
  Walker walker(message_id, sink);
  return walker.ChildrenOf(text, id, base);
}

}  // namespace Nauvik
