#pragma once

// Lexical tokens of structured header bodies (RFC 822 / RFC 5322 and the MIME
// variant of RFC 2045). White space and line folding between tokens are
// skipped. Tokens are views into the input; an unterminated quoted string,
// comment or domain literal runs to the end of the input instead of failing,
// because real mail is full of them.

#include <string>
#include <string_view>

namespace Nauvik::MimeParse {

enum class TokenKind {
  kEnd,            // no more input
  kAtom,           // a run of characters that are neither specials, white space nor controls
  kQuotedString,   // "..." with its quotes; Unquote() gives the content
  kComment,        // (...) with nested comments, only when comments are kept
  kDomainLiteral,  // [...] with its brackets
  kSpecial,        // one special character
};

struct Token {
  TokenKind kind = TokenKind::kEnd;
  std::string_view text;
  bool Is(char special) const {
    return kind == TokenKind::kSpecial && text.size() == 1 && text[0] == special;
  }
};

// The specials of addresses and dates (RFC 5322) and of MIME parameters
// (RFC 2045 tspecials, which add "/", "?" and "=" and drop ".").
inline constexpr std::string_view kAddressSpecials = "()<>[]:;@\\,.\"";
inline constexpr std::string_view kMimeSpecials = "()<>@,;:\\\"/[]?=";

class Tokenizer {
 public:
  // `specials` must outlive the tokenizer; comments are skipped unless
  // `keep_comments`. A "[" starts a domain literal only in address mode
  // (when "." is a special).
  Tokenizer(std::string_view text, std::string_view specials, bool keep_comments = false);

  Token Next();
  Token Peek();
  // Offset of the next unread byte.
  size_t position() const { return pos_; }
  std::string_view rest() const { return text_.substr(pos_); }

 private:
  bool IsSpecial(char c) const;
  size_t SkipDelimited(size_t pos, char close, bool nest) const;

  std::string_view text_;
  std::string_view specials_;
  bool keep_comments_;
  bool domain_literals_;
  size_t pos_ = 0;
};

// The content of a quoted string token (quotes removed, backslash escapes
// resolved, folding CRLFs removed), appended to *out.
void AppendUnquoted(std::string_view quoted, std::string* out);

}  // namespace Nauvik::MimeParse
