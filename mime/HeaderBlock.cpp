#include "mime/HeaderBlock.h"

#include <cstring>

#include "mime/Ascii.h"

namespace Nauvik::MimeParse {

void HeaderBlock::Parse(std::string_view text) {
  spans_.clear();
  // Offsets are 32-bit; the store takes no mail of 4 GiB or more.
  text = text.substr(0, UINT32_MAX);
  text_ = text;
  end_offset_ = text.size();
  has_empty_line_ = false;

  const char* data = text.data();
  const size_t size = text.size();
  // Room for one field a line, taken at once: grown by doubling, a header of
  // millions of fields would need its records one and a half times over
  // while they move.
  size_t lines = 0;
  for (size_t pos = 0; pos < size; ++lines) {
    const void* lf = std::memchr(data + pos, '\n', size - pos);
    if (lf == nullptr) break;
    const size_t next = static_cast<size_t>(static_cast<const char*>(lf) - data) + 1;
    if (next - pos <= 2 && (next - pos == 1 || data[pos] == '\r')) break;  // the empty line
    pos = next;
  }
  spans_.reserve(lines + 1);
  bool open = false;  // a field is being collected into spans_.back()

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
      end_offset_ = next;
      has_empty_line_ = true;
      return;
    }
    if (IsWsp(data[pos])) {
      // Continuation: the field grows by this line, line break included.
      if (open) spans_.back().end = static_cast<uint32_t>(content_end);
    } else {
      open = false;
      const void* colon = std::memchr(data + pos, ':', content_end - pos);
      if (colon) {
        size_t name_end = static_cast<size_t>(static_cast<const char*>(colon) - data);
        while (name_end > pos && IsWsp(data[name_end - 1])) --name_end;
        if (name_end > pos) {
          spans_.push_back({static_cast<uint32_t>(pos), static_cast<uint32_t>(content_end)});
          open = true;
        }
      }
    }
    pos = next;
  }
}

// The field's first colon, which is in its first line: Parse took the line
// for a field because of it.
size_t HeaderBlock::ColonOf(const Span& span) const {
  const char* data = text_.data();
  return static_cast<size_t>(
      static_cast<const char*>(std::memchr(data + span.begin, ':', span.end - span.begin)) - data);
}

std::string_view HeaderBlock::NameOf(const Span& span) const {
  size_t name_end = ColonOf(span);
  while (name_end > span.begin && IsWsp(text_[name_end - 1])) --name_end;
  return text_.substr(span.begin, name_end - span.begin);
}

HeaderField HeaderBlock::field(size_t i) const {
  const Span& span = spans_[i];
  const char* data = text_.data();
  size_t body_begin = ColonOf(span) + 1;
  while (body_begin < span.end && IsWsp(data[body_begin])) ++body_begin;
  size_t body_end = span.end;
  while (body_end > body_begin && IsWhite(data[body_end - 1])) --body_end;
  return HeaderField{NameOf(span), text_.substr(body_begin, body_end - body_begin), span.begin};
}

std::optional<HeaderField> HeaderBlock::Find(std::string_view name) const {
  for (size_t i = 0; i < spans_.size(); ++i) {
    if (EqualsIgnoreCase(NameOf(spans_[i]), name)) return field(i);
  }
  return std::nullopt;
}

size_t HeaderBlock::Count(std::string_view name) const {
  size_t n = 0;
  for (const Span& span : spans_) {
    if (EqualsIgnoreCase(NameOf(span), name)) ++n;
  }
  return n;
}

}  // namespace Nauvik::MimeParse
