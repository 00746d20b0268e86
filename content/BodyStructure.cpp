#include "content/BodyStructure.h"

#include <cstring>
#include <optional>
#include <string>
#include <vector>

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

// Walks the entity tree depth first, parents before children, without
// recursion: hostile mail can nest multiparts thousands deep, and each level
// costs one small frame on the heap instead of a stack frame. Every level
// still gets its rows, however deep.
class Walker {
 public:
  Walker(int64_t message_id, const BodyPartSink& sink) : message_id_(message_id), sink_(sink) {}

  // The entity `text` and everything below it. `top` marks an entity reached
  // as a whole message (the mail, or one encapsulated in a message/rfc822
  // part), whose body start stays 0 without an empty line; a multipart's
  // part gets its body end instead.
  bool Walk(std::string_view text, uint32_t base, int64_t parent, bool top) {
    return Run(Entity{text, base, parent, 0, top});
  }

  // The entities below `text`, whose own row `id` is written already; its
  // header is read again from the text.
  bool WalkChildren(std::string_view text, int64_t id, uint32_t base) {
    const size_t h = Find(text, kEmptyLine);
    const EntityHeader header = AnalyzeEntity(h == npos ? text : text.substr(0, h), &message_);
    return Run(Descend(text, h, header, id, base));
  }

 private:
  // An entity whose row is still to be written.
  struct Entity {
    std::string_view text;
    uint32_t base = 0;
    int64_t parent = 0;
    int16_t body_no = 0;
    bool top = false;
  };
  // A multipart whose parts are being handed out: the next one starts at
  // `start` in `text` and gets number `n`.
  struct Multipart {
    std::string_view text;
    uint32_t base;
    int64_t id;
    std::string boundary;
    size_t start;
    int16_t n;
  };

  // Writes `first`'s row, then every entity below it, in document order.
  bool Run(std::optional<Entity> next) {
    while (next || !open_.empty()) {
      if (!next) {
        next = NextPart(open_.back());
        if (!next) open_.pop_back();
        continue;
      }
      const Entity e = *next;
      const size_t h = Find(e.text, kEmptyLine);
      const EntityHeader header = AnalyzeEntity(h == npos ? e.text : e.text.substr(0, h), &message_);
      BodyPartRow row = header.codes;
      row.parent_id = e.parent;
      row.message_id = message_id_;
      row.body_no = e.body_no;
      row.hdr_start = e.base;
      row.body_end = e.base + static_cast<uint32_t>(e.text.size());
      if (h != npos) {
        row.body_start = e.base + static_cast<uint32_t>(h + kEmptyLine.size());
      } else {
        row.body_start = e.top ? 0 : row.body_end;
      }
      if (!sink_(row)) return false;
      next = Descend(e.text, h, header, row.id, e.base);
    }
    return true;
  }

  // What lies below an entity whose row is written: an encapsulated message
  // comes back to be walked next; a multipart is opened, and its parts come
  // out of NextPart one by one. A leaf gives nothing.
  std::optional<Entity> Descend(std::string_view text, size_t h, const EntityHeader& header,
                                int64_t id, uint32_t base) {
    if (h == npos) return std::nullopt;  // no body: a leaf
    if (header.boundary.empty()) {
      if (!header.rfc822) return std::nullopt;
      const size_t body = h + kEmptyLine.size();
      return Entity{text.substr(body), base + static_cast<uint32_t>(body), id, 0, true};
    }
    const size_t e = Find(text, header.boundary, h);
    if (e == npos) return std::nullopt;
    const size_t eol = Find(text, kLineEnd, e + header.boundary.size());
    if (eol == npos) return std::nullopt;
    open_.push_back(Multipart{text, base, id, header.boundary, eol + kLineEnd.size(), 1});
    return std::nullopt;
  }

  // The multipart's next part, or nothing when no delimiter follows.
  static std::optional<Entity> NextPart(Multipart& m) {
    if (m.start == npos) return std::nullopt;
    const size_t e = Find(m.text, m.boundary, m.start);
    if (e == npos) return std::nullopt;
    Entity part{m.text.substr(m.start, e - m.start), m.base + static_cast<uint32_t>(m.start),
                m.id, m.n, false};
    const size_t eol = Find(m.text, kLineEnd, e + m.boundary.size());
    m.start = eol == npos ? npos : eol + kLineEnd.size();
    ++m.n;
    return part;
  }

  int64_t message_id_;
  const BodyPartSink& sink_;
  Mime::MimeMessage message_;
  std::vector<Multipart> open_;  // the multiparts between the walk's root and its position
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
  return walker.Walk(mail, offset, parent_id, true);
}

void SetBodyPartValues(DBTableBase& table, const BodyPartRow& row, bool every_column) {
  table.SetValue("IMB_IMAPBODYPARTID", IdText(row.id), true);
  table.SetValue("IMM_IMAPMESSAGEID", IdText(row.message_id), true);
  if (row.parent_id != 0) {
    table.SetValue("IMB_PARENTID", IdText(row.parent_id), true);
  } else if (every_column) {
    table.SetLiteral("IMB_PARENTID", "NULL");
  }
  if (row.body_no != 0) {
    table.SetValue("IMB_BODYNO", std::to_string(row.body_no), true);
  } else if (every_column) {
    table.SetLiteral("IMB_BODYNO", "NULL");
  }
  table.SetValue("IMB_HDRSTART", std::to_string(row.hdr_start), true);
  table.SetValue("IMB_BODYSTART", std::to_string(row.body_start), true);
  table.SetValue("IMB_BODYEND", std::to_string(row.body_end), true);
  table.SetValue("IMB_MIMEBASIC", std::to_string(row.mime_basic), true);
  table.SetValue("IMB_CHARSET", std::to_string(row.charset), true);
  table.SetValue("IMB_ENCODING", std::to_string(row.encoding), true);
}

bool InsertBodyPart(BodyPartRow& row, bool use_views) {
  if (row.message_id == 0) return false;
  DBTable<NV_IMAPBODYPART> table;
  if (!use_views) table.SetTableName("NS_IMAPBODYPART", true);
  if (row.id == 0) row.id = static_cast<int64_t>(table.GetNextSequenceValue());
  SetBodyPartValues(table, row, false);
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
  return walker.WalkChildren(text, id, base);
}

}  // namespace Nauvik
