#pragma once

// The header block of a message or body part, split into fields.
//
// Parsing never copies: every name and body is a view into the text given to
// Parse(), which must outlive the block (and every view taken from it). The
// block tolerates any bytes, NUL and 8-bit included, and reads nothing
// outside its input. Not thread-safe; a const block may be read by several
// threads.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace Nauvik::MimeParse {

struct HeaderField {
  // The text before the first colon, trailing spaces and tabs removed.
  std::string_view name;
  // The text after the colon with leading spaces and tabs removed and
  // trailing white space (the field's closing line end included) removed.
  // Folded lines keep their line breaks and leading white space.
  std::string_view body;
  // Offset of the field's first byte in the parsed text.
  size_t offset = 0;
};

class HeaderBlock {
 public:
  HeaderBlock() = default;

  // Replaces the fields with those of `text`. The block ends at the first
  // empty line ("\r\n" or a bare "\n") or at the end of the text. A line that
  // starts with white space continues the field before it; a line with no
  // colon, and anything folded onto it, is not a field and is skipped.
  // Every field is recorded, however many there are: a field late in a
  // hostile header still counts. One pass over the text; each field keeps
  // only where it starts and ends (8 bytes), so that a header of millions of
  // tiny fields costs about twice its size, not ten times. Text beyond 4 GiB
  // is not read.
  void Parse(std::string_view text);

  size_t size() const { return spans_.size(); }
  // Field i (below size()), its views into the parsed text.
  HeaderField field(size_t i) const;
  // Offset just past the empty line that ended the block, or the text's
  // length when there was none.
  size_t end_offset() const { return end_offset_; }
  // Whether an empty line ended the block.
  bool has_empty_line() const { return has_empty_line_; }

  // The first field whose name equals `name` without regard to ASCII case.
  std::optional<HeaderField> Find(std::string_view name) const;
  size_t Count(std::string_view name) const;

 private:
  // A field: its first byte, and the end of its last line before the line end.
  struct Span {
    uint32_t begin;
    uint32_t end;
  };
  size_t ColonOf(const Span& span) const;
  std::string_view NameOf(const Span& span) const;

  std::string_view text_;
  std::vector<Span> spans_;
  size_t end_offset_ = 0;
  bool has_empty_line_ = false;
};

}  // namespace Nauvik::MimeParse
