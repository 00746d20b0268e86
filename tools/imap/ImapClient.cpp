#include "tools/imap/ImapClient.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <optional>
#include <string_view>

namespace Nauvik::Import {
namespace {

std::string Upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && Upper(s.substr(0, prefix.size())) == Upper(prefix);
}

std::string Base64(std::string_view in) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < in.size(); i += 3) {
    uint32_t v = static_cast<unsigned char>(in[i]) << 16;
    if (i + 1 < in.size()) v |= static_cast<unsigned char>(in[i + 1]) << 8;
    if (i + 2 < in.size()) v |= static_cast<unsigned char>(in[i + 2]);
    out.push_back(kAlphabet[(v >> 18) & 63]);
    out.push_back(kAlphabet[(v >> 12) & 63]);
    out.push_back(i + 1 < in.size() ? kAlphabet[(v >> 6) & 63] : '=');
    out.push_back(i + 2 < in.size() ? kAlphabet[v & 63] : '=');
  }
  return out;
}

// A quoted IMAP string, or nullopt when the text cannot be quoted (CR, LF,
// NUL or 8-bit bytes need a literal).
std::optional<std::string> Quoted(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u == 0 || u == '\r' || u == '\n' || u >= 0x80) return std::nullopt;
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  return out + "\"";
}

int PercentValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool PercentDecode(std::string_view in, std::string* out) {
  out->clear();
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '%') {
      out->push_back(in[i]);
      continue;
    }
    if (i + 2 >= in.size()) return false;
    const int hi = PercentValue(in[i + 1]);
    const int lo = PercentValue(in[i + 2]);
    if (hi < 0 || lo < 0) return false;
    out->push_back(static_cast<char>(hi * 16 + lo));
    i += 2;
  }
  return true;
}

// One value of a server response: atom, string (quoted or literal), NIL or a
// parenthesised list.
struct Value {
  enum class Kind { kAtom, kString, kNil, kList } kind = Kind::kNil;
  std::string text;
  std::vector<Value> list;
};

// Reads values from a response's text; a literal's "{n}" marker takes the
// next of the response's literals, in order.
class ValueParser {
 public:
  ValueParser(std::string_view text, std::vector<std::string>* literals)
      : text_(text), literals_(literals) {}

  bool Next(Value* v) {
    SkipSpaces();
    if (pos_ >= text_.size()) return false;
    const char c = text_[pos_];
    if (c == '(') {
      ++pos_;
      v->kind = Value::Kind::kList;
      v->list.clear();
      while (true) {
        SkipSpaces();
        if (pos_ >= text_.size()) return false;
        if (text_[pos_] == ')') {
          ++pos_;
          return true;
        }
        Value item;
        if (!Next(&item)) return false;
        v->list.push_back(std::move(item));
      }
    }
    if (c == ')') return false;
    if (c == '"') {
      ++pos_;
      v->kind = Value::Kind::kString;
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
      v->kind = Value::Kind::kString;
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
      } else if (brackets == 0 && (a == ' ' || a == '(' || a == ')')) {
        break;  // "BODY[HEADER.FIELDS (A B)]" keeps its spaces and parentheses
      }
      ++pos_;
    }
    v->text.assign(text_.substr(start, pos_ - start));
    v->kind = Upper(v->text) == "NIL" ? Value::Kind::kNil : Value::Kind::kAtom;
    return pos_ > start;
  }

  std::string_view Rest() {
    SkipSpaces();
    return text_.substr(pos_);
  }

 private:
  void SkipSpaces() {
    while (pos_ < text_.size() && text_[pos_] == ' ') ++pos_;
  }
  std::string_view text_;
  std::vector<std::string>* literals_;
  size_t pos_ = 0;
  size_t next_literal_ = 0;
};

// "[CODE args] text" at the start of a status response's text.
std::string ResponseCode(std::string_view text, std::string* args) {
  args->clear();
  if (text.empty() || text[0] != '[') return "";
  const size_t close = text.find(']');
  if (close == std::string_view::npos) return "";
  std::string_view inner = text.substr(1, close - 1);
  const size_t space = inner.find(' ');
  if (space != std::string_view::npos) args->assign(inner.substr(space + 1));
  return Upper(inner.substr(0, space));
}

