#include "mime/Address.h"

#include "mime/Ascii.h"
#include "mime/Tokenizer.h"

namespace Nauvik::MimeParse {

namespace {

void AppendWord(const Token& t, std::string* out) {
  if (t.kind == TokenKind::kQuotedString) {
    AppendUnquoted(t.text, out);
  } else {
    out->append(t.text);
  }
}

bool IsWord(const Token& t) {
  return t.kind == TokenKind::kAtom || t.kind == TokenKind::kQuotedString;
}

class AddressParser {
 public:
  explicit AddressParser(std::string_view body) : tok_(body, kAddressSpecials) {}

  // Reads one list element (mailbox or group) up to and excluding the comma
  // that ends it. False when the element could not be read; the tokenizer is
  // then positioned after the next top-level comma (or at the end).
  bool ReadEntry(AddressEntry* entry, size_t budget, bool in_group = false) {
    // Collect a phrase: words and dots, until "<", ":", "@", "," or the end.
    std::string phrase;
    std::string local;  // the same words without spaces, in case they are a bare address
    size_t words = 0;
    Token t = tok_.Peek();
    while (IsWord(t) || t.Is('.')) {
      tok_.Next();
      if (t.Is('.')) {
        phrase.push_back('.');
        local.push_back('.');
      } else {
        if (!phrase.empty() && phrase.back() != '.') phrase.push_back(' ');
        AppendWord(t, &phrase);
        local.append(t.text);  // a quoted local part keeps its quotes
        ++words;
      }
      t = tok_.Peek();
    }

    if (t.Is(':') && !in_group) {  // a group
      tok_.Next();
      entry->is_group = true;
      entry->group_name = phrase;
      for (;;) {
        t = tok_.Peek();
        if (t.kind == TokenKind::kEnd) return true;  // missing ";" is tolerated
        if (t.Is(';')) {
          tok_.Next();
          return true;
        }
        if (t.Is(',')) {
          tok_.Next();
          continue;
        }
        if (entry->mailboxes.size() >= budget) return SkipToComma();
        Mailbox m;
        if (!ReadMailboxAfterPhrase(&m)) return SkipToComma();
        entry->mailboxes.push_back(std::move(m));
      }
    }
    Mailbox m;
    if (t.Is('<')) {
      m.display_name = phrase;
      if (!ReadAngleAddress(&m)) return SkipToComma();
    } else if (t.Is('@') && words > 0) {
      tok_.Next();
      m.local_part = local;
      if (!ReadDomain(&m.domain)) return SkipToComma();
    } else if ((t.kind == TokenKind::kEnd || t.Is(',') || t.Is(';')) && words == 1) {
      m.local_part = local;  // a bare local part
    } else {
      return SkipToComma();
    }
    t = tok_.Peek();
    if (!(t.kind == TokenKind::kEnd || t.Is(',') || (in_group && t.Is(';')))) {
      return SkipToComma();
    }
    entry->mailboxes.push_back(std::move(m));
    return true;
  }

  bool AtEnd() { return tok_.Peek().kind == TokenKind::kEnd; }
  bool SkipComma() {
    if (tok_.Peek().Is(',')) {
      tok_.Next();
      return true;
    }
    return false;
  }

 private:
  // A mailbox inside a group: the same forms, without nested groups.
  bool ReadMailboxAfterPhrase(Mailbox* m) {
    AddressEntry inner;
    if (!ReadEntry(&inner, 0, true) || inner.mailboxes.size() != 1) return false;
    *m = std::move(inner.mailboxes[0]);
    return true;
  }

  bool ReadAngleAddress(Mailbox* m) {
    tok_.Next();  // "<"
    Token t = tok_.Peek();
    if (t.Is('@')) {  // obsolete route "@a,@b:" is skipped
      while (t.kind != TokenKind::kEnd && !t.Is(':') && !t.Is('>')) {
        tok_.Next();
        t = tok_.Peek();
      }
      if (t.Is(':')) tok_.Next();
    }
    t = tok_.Peek();
    if (t.Is('>')) {  // "<>", the null return path
      tok_.Next();
      return true;
    }
    while (IsWord(t) || t.Is('.')) {
      tok_.Next();
      m->local_part.append(t.text);
      t = tok_.Peek();
    }
    if (t.Is('@')) {
      tok_.Next();
      if (!ReadDomain(&m->domain)) return false;
      t = tok_.Peek();
    }
    if (!t.Is('>')) return false;
    tok_.Next();
    return !m->local_part.empty();
  }

  bool ReadDomain(std::string* domain) {
    Token t = tok_.Peek();
    if (t.kind == TokenKind::kDomainLiteral) {
      tok_.Next();
      domain->assign(t.text);
      return true;
    }
    while (t.kind == TokenKind::kAtom || t.Is('.')) {
      tok_.Next();
      domain->append(t.text);
      t = tok_.Peek();
    }
    return !domain->empty();
  }

  // Skips to the next top-level comma (or the end) after a fault. Always
  // returns false, the verdict on the element being skipped.
  bool SkipToComma() {
    for (;;) {
      const Token t = tok_.Peek();
      if (t.kind == TokenKind::kEnd || t.Is(',')) return false;
      tok_.Next();
    }
  }

  Tokenizer tok_;
};

}  // namespace

std::vector<const Mailbox*> AddressList::AllMailboxes() const {
  std::vector<const Mailbox*> all;
  for (const AddressEntry& e : entries) {
    for (const Mailbox& m : e.mailboxes) all.push_back(&m);
  }
  return all;
}

Status ParseAddressList(std::string_view body, AddressList* out) {
  *out = AddressList();
  AddressParser parser(body);
  size_t mailboxes = 0;
  while (!parser.AtEnd()) {
    if (parser.SkipComma()) continue;  // empty elements (",,") are allowed
    if (mailboxes >= AddressList::kMaxMailboxes) {
      ++out->skipped;
      break;
    }
    AddressEntry entry;
    if (parser.ReadEntry(&entry, AddressList::kMaxMailboxes - mailboxes)) {
      mailboxes += entry.mailboxes.size() + (entry.mailboxes.empty() ? 1 : 0);
      out->entries.push_back(std::move(entry));
    } else {
      ++out->skipped;
    }
  }
  return out->skipped == 0 ? Status::Ok() : Status::Error("unreadable address skipped");
}

Status ParseMailbox(std::string_view body, Mailbox* out) {
  AddressList list;
  Status s = ParseAddressList(body, &list);
  if (!s.ok()) return s;
  if (list.entries.size() != 1 || list.entries[0].is_group ||
      list.entries[0].mailboxes.size() != 1) {
    return Status::Error("not exactly one mailbox");
  }
  *out = std::move(list.entries[0].mailboxes[0]);
  return Status::Ok();
}

}  // namespace Nauvik::MimeParse
