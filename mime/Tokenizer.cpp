#include "mime/Tokenizer.h"

#include "mime/Ascii.h"

namespace Nauvik::MimeParse {

Tokenizer::Tokenizer(std::string_view text, std::string_view specials, bool keep_comments)
    : text_(text),
      specials_(specials),
      keep_comments_(keep_comments),
      domain_literals_(specials.find('.') != std::string_view::npos) {}

bool Tokenizer::IsSpecial(char c) const { return specials_.find(c) != std::string_view::npos; }

// `pos` is the offset of an opening delimiter. Returns the offset just past
// the delimiter that closes it, or the end of the text when it is never
// closed. A backslash escapes the byte after it.
size_t Tokenizer::SkipDelimited(size_t pos, char close, bool nest) const {
  const char open = text_[pos];
  size_t depth = 1;
  for (size_t i = pos + 1; i < text_.size(); ++i) {
    const char c = text_[i];
    if (c == '\\') {
      ++i;
    } else if (nest && c == open) {
      ++depth;
    } else if (c == close && --depth == 0) {
      return i + 1;
    }
  }
  return text_.size();
}

Token Tokenizer::Peek() {
  const size_t saved = pos_;
  Token t = Next();
  pos_ = saved;
  return t;
}

Token Tokenizer::Next() {
  for (;;) {
    while (pos_ < text_.size() && IsWhite(text_[pos_])) ++pos_;
    if (pos_ >= text_.size()) return Token{TokenKind::kEnd, {}};
    const size_t start = pos_;
    const char c = text_[pos_];
    if (c == '(') {
      pos_ = SkipDelimited(start, ')', true);
      if (keep_comments_) return Token{TokenKind::kComment, text_.substr(start, pos_ - start)};
      continue;
    }
    if (c == '"') {
      pos_ = SkipDelimited(start, '"', false);
      return Token{TokenKind::kQuotedString, text_.substr(start, pos_ - start)};
    }
    if (c == '[' && domain_literals_) {
      pos_ = SkipDelimited(start, ']', false);
      return Token{TokenKind::kDomainLiteral, text_.substr(start, pos_ - start)};
    }
    if (IsSpecial(c)) {
      ++pos_;
      return Token{TokenKind::kSpecial, text_.substr(start, 1)};
    }
    while (pos_ < text_.size()) {
      const char d = text_[pos_];
      if (IsWhite(d) || IsSpecial(d) || d == '(' || d == '"') break;
      ++pos_;
    }
    return Token{TokenKind::kAtom, text_.substr(start, pos_ - start)};
  }
}

void AppendUnquoted(std::string_view quoted, std::string* out) {
  size_t i = (!quoted.empty() && quoted[0] == '"') ? 1 : 0;
  for (; i < quoted.size(); ++i) {
    const char c = quoted[i];
    if (c == '"') break;  // the closing quote
    if (c == '\\' && i + 1 < quoted.size()) {
      out->push_back(quoted[++i]);
    } else if (c == '\r' && i + 1 < quoted.size() && quoted[i + 1] == '\n') {
      ++i;  // folding inside a quoted string: the line break is no content
    } else {
      out->push_back(c);
    }
  }
}

}  // namespace Nauvik::MimeParse
