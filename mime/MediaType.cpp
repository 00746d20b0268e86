#include "mime/MediaType.h"

#include <algorithm>
#include <charconv>

#include "mime/Ascii.h"
#include "mime/Tokenizer.h"

namespace Nauvik::MimeParse {

namespace {

// One "name*N*=value" piece before continuations are joined.
struct Section {
  std::string name;  // lower-cased base name
  unsigned index = 0;
  bool numbered = false;
  bool extended = false;  // value is charset'lang'%XX (first) or %XX text
  std::string value;
};

void AppendPercentDecoded(std::string_view in, std::string* out) {
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] == '%' && i + 2 < in.size() && HexValue(in[i + 1]) >= 0 && HexValue(in[i + 2]) >= 0) {
      out->push_back(static_cast<char>(HexValue(in[i + 1]) * 16 + HexValue(in[i + 2])));
      i += 2;
    } else {
      out->push_back(in[i]);
    }
  }
}

// Splits "name*2*" into base name, index and the extended marker.
void SplitParameterName(std::string_view raw, Section* s) {
  std::string_view name = raw;
  if (!name.empty() && name.back() == '*') {
    s->extended = true;
    name.remove_suffix(1);
  }
  const size_t star = name.find('*');
  if (star != std::string_view::npos) {
    std::string_view digits = name.substr(star + 1);
    unsigned index = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), index);
    if (ec == std::errc() && end == digits.data() + digits.size() && !digits.empty()) {
      s->numbered = true;
      s->index = index;
      name = name.substr(0, star);
    }
  }
  s->name = LowerAscii(name);
}

}  // namespace

const MediaParameter* MediaType::Find(std::string_view name) const {
  for (const MediaParameter& p : parameters) {
    if (EqualsIgnoreCase(p.name, name)) return &p;
  }
  return nullptr;
}

Status ParseMediaType(std::string_view body, MediaType* out) {
  *out = MediaType();
  Status status = Status::Ok();
  Tokenizer tok(body, kMimeSpecials);

  Token t = tok.Next();
  if (t.kind == TokenKind::kAtom) {
    out->type = t.text;
    t = tok.Next();
    if (t.Is('/')) {
      out->has_slash = true;
      t = tok.Next();
      if (t.kind == TokenKind::kAtom) {
        out->subtype = t.text;
        t = tok.Next();
      }
    }
  }

  std::vector<Section> sections;
  // Parameters: skip to each ";" and read "name = value".
  while (t.kind != TokenKind::kEnd) {
    if (!t.Is(';')) {
      if (status.ok()) status = Status::Error("unexpected text in media type");
      t = tok.Next();
      continue;
    }
    t = tok.Next();
    if (t.kind != TokenKind::kAtom) continue;  // ";;" or a trailing ";"
    Section s;
    SplitParameterName(t.text, &s);
    t = tok.Next();
    if (!t.Is('=')) {
      if (status.ok()) status = Status::Error("parameter without value");
      continue;
    }
    t = tok.Next();
    if (t.kind == TokenKind::kQuotedString) {
      AppendUnquoted(t.text, &s.value);
    } else if (t.kind == TokenKind::kAtom) {
      s.value.assign(t.text);
    } else {
      if (status.ok()) status = Status::Error("parameter without value");
      continue;
    }
    t = tok.Next();
    if (s.numbered && s.index >= MediaType::kMaxSections) continue;
    if (sections.size() >= MediaType::kMaxParameters * 4) continue;
    sections.push_back(std::move(s));
  }

  // Join continuations: the pieces of one name in index order. When a name
  // has both a plain value and RFC 2231 pieces, the RFC 2231 value wins,
  // because senders add it for the readers that understand it.
  std::vector<const Section*> pieces;
  for (size_t i = 0; i < sections.size(); ++i) {
    const std::string& name = sections[i].name;
    if (name.empty()) continue;
    bool seen = false;
    for (size_t j = 0; j < i && !seen; ++j) seen = sections[j].name == name;
    if (seen) continue;
    if (out->parameters.size() >= MediaType::kMaxParameters) break;

    const Section* plain = nullptr;
    pieces.clear();
    for (size_t j = i; j < sections.size(); ++j) {
      const Section& s = sections[j];
      if (s.name != name) continue;
      if (s.numbered || s.extended) {
        pieces.push_back(&s);
      } else if (!plain) {
        plain = &s;
      }
    }
    MediaParameter param{name, {}, {}, {}};
    if (pieces.empty()) {
      param.value = plain->value;
    } else {
      std::stable_sort(pieces.begin(), pieces.end(),
                       [](const Section* a, const Section* b) { return a->index < b->index; });
      for (size_t k = 0; k < pieces.size(); ++k) {
        const Section& s = *pieces[k];
        if (k > 0 && s.index == pieces[k - 1]->index) continue;  // a repeated piece
        std::string_view value = s.value;
        if (s.extended && k == 0) {
          // The first extended piece carries charset'language'text.
          const size_t q1 = value.find('\'');
          const size_t q2 = q1 == std::string_view::npos ? q1 : value.find('\'', q1 + 1);
          if (q2 != std::string_view::npos) {
            param.charset.assign(value.substr(0, q1));
            param.language.assign(value.substr(q1 + 1, q2 - q1 - 1));
            value = value.substr(q2 + 1);
          }
        }
        if (s.extended) {
          AppendPercentDecoded(value, &param.value);
        } else {
          param.value.append(value);
        }
      }
    }
    out->parameters.push_back(std::move(param));
  }
  return status;
}

}  // namespace Nauvik::MimeParse
