#include "content/MimeMessage.h"

#include "mime/HeaderBlock.h"
#include "mime/MediaType.h"

namespace Nauvik::Mime {

struct MimeMessage::Message {
  std::string bytes;  // the header block; the fields are views into it
  MimeParse::HeaderBlock headers;
};

MimeError::MimeError(MimeErrorKind kind) : std::runtime_error(Text(kind)), kind_(kind) {}

const char* MimeError::Text(MimeErrorKind kind) {
  switch (kind) {
    case MimeErrorKind::kInternalNullPointer:
      return "Internal NULL-pointer error in Nauvik::Mime implementation";
    case MimeErrorKind::kMemoryAllocation:
      return "Memory allocation error in Nauvik::Mime class";
    case MimeErrorKind::kBadParameter:
      return "Bad parameter to method in Nauvik::Mime library";
  }
  return "Internal NULL-pointer error in Nauvik::Mime implementation";
}

MimeMessage::MimeMessage() : message_(std::make_unique<Message>()) {}
MimeMessage::~MimeMessage() = default;
MimeMessage::MimeMessage(MimeMessage&& other) noexcept = default;
MimeMessage& MimeMessage::operator=(MimeMessage&& other) noexcept = default;

const MimeMessage::Message& MimeMessage::Get() const {
  if (!message_) throw MimeError(MimeErrorKind::kInternalNullPointer);
  return *message_;
}

MimeMessage::Message& MimeMessage::Get() {
  if (!message_) throw MimeError(MimeErrorKind::kInternalNullPointer);
  return *message_;
}

void MimeMessage::ParseHeaders(const char* bytes, size_t length) {
  Message& m = Get();
  if (bytes == nullptr && length != 0) throw MimeError(MimeErrorKind::kBadParameter);
  m.bytes.assign(bytes == nullptr ? "" : bytes, length);
  m.headers.Parse(m.bytes);
}

void MimeMessage::ParseHeaders(std::string bytes) {
  Message& m = Get();
  m.bytes = std::move(bytes);
  m.headers.Parse(m.bytes);
}

bool MimeMessage::HasField(const std::string& name) const {
  return Get().headers.Find(name).has_value();
}

std::string MimeMessage::GetFieldBody(const std::string& name) const {
  const std::string_view body = FieldBodyView(name);
  return std::string(body.substr(0, body.find('\0')));
}

std::string_view MimeMessage::FieldBodyView(std::string_view name) const {
  const std::optional<MimeParse::HeaderField> field = Get().headers.Find(name);
  return field ? field->body : std::string_view();
}

std::string MimeMessage::GetContentType() const {
  const std::optional<MimeParse::HeaderField> field = Get().headers.Find("Content-Type");
  if (!field) return "";
  MimeParse::MediaType media_type;
  (void)MimeParse::ParseMediaType(field->body, &media_type);  // faults still fill it
  std::string result(media_type.type);
  result.push_back('/');
  if (!media_type.has_slash && !media_type.type.empty()) {
    // A type written without "/subtype" ("Content-Type: foo") keeps its
    // type: an empty subtype here would make the body-part analysis read
    // the whole value as text/plain.
    result.append("unknown");
  } else {
    result.append(media_type.subtype);
  }
  return result;
}

const MimeParse::HeaderBlock& MimeMessage::Headers() const { return Get().headers; }

}  // namespace Nauvik::Mime
