#include "mime/HeaderBlock.h"

#include <cstring>

#include "mime/Ascii.h"

namespace Nauvik::MimeParse {

namespace {

// The field whose lines are being collected: where its body begins and
// where its last line's content ends (before that line's line end).
struct OpenField {
  bool open = false;
  size_t offset = 0;
  size_t name_end = 0;
  size_t body_begin = 0;
  size_t content_end = 0;
};

}  // namespace

void HeaderBlock::Parse(std::string_view text) {
  fields_.clear();
  end_offset_ = text.size();
  has_empty_line_ = false;

  const char* data = text.data();
  const size_t size = text.size();
  OpenField current;

  auto close = [&]() {
    if (!current.open) return;
    current.open = false;
    size_t body_end = current.content_end;
    size_t body_begin = current.body_begin;
    while (body_end > body_begin && IsWhite(data[body_end - 1])) --body_end;
    if (body_begin > body_end) body_begin = body_end;
    size_t name_end = current.name_end;
    while (name_end > current.offset && IsWsp(data[name_end - 1])) --name_end;
    fields_.push_back(HeaderField{text.substr(current.offset, name_end - current.offset),
                                  text.substr(body_begin, body_end - body_begin),
                                  current.offset});
  };

  size_t pos = 0;
  while (pos < size) {
    const void* lf = std::memchr(data + pos, '\n', size - pos);
    const size_t line_end = lf ? static_cast<size_t>(static_cast<const char*>(lf) - data) : size;
    const size_t next = lf ? line_end + 1 : size;
    size_t content_end = line_end;
    if (lf && content_end > pos && data[content_end - 1] == '\r') --content_end;

    if (content_end == pos && lf) {
      // An empty line ends the block. ("\r" alone at the very end of the
      // input is no line end, so it is no empty line either.)
      close();
      end_offset_ = next;
      has_empty_line_ = true;
      return;
    }
    if (IsWsp(data[pos])) {
      // Continuation: the field grows by this line, line break included.
      if (current.open) current.content_end = content_end;
    } else {
      close();
      const void* colon = std::memchr(data + pos, ':', content_end - pos);
      if (colon) {
        const size_t c = static_cast<size_t>(static_cast<const char*>(colon) - data);
        size_t name_end = c;
        while (name_end > pos && IsWsp(data[name_end - 1])) --name_end;
        if (name_end > pos) {
          size_t body_begin = c + 1;
          while (body_begin < content_end && IsWsp(data[body_begin])) ++body_begin;
          current = OpenField{true, pos, c, body_begin, content_end};
        }
      }
    }
    pos = next;
  }
  close();
}

const HeaderField* HeaderBlock::Find(std::string_view name) const {
  for (const HeaderField& field : fields_) {
    if (EqualsIgnoreCase(field.name, name)) return &field;
  }
  return nullptr;
}

size_t HeaderBlock::Count(std::string_view name) const {
  size_t n = 0;
  for (const HeaderField& field : fields_) {
    if (EqualsIgnoreCase(field.name, name)) ++n;
  }
  return n;
}

}  // namespace Nauvik::MimeParse
