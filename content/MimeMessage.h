#pragma once

// The store's view of a parsed mail header: the few questions it asks of a
// message (is a field there, what is its body, what is the media type),
// answered by our MIME parser. The store never uses the parser directly.
//
// A MimeMessage owns one parsed message: a private copy of the header bytes
// and the fields parsed from them. It is movable, not copyable; a moved-from
// facade holds no message, and every operation on it raises the
// internal-null-pointer MimeError. One facade is used by one thread at a
// time; separate facades are independent.

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace Nauvik::MimeParse {
class HeaderBlock;
}

namespace Nauvik::Mime {

enum class MimeErrorKind {
  kInternalNullPointer,
  kMemoryAllocation,
  kBadParameter,
};

// The facade's errors, raised as standard runtime errors with fixed texts.
class MimeError : public std::runtime_error {
 public:
  explicit MimeError(MimeErrorKind kind);
  MimeErrorKind kind() const { return kind_; }
  static const char* Text(MimeErrorKind kind);

 private:
  MimeErrorKind kind_;
};

class MimeMessage final {
 public:
  // An empty message (no fields). Our parser keeps its tables as
  // compile-time constants, so there is no process-wide set-up to run.
  MimeMessage();
  ~MimeMessage();
  MimeMessage(const MimeMessage&) = delete;
  MimeMessage& operator=(const MimeMessage&) = delete;
  MimeMessage(MimeMessage&& other) noexcept;
  MimeMessage& operator=(MimeMessage&& other) noexcept;

  // Replaces the header block with a copy of these bytes and parses it. Any
  // bytes are accepted; the block ends at its first empty line. Null bytes
  // with a non-zero length raise the bad-parameter MimeError.
  void ParseHeaders(const char* bytes, size_t length);
  // The same, taking ownership of the bytes (no second copy).
  void ParseHeaders(std::string bytes);

  // Whether a field of that name exists (ASCII case ignored).
  bool HasField(const std::string& name) const;
  // The body of the first field of that name, folding kept, as a text for
  // the store: it ends at its first NUL, as the header summary's columns
  // do; "" when absent.
  std::string GetFieldBody(const std::string& name) const;
  // The whole body, NULs included, as a view into the message; valid until
  // the next ParseHeaders or the facade's destruction.
  std::string_view FieldBodyView(std::string_view name) const;
  // Content-Type's type and subtype as written, joined by "/"; "" when there
  // is no Content-Type field.
  std::string GetContentType() const;

  // The parsed fields, for readers that want more than the questions above.
  const MimeParse::HeaderBlock& Headers() const;

 private:
  struct Message;
  const Message& Get() const;
  Message& Get();

  std::unique_ptr<Message> message_;
};

}  // namespace Nauvik::Mime