int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

}  // namespace

// The tagged end of a command.
struct ImapClient::Reply {
  std::string status;  // tagged: OK, NO or BAD
  std::string text;    // tagged: the text after the status
};

std::string ImapUrl::Account() const {
  return std::string(implicit_tls ? "imaps://" : "imap://") + user + "@" + host + ":" +
         std::to_string(port);
}

bool IsImapUrl(const std::string& text) {
  return StartsWithNoCase(text, "imap://") || StartsWithNoCase(text, "imaps://");
}

bool ParseImapUrl(const std::string& text, ImapUrl* url, std::string* error) {
  *url = ImapUrl{};
  std::string_view rest = text;
  if (StartsWithNoCase(rest, "imaps://")) {
    url->implicit_tls = true;
    rest.remove_prefix(8);
  } else if (StartsWithNoCase(rest, "imap://")) {
    rest.remove_prefix(7);
  } else {
    *error = text + ": not an imap:// or imaps:// URL";
    return false;
  }
  const size_t slash = rest.find('/');
  std::string_view authority = rest.substr(0, slash);
  if (slash != std::string_view::npos) {
    std::string_view path = rest.substr(slash + 1);
    while (!path.empty() && path.back() == '/') path.remove_suffix(1);
    if (!PercentDecode(path, &url->folder)) {
      *error = text + ": bad %-escape in the folder";
      return false;
    }
  }
  const size_t at = authority.rfind('@');
  if (at == std::string_view::npos || at == 0) {
    *error = text + ": the URL needs a user name (imap://USER@HOST)";
    return false;
  }
  if (!PercentDecode(authority.substr(0, at), &url->user)) {
    *error = text + ": bad %-escape in the user name";
    return false;
  }
  std::string_view hostport = authority.substr(at + 1);
  std::string_view port;
  if (!hostport.empty() && hostport[0] == '[') {  // [IPv6]
    const size_t close = hostport.find(']');
    if (close == std::string_view::npos) {
      *error = text + ": unclosed [ in the host";
      return false;
    }
    url->host.assign(hostport.substr(1, close - 1));
    if (close + 1 < hostport.size()) {
      if (hostport[close + 1] != ':') {
        *error = text + ": unexpected text after the host";
        return false;
      }
      port = hostport.substr(close + 2);
    }
  } else {
    const size_t colon = hostport.find(':');
    url->host.assign(hostport.substr(0, colon));
    if (colon != std::string_view::npos) port = hostport.substr(colon + 1);
  }
  if (url->host.empty()) {
    *error = text + ": the URL names no host";
    return false;
  }
  url->port = url->implicit_tls ? 993 : 143;
  if (!port.empty()) {
    int value = 0;
    for (char c : port) {
      if (c < '0' || c > '9' || value > 65535) {
        *error = text + ": bad port";
        return false;
      }
      value = value * 10 + (c - '0');
    }
    if (value < 1 || value > 65535) {
      *error = text + ": bad port";
      return false;
    }
    url->port = value;
  }
  return true;
}

bool ImapClient::Fail(ImapFailure failure, const std::string& text, std::string* error) {
  failure_ = failure;
  *error = text;
  return false;
}

bool ImapClient::Has(const std::string& capability) const {
  return std::find(capabilities_.begin(), capabilities_.end(), capability) != capabilities_.end();
}

// Reads one whole response: its text with "{n}" where each literal was, and
// the literals' bytes in order. "{n}" at the end of a line announces n bytes of
// literal, after which the response goes on with the next line.
static bool ReadResponse(ImapConnection* c, std::string* text, std::vector<std::string>* literals,
                         std::string* error) {
  text->clear();
  literals->clear();
  std::string line;
  while (true) {
    if (!c->ReadLine(&line, error)) return false;
    text->append(line);
    if (line.empty() || line.back() != '}') return true;
    const size_t open = line.rfind('{');
    if (open == std::string::npos) return true;
    std::string digits = line.substr(open + 1, line.size() - open - 2);
    if (!digits.empty() && digits.back() == '+') digits.pop_back();
    if (digits.empty() || digits.size() > 12 ||
        !std::all_of(digits.begin(), digits.end(), ::isdigit)) {
      return true;
    }
    literals->emplace_back();
    if (!c->ReadExact(std::stoull(digits), &literals->back(), error)) return false;
  }
}

