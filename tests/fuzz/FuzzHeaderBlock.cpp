// The header parser and the structured field parsers behind it, over any header block.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "content/MimeMessage.h"
#include "mime/Address.h"
#include "mime/Codecs.h"
#include "mime/DateTime.h"
#include "mime/EncodedWord.h"
#include "mime/HeaderBlock.h"
#include "mime/MediaType.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace Nauvik::MimeParse;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  HeaderBlock block;
  block.Parse(text);
  if (block.end_offset() > size) __builtin_trap();
  for (size_t i = 0; i < block.size(); ++i) {
    const HeaderField f = block.field(i);
    if (f.body.data() < text.data() || f.body.data() + f.body.size() > text.data() + size ||
        !block.Find(f.name)) {
      __builtin_trap();
    }
    MediaType media_type;
    (void)ParseMediaType(f.body, &media_type);
    AddressList addresses;
    (void)ParseAddressList(f.body, &addresses);
    DateTime date;
    (void)ParseDateTime(f.body, &date);
    size_t from = 0;
    while (const auto word = FindEncodedWord(f.body, from)) {
      if (word->end <= from || word->end > f.body.size()) __builtin_trap();
      std::string decoded;
      (void)DecodeEncodedWord(*word, &decoded);
      from = word->end;
    }
  }
  std::string out[3];
  (void)Base64Decode(text, &out[0]);
  (void)QuotedPrintableDecode(text, QpMode::kBody, &out[1]);
  (void)QuotedPrintableDecode(text, QpMode::kHeader, &out[2]);
  for (const std::string& o : out) {
    if (o.size() > size) __builtin_trap();
  }
  Nauvik::Mime::MimeMessage message;
  message.ParseHeaders(reinterpret_cast<const char*>(data), size);
  (void)message.GetContentType();
  return 0;
}
