// Header value decoding and sort subjects over any bytes; as a mail header, no column holds NUL.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "content/HeaderSummary.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view raw(reinterpret_cast<const char*>(data), size);
  const std::string utf8 = Nauvik::DecodeHeaderValue(raw);
  const std::string sort = Nauvik::MakeSortSubject(utf8);
  if (sort.size() > utf8.size() * 2 + 16) __builtin_trap();
  std::u16string wide;
  std::string error;
  (void)Nauvik::Utf8ToUtf16(utf8, &wide, &error);

  Nauvik::Mime::MimeMessage mail;
  if (Nauvik::ByteStream::ParseMail(raw.data(), raw.size(), mail) != 0) return 0;
  const Nauvik::HeaderSummary s = Nauvik::MakeHeaderSummary(mail);
  for (const auto* column : {&s.to, &s.cc, &s.bcc, &s.from, &s.subject, &s.sort_subject}) {
    if (*column && (*column)->find(u'\0') != std::u16string::npos) __builtin_trap();
  }
  if (s.message_id && s.message_id->find('\0') != std::string::npos) __builtin_trap();
  return 0;
}