bool ImapClient::Command(
    const std::string& command, Reply* reply, std::string* error,
    const std::function<bool(const std::string& line, std::string* error)>& untagged) {
  const std::string tag = "m" + std::to_string(next_tag_++);
  if (!connection_.WriteAll(tag + " " + command + "\r\n", error)) {
    return Fail(connection_.failure(), *error, error);
  }
  std::string text;
  std::vector<std::string> literals;
  while (true) {
    if (!ReadResponse(&connection_, &text, &literals, error)) {
      return Fail(connection_.failure(), *error, error);
    }
    if (text.starts_with("* ")) {
      std::string_view rest = std::string_view(text).substr(2);
      if (StartsWithNoCase(rest, "BYE")) {
        connection_.Close();
        return Fail(ImapFailure::kNetwork, "the server ended the session: " + std::string(rest),
                    error);
      }
      if (StartsWithNoCase(rest, "CAPABILITY ")) {
        capabilities_.clear();
        ValueParser p(rest.substr(11), &literals);
        Value v;
        while (p.Next(&v)) capabilities_.push_back(Upper(v.text));
        continue;
      }
      if (untagged) {
        // Literals are handed over through a parser that the handler builds
        // again from the stored text; keep them reachable.
        pending_literals_ = std::move(literals);
        if (!untagged(text, error)) return Fail(ImapFailure::kProtocol, *error, error);
      }
      continue;
    }
    if (text.starts_with("+")) {
      // Nothing we send waits for a continuation: the server wants more than
      // we have to give.
      connection_.WriteAll("*\r\n", error);
      continue;
    }
    if (text.starts_with(tag + " ")) {
      std::string_view rest = std::string_view(text).substr(tag.size() + 1);
      const size_t space = rest.find(' ');
      reply->status = Upper(rest.substr(0, space));
      reply->text = space == std::string_view::npos ? "" : std::string(rest.substr(space + 1));
      return true;
    }
    return Fail(ImapFailure::kProtocol, "unexpected server response: " + text.substr(0, 200),
                error);
  }
}

bool ImapClient::ReadGreeting(std::string* error) {
  std::string text;
  std::vector<std::string> literals;
  if (!ReadResponse(&connection_, &text, &literals, error)) {
    return Fail(connection_.failure(), "no greeting from the server: " + *error, error);
  }
  if (!StartsWithNoCase(text, "* OK") && !StartsWithNoCase(text, "* PREAUTH")) {
    return Fail(ImapFailure::kProtocol, "the server refused the session: " + text, error);
  }
  std::string args;
  if (ResponseCode(std::string_view(text).substr(text.find(' ', 2) + 1), &args) == "CAPABILITY") {
    capabilities_.clear();
    ValueParser p(args, &literals);
    Value v;
    while (p.Next(&v)) capabilities_.push_back(Upper(v.text));
  }
  return true;
}

bool ImapClient::Capabilities(std::string* error) {
  Reply reply;
  if (!Command("CAPABILITY", &reply, error)) return false;
  if (reply.status != "OK") {
    return Fail(ImapFailure::kProtocol, "CAPABILITY refused: " + reply.text, error);
  }
  return true;
}

bool ImapClient::Authenticate(const ImapUrl& url, const ImapLogin& login, std::string* error) {
  const bool plain =
      login.auth == "plain" || (login.auth == "auto" && Has("AUTH=PLAIN") && Has("SASL-IR"));
  Reply reply;
  if (plain) {
    const std::string response = Base64(std::string(1, '\0') + url.user + '\0' + login.password);
    if (!Command("AUTHENTICATE PLAIN " + response, &reply, error)) return false;
  } else {
    if (Has("LOGINDISABLED")) {
      return Fail(ImapFailure::kAuth, "the server does not allow LOGIN on this connection", error);
    }
    auto user = Quoted(url.user);
    auto password = Quoted(login.password);
    if (!user || !password) {
      return Fail(ImapFailure::kAuth,
                  "user name or password has bytes LOGIN cannot carry; use --imap-auth plain",
                  error);
    }
    if (!Command("LOGIN " + *user + " " + *password, &reply, error)) return false;
  }
  if (reply.status != "OK") {
    return Fail(ImapFailure::kAuth,
                "the server refused the login of " + url.user + " (" +
                    (plain ? "AUTHENTICATE PLAIN" : "LOGIN") + "): " + reply.text,
                error);
  }
  return true;
}

