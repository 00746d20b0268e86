#include "tools/imap/ImapResponse.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "tools/MailText.h"

namespace Nauvik::Import {

std::string ImapUpper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

bool ParseImapNumber(std::string_view text, uint64_t* value) {
  if (text.empty() || text.size() > 20) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return ec == std::errc() && end == text.data() + text.size();
}

bool ParseImapNumber(std::string_view text, uint32_t* value) {
  uint64_t v = 0;
  if (!ParseImapNumber(text, &v) || v > UINT32_MAX) return false;
  *value = static_cast<uint32_t>(v);
  return true;
}

std::string ImapPrintable(std::string_view text, size_t limit) {
  std::string out;
  for (size_t i = 0; i < text.size() && out.size() < limit;) {
    const auto u = static_cast<unsigned char>(text[i]);
    if (u < 0x80) {
      out.push_back(u < 0x20 || u == 0x7f ? '?' : static_cast<char>(u));
      ++i;
      continue;
    }
    // Only whole UTF-8 sequences outside the C1 controls pass: a terminal
    // may take a stray 0x9b for the start of an escape sequence.
    const size_t n = u >= 0xf0 && u < 0xf5 ? 4 : u >= 0xe0 ? 3 : u >= 0xc2 && u < 0xe0 ? 2 : 0;
    bool ok = n > 0 && i + n <= text.size() && u < 0xf5;
    for (size_t k = 1; ok && k < n; ++k) ok = (static_cast<unsigned char>(text[i + k]) & 0xc0) == 0x80;
    if (ok && u == 0xc2 && static_cast<unsigned char>(text[i + 1]) < 0xa0) ok = false;
    if (!ok) {
      out.push_back('?');
      ++i;
      continue;
    }
    out.append(text.substr(i, n));
    i += n;
  }
  return out;
}

bool ReadImapResponse(ImapConnection* c, uint64_t max_literal, ImapResponse* r,
                      std::string* error) {
  r->text.clear();
  r->literals.clear();
  std::string line;
  while (true) {
    if (!c->ReadLine(&line, error)) return false;
    if (r->text.size() + line.size() > ImapConnection::kMaxLine) {
      *error = "the server sent a response longer than " +
               std::to_string(ImapConnection::kMaxLine) + " bytes outside its literals";
      return false;
    }
    r->text.append(line);
    // A literal is "{n}" right before the line end; its bytes follow, and
    // the response goes on with the next line.
    if (line.empty() || line.back() != '}') return true;
    const size_t open = line.rfind('{');
    if (open == std::string::npos) return true;
    std::string_view digits = std::string_view(line).substr(open + 1, line.size() - open - 2);
    if (!digits.empty() && digits.back() == '+') digits.remove_suffix(1);
    uint64_t size = 0;
    if (!ParseImapNumber(digits, &size)) return true;
    if (size > max_literal) {
      *error = "the server announced a literal of " + std::to_string(size) +
               " bytes where at most " + std::to_string(max_literal) + " were expected";
      return false;
    }
    if (r->literals.size() >= 1000) {
      *error = "the server sent more than 1000 literals in one response";
      return false;
    }
    r->literals.emplace_back();
    if (!c->ReadExact(size, &r->literals.back(), error)) return false;
  }
}

void ImapValueParser::SkipSpaces() {
  while (pos_ < text_.size() && text_[pos_] == ' ') ++pos_;
}

std::string_view ImapValueParser::Rest() {
  SkipSpaces();
  return text_.substr(pos_);
}

bool ImapValueParser::Parse(ImapValue* v, int depth) {
  SkipSpaces();
  if (pos_ >= text_.size()) return false;
  const char c = text_[pos_];
  if (c == '(') {
    if (depth >= kMaxDepth) return false;
    ++pos_;
    v->kind = ImapValue::Kind::kList;
    v->list.clear();
    while (true) {
      SkipSpaces();
      if (pos_ >= text_.size()) return false;
      if (text_[pos_] == ')') {
        ++pos_;
        return true;
      }
      ImapValue item;
      if (!Parse(&item, depth + 1)) return false;
      v->list.push_back(std::move(item));
    }
  }
  if (c == ')') return false;
  if (c == '"') {
    ++pos_;
    v->kind = ImapValue::Kind::kString;
    v->text.clear();
    while (pos_ < text_.size() && text_[pos_] != '"') {
      if (text_[pos_] == '\\' && pos_ + 1 < text_.size()) ++pos_;
      v->text.push_back(text_[pos_++]);
    }
    if (pos_ >= text_.size()) return false;
    ++pos_;
    return true;
  }
  if (c == '{') {
    const size_t close = text_.find('}', pos_);
    if (close == std::string_view::npos || next_literal_ >= literals_->size()) return false;
    pos_ = close + 1;
    v->kind = ImapValue::Kind::kString;
    v->text = std::move((*literals_)[next_literal_++]);
    return true;
  }
  const size_t start = pos_;
  int brackets = 0;
  while (pos_ < text_.size()) {
    const char a = text_[pos_];
    if (a == '[') {
      ++brackets;
    } else if (a == ']') {
      --brackets;
    } else if (brackets <= 0 && (a == ' ' || a == '(' || a == ')')) {
      break;  // "BODY[HEADER.FIELDS (A B)]" keeps its spaces and parentheses
    }
    ++pos_;
  }
  v->text.assign(text_.substr(start, pos_ - start));
  v->kind = EqualsIgnoreCase(v->text, "NIL") ? ImapValue::Kind::kNil : ImapValue::Kind::kAtom;
  return pos_ > start;
}

std::string ImapResponseCode(std::string_view text, std::string* args) {
  args->clear();
  if (text.empty() || text[0] != '[') return "";
  const size_t close = text.find(']');
  if (close == std::string_view::npos) return "";
  std::string_view inner = text.substr(1, close - 1);
  const size_t space = inner.find(' ');
  if (space != std::string_view::npos) args->assign(inner.substr(space + 1));
  return ImapUpper(inner.substr(0, space));
}

}  // namespace Nauvik::Import