bool ImapClient::Open(const ImapUrl& url, const ImapLogin& login, std::string* error) {
  failure_ = ImapFailure::kNone;
  capabilities_.clear();
  host_ = url.host;
  if (!connection_.Connect(url.host, url.port, login.timeout_seconds, error)) {
    return Fail(connection_.failure(), *error, error);
  }
  if (url.implicit_tls && !connection_.StartTls(url.host, login.tls, error)) {
    return Fail(connection_.failure(), *error, error);
  }
  if (!ReadGreeting(error)) return false;
  if (capabilities_.empty() && !Capabilities(error)) return false;
  if (!url.implicit_tls) {
    if (Has("STARTTLS")) {
      Reply reply;
      if (!Command("STARTTLS", &reply, error)) return false;
      if (reply.status != "OK") {
        return Fail(ImapFailure::kTls, "the server refused STARTTLS: " + reply.text, error);
      }
      if (!connection_.StartTls(url.host, login.tls, error)) {
        return Fail(connection_.failure(), *error, error);
      }
      capabilities_.clear();  // what was said before TLS cannot be trusted
      if (!Capabilities(error)) return false;
    } else if (!login.allow_plain) {
      return Fail(ImapFailure::kNoStartTls,
                  url.host + ":" + std::to_string(url.port) +
                      " offers no STARTTLS: refusing to send the password unencrypted (use "
                      "imaps://, or --imap-plain on loopback or a trusted network)",
                  error);
    }
  }
  return Authenticate(url, login, error);
}

void ImapClient::Logout() {
  Reply reply;
  std::string error;
  if (connection_.failure() == ImapFailure::kNone) Command("LOGOUT", &reply, &error);
  connection_.Close();
}

bool ImapClient::List(std::vector<ImapFolder>* out, std::string* error) {
  out->clear();
  Reply reply;
  auto each = [&](const std::string& text, std::string* err) {
    std::string_view rest = std::string_view(text).substr(2);
    if (!StartsWithNoCase(rest, "LIST ")) return true;
    ValueParser p(rest.substr(5), &pending_literals_);
    Value flags, delimiter, name;
    if (!p.Next(&flags) || !p.Next(&delimiter) || !p.Next(&name) ||
        flags.kind != Value::Kind::kList) {
      *err = "unreadable LIST response: " + text.substr(0, 200);
      return false;
    }
    ImapFolder f;
    f.name = name.text;
    f.delimiter =
        delimiter.kind == Value::Kind::kNil || delimiter.text.empty() ? 0 : delimiter.text[0];
    for (const Value& flag : flags.list) {
      const std::string u = Upper(flag.text);
      if (u == "\\NOSELECT" || u == "\\NONEXISTENT") f.noselect = true;
    }
    out->push_back(std::move(f));
    return true;
  };
  if (!Command("LIST \"\" \"*\"", &reply, error, each)) return false;
  if (reply.status != "OK") {
    return Fail(ImapFailure::kProtocol, "LIST refused: " + reply.text, error);
  }
  return true;
}

bool ImapClient::Examine(const std::string& folder, ImapMailbox* out, std::string* error) {
  *out = ImapMailbox{};
  auto name = Quoted(folder);
  if (!name) return Fail(ImapFailure::kProtocol, "folder name not quotable: " + folder, error);
  Reply reply;
  auto each = [&](const std::string& text, std::string*) {
    std::string_view rest = std::string_view(text).substr(2);
    std::string args;
    if (StartsWithNoCase(rest, "OK ")) {
      const std::string code = ResponseCode(rest.substr(3), &args);
      if (code == "UIDVALIDITY") out->uidvalidity = static_cast<uint32_t>(std::stoul(args));
      if (code == "UIDNEXT") out->uidnext = static_cast<uint32_t>(std::stoul(args));
    } else if (!rest.empty() && std::isdigit(static_cast<unsigned char>(rest[0]))) {
      const size_t space = rest.find(' ');
      if (space != std::string_view::npos && Upper(rest.substr(space + 1)) == "EXISTS") {
        out->exists = static_cast<uint32_t>(std::stoul(std::string(rest.substr(0, space))));
      }
    }
    return true;
  };
  if (!Command("EXAMINE " + *name, &reply, error, each)) return false;
  if (reply.status != "OK") {
    return Fail(ImapFailure::kProtocol, "cannot open folder " + folder + ": " + reply.text, error);
  }
  return true;
}

bool ImapClient::Fetch(const std::string& uids, bool bodies,
                       const std::function<void(ImapMessage&&)>& each, std::string* error) {
  Reply reply;
  auto handle = [&](const std::string& text, std::string* err) {
    std::string_view rest = std::string_view(text).substr(2);
    const size_t space = rest.find(' ');
    if (space == std::string_view::npos || !StartsWithNoCase(rest.substr(space + 1), "FETCH "))
      return true;
    ValueParser p(rest.substr(space + 7), &pending_literals_);
    Value items;
    if (!p.Next(&items) || items.kind != Value::Kind::kList) {
      *err = "unreadable FETCH response: " + text.substr(0, 200);
      return false;
    }
    ImapMessage m;
    bool has_body = false;
    for (size_t i = 0; i + 1 < items.list.size(); i += 2) {
      const std::string key = Upper(items.list[i].text);
      Value& v = items.list[i + 1];
      if (key == "UID") {
        m.uid = static_cast<uint32_t>(std::stoul(v.text));
      } else if (key == "FLAGS") {
        for (Value& f : v.list) m.flags.push_back(std::move(f.text));
      } else if (key == "INTERNALDATE") {
        m.internal_date = v.text;
      } else if (key == "RFC822.SIZE") {
        m.size = std::stoull(v.text);
      } else if (key == "BODY[]") {
        has_body = v.kind == Value::Kind::kString;
        m.body = std::move(v.text);
      }
    }
    // A FETCH without UID is an unsolicited flag update of another session.
    if (m.uid != 0 && (!bodies || has_body)) each(std::move(m));
    return true;
  };
  const std::string items = bodies ? "(UID FLAGS INTERNALDATE RFC822.SIZE BODY.PEEK[])"
                                   : "(UID FLAGS INTERNALDATE RFC822.SIZE)";
  if (!Command("UID FETCH " + uids + " " + items, &reply, error, handle)) return false;
  if (reply.status != "OK") {
    return Fail(ImapFailure::kProtocol, "UID FETCH refused: " + reply.text, error);
  }
  return true;
}

std::string ImapClient::UidSet(const std::vector<uint32_t>& uids) {
  std::string out;
  for (size_t i = 0; i < uids.size();) {
    size_t j = i;
    while (j + 1 < uids.size() && uids[j + 1] == uids[j] + 1) ++j;
    if (!out.empty()) out += ',';
    out += std::to_string(uids[i]);
    if (j > i) out += ':' + std::to_string(uids[j]);
    i = j + 1;
  }
  return out;
}

bool ImapClient::ParseInternalDate(const std::string& text, int64_t* seconds) {
  static constexpr const char* kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                            "jul", "aug", "sep", "oct", "nov", "dec"};
  int day = 0, year = 0, hour = 0, minute = 0, second = 0, zone = 0;
  char month[4] = {};
  char sign = 0;
  if (sscanf(text.c_str(), "%d-%3c-%d %d:%d:%d %c%4d", &day, month, &year, &hour, &minute, &second,
             &sign, &zone) != 8 ||
      (sign != '+' && sign != '-')) {
    return false;
  }
  int m = -1;
  for (int i = 0; i < 12; ++i) {
    if (Upper(month) == Upper(kMonths[i])) m = i + 1;
  }
  if (m < 0 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) return false;
  const int offset = (zone / 100 * 60 + zone % 100) * 60 * (sign == '-' ? -1 : 1);
  *seconds = DaysFromCivil(year, static_cast<unsigned>(m), static_cast<unsigned>(day)) * 86400 +
             hour * 3600 + minute * 60 + second - offset;
  return true;
}

}  // namespace Nauvik::Import
