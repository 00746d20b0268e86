#include "tools/imap/ImapClient.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string_view>

#include "tools/MailText.h"

namespace Nauvik::Import {
namespace {

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string Base64(std::string_view in) {
  std::string out;
  for (size_t i = 0; i < in.size(); i += 3) {
    uint32_t v = static_cast<unsigned char>(in[i]) << 16;
    if (i + 1 < in.size()) v |= static_cast<unsigned char>(in[i + 1]) << 8;
    if (i + 2 < in.size()) v |= static_cast<unsigned char>(in[i + 2]);
    out.push_back(kBase64Alphabet[(v >> 18) & 63]);
    out.push_back(kBase64Alphabet[(v >> 12) & 63]);
    out.push_back(i + 1 < in.size() ? kBase64Alphabet[(v >> 6) & 63] : '=');
    out.push_back(i + 2 < in.size() ? kBase64Alphabet[v & 63] : '=');
  }
  return out;
}

// False for text that is not base64, or none; the padding may be missing.
bool Base64Decode(std::string_view in, std::string* out) {
  out->clear();
  uint32_t v = 0;
  int bits = 0;
  for (char c : in) {
    if (c == '=') break;
    const char* at = strchr(kBase64Alphabet, c);
    if (c == 0 || at == nullptr) return false;
    const int d = static_cast<int>(at - kBase64Alphabet);
    v = (v << 6) | d;
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out->push_back(static_cast<char>((v >> bits) & 0xff));
    }
  }
  return !out->empty();
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

// `command` followed by `text` as an argument: quoted where it can be, else
// as a literal, which the server must ask for before its bytes follow.
std::vector<std::string> WithArgument(const std::string& command, const std::string& text) {
  if (auto q = Quoted(text)) return {command + " " + *q};
  return {command + " {" + std::to_string(text.size()) + "}", text};
}

}  // namespace

// The tagged end of a command.
struct ImapClient::Reply {
  std::string status;     // tagged: OK, NO or BAD
  std::string text;       // tagged: the text after the status
  std::string challenge;  // the last "+" continuation's text
};

bool ImapClient::Fail(ImapFailure failure, const std::string& text, std::string* error) {
  failure_ = failure;
  *error = text;
  // After anything but a tagged answer the connection is out of step with
  // the server: what is left of a response would be read as the next one.
  if (failure != ImapFailure::kRefused) connection_.Close();
  return false;
}

bool ImapClient::Has(const std::string& capability) const {
  return std::find(capabilities_.begin(), capabilities_.end(), capability) != capabilities_.end();
}

bool ImapClient::Command(const std::vector<std::string>& pieces, Reply* reply, std::string* error,
                         const Untagged& untagged, uint64_t max_literal) {
  const std::string tag = "m" + std::to_string(next_tag_++);
  if (!connection_.WriteAll(tag + " " + pieces[0] + "\r\n", error)) {
    return Fail(connection_.failure(), *error, error);
  }
  size_t next_piece = 1;
  ImapResponse r;
  while (true) {
    if (!ReadImapResponse(&connection_, max_literal, &r, error)) {
      const ImapFailure f = connection_.failure() == ImapFailure::kNone
                                ? ImapFailure::kProtocol
                                : connection_.failure();
      return Fail(f, ImapPrintable(*error), error);
    }
    if (r.text.starts_with("* ")) {
      std::string_view rest = std::string_view(r.text).substr(2);
      if (StartsWithIgnoreCase(rest, "BYE")) {
        return Fail(ImapFailure::kNetwork, "the server ended the session: " + ImapPrintable(rest),
                    error);
      }
      if (StartsWithIgnoreCase(rest, "CAPABILITY ")) {
        capabilities_.clear();
        ImapValueParser p(rest.substr(11), &r.literals);
        ImapValue v;
        while (p.Next(&v)) capabilities_.push_back(ImapUpper(v.text));
        continue;
      }
      if (untagged && !untagged(r, error)) {
        return Fail(ImapFailure::kProtocol, ImapPrintable(*error), error);
      }
      continue;
    }
    if (r.text.starts_with("+")) {
      reply->challenge = r.text.size() > 2 ? r.text.substr(2) : "";
      if (next_piece >= pieces.size()) {
        return Fail(ImapFailure::kProtocol,
                    "the server asks for more than the command has: " + ImapPrintable(r.text),
                    error);
      }
      if (!connection_.WriteAll(pieces[next_piece++] + "\r\n", error)) {
        return Fail(connection_.failure(), *error, error);
      }
      continue;
    }
    if (r.text.starts_with(tag + " ")) {
      std::string_view rest = std::string_view(r.text).substr(tag.size() + 1);
      const size_t space = rest.find(' ');
      reply->status = ImapUpper(rest.substr(0, space));
      reply->text = space == std::string_view::npos ? "" : ImapPrintable(rest.substr(space + 1));
      if (reply->status != "OK" && reply->status != "NO" && reply->status != "BAD") {
        return Fail(ImapFailure::kProtocol, "unreadable tagged answer: " + ImapPrintable(r.text),
                    error);
      }
      return true;
    }
    return Fail(ImapFailure::kProtocol, "unexpected server response: " + ImapPrintable(r.text),
                error);
  }
}

bool ImapClient::ReadGreeting(std::string* error) {
  ImapResponse r;
  if (!ReadImapResponse(&connection_, kMaxOtherLiteral, &r, error)) {
    return Fail(connection_.failure() == ImapFailure::kNone ? ImapFailure::kProtocol
                                                            : connection_.failure(),
                "no greeting from the server: " + ImapPrintable(*error), error);
  }
  preauth_ = StartsWithIgnoreCase(r.text, "* PREAUTH");
  if (!StartsWithIgnoreCase(r.text, "* OK") && !preauth_) {
    return Fail(ImapFailure::kProtocol, "the server refused the session: " + ImapPrintable(r.text),
                error);
  }
  std::string args;
  const size_t space = r.text.find(' ', 2);
  if (space != std::string::npos &&
      ImapResponseCode(std::string_view(r.text).substr(space + 1), &args) == "CAPABILITY") {
    capabilities_.clear();
    ImapValueParser p(args, &r.literals);
    ImapValue v;
    while (p.Next(&v)) capabilities_.push_back(ImapUpper(v.text));
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
  const std::string mechanism =
      login.auth == "auto" ? (Has("AUTH=PLAIN") || !login.admin.empty() ? "PLAIN" : "LOGIN")
                           : ImapUpper(login.auth);
  // Names with control bytes would shift the fields of a SASL message.
  for (const std::string* name : {&url.user, &login.admin}) {
    if (std::any_of(name->begin(), name->end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x20; })) {
      return Fail(ImapFailure::kAuth, "the user name has control bytes a login cannot carry",
                  error);
    }
  }
  const std::string who =
      ImapPrintable(url.user) +
      (login.admin.empty() ? "" : " as administrator " + ImapPrintable(login.admin));
  // PLAIN for the user's own login is tried where it is not announced, as
  // before; every other mechanism must be offered.
  if (mechanism != "LOGIN" && !Has("AUTH=" + mechanism) &&
      !(mechanism == "PLAIN" && login.admin.empty())) {
    return Fail(ImapFailure::kAuth,
                url.host + " does not offer AUTHENTICATE " + mechanism + ", which the login of " +
                    who + " needs",
                error);
  }
  std::string secret = login.password;
  if (!login.token_file.empty() && !ReadImapToken(login.token_file, &secret, error)) {
    return Fail(ImapFailure::kAuth, *error, error);
  }
  Reply reply;
  if (mechanism == "LOGIN") {
    if (Has("LOGINDISABLED")) {
      return Fail(ImapFailure::kAuth, "the server does not allow LOGIN on this connection", error);
    }
    auto user = Quoted(url.user);
    auto password = Quoted(secret);
    if (!user || !password) {
      return Fail(ImapFailure::kAuth,
                  "user name or password has bytes LOGIN cannot carry; use --imap-auth plain",
                  error);
    }
    if (!Command("LOGIN " + *user + " " + *password, &reply, error)) return false;
  } else {
    std::string message;
    // What the client answers to a challenge that explains a refusal, so
    // that the server can send its NO; none for PLAIN, which has no such
    // challenge.
    std::optional<std::string> after_error;
    if (mechanism == "PLAIN") {
      // authorization identity, authentication identity, password
      message = login.admin.empty() ? std::string(1, '\0') + url.user + '\0' + secret
                                    : url.user + '\0' + login.admin + '\0' + secret;
    } else if (mechanism == "OAUTHBEARER") {
      std::string name;  // a GS2 saslname: "," and "=" escaped
      for (char c : url.user) name += c == ',' ? "=2C" : c == '=' ? "=3D" : std::string(1, c);
      message = "n,a=" + name + ",\001auth=Bearer " + secret + "\001\001";
      after_error = "AQ==";  // a single 0x01
    } else {
      message = "user=" + url.user + "\001auth=Bearer " + secret + "\001\001";
      after_error = "";
    }
    const std::string response = Base64(message);
    // Without SASL-IR the server asks for the response with a "+".
    std::vector<std::string> pieces =
        Has("SASL-IR") ? std::vector<std::string>{"AUTHENTICATE " + mechanism + " " + response}
                       : std::vector<std::string>{"AUTHENTICATE " + mechanism, response};
    if (after_error) pieces.push_back(*after_error);
    if (!Command(pieces, &reply, error)) return false;
  }
  if (reply.status != "OK") {
    failure_ = ImapFailure::kAuth;
    *error = "the server refused the login of " + who + " (" +
             (mechanism == "LOGIN" ? "LOGIN" : "AUTHENTICATE " + mechanism) + "): " + reply.text;
    // The server's reasons for refusing a token (expired, wrong scope).
    if (std::string why; mechanism != "PLAIN" && mechanism != "LOGIN") {
      if (Base64Decode(reply.challenge, &why)) *error += " " + ImapPrintable(why, 200);
    }
    return false;
  }
  return true;
}

bool ReadImapToken(const std::string& file, std::string* token, std::string* error) {
  std::ifstream in(file, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in) {
    *error = "cannot read the token file " + file;
    return false;
  }
  if (text.ends_with('\n')) text.pop_back();
  if (text.ends_with('\r')) text.pop_back();
  if (!ValidImapToken(text)) {
    *error = "the token file " + file +
             " holds no token, or more than one line, or bytes a bearer token cannot have";
    return false;
  }
  *token = std::move(text);
  return true;
}

bool ValidImapToken(const std::string& token) {
  return !token.empty() &&
         std::all_of(token.begin(), token.end(), [](char c) { return c > ' ' && c < 0x7f; });
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
  if (preauth_) {
    // Logged in already: no STARTTLS is possible any more, so over a plain
    // connection this is what a machine in the path would say to keep the
    // session unencrypted.
    if (!connection_.tls() && !login.allow_plain) {
      return Fail(ImapFailure::kNoStartTls,
                  url.host + ":" + std::to_string(url.port) +
                      " greets with PREAUTH on an unencrypted connection: refusing to read "
                      "mail unencrypted (use imaps://, or --imap-plain on a trusted network)",
                  error);
    }
    return capabilities_.empty() ? Capabilities(error) : true;
  }
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
  if (connection_.connected()) Command("LOGOUT", &reply, &error);
  connection_.Close();
}

bool ImapClient::List(bool all_namespaces, std::vector<ImapFolder>* out, std::string* error) {
  out->clear();
  Reply reply;
  // Prefixes of other users' and shared folders, which are not this
  // account's mail (and may hold every mail again).
  std::vector<std::string> foreign;
  if (!all_namespaces && Has("NAMESPACE")) {
    auto each = [&](ImapResponse& r, std::string* err) {
      std::string_view rest = std::string_view(r.text).substr(2);
      if (!StartsWithIgnoreCase(rest, "NAMESPACE ")) return true;
      ImapValueParser p(rest.substr(10), &r.literals);
      ImapValue personal, others, shared;
      if (!p.Next(&personal) || !p.Next(&others) || !p.Next(&shared)) {
        *err = "unreadable NAMESPACE response: " + r.text.substr(0, 200);
        return false;
      }
      for (const ImapValue* ns : {&others, &shared}) {
        for (const ImapValue& entry : ns->list) {
          if (!entry.list.empty()) foreign.push_back(entry.list[0].text);
        }
      }
      return true;
    };
    if (!Command({"NAMESPACE"}, &reply, error, each)) return false;
  }
  auto each = [&](ImapResponse& r, std::string* err) {
    std::string_view rest = std::string_view(r.text).substr(2);
    if (!StartsWithIgnoreCase(rest, "LIST ")) return true;
    ImapValueParser p(rest.substr(5), &r.literals);
    ImapValue flags, delimiter, name;
    if (!p.Next(&flags) || !p.Next(&delimiter) || !p.Next(&name) ||
        flags.kind != ImapValue::Kind::kList) {
      *err = "unreadable LIST response: " + r.text.substr(0, 200);
      return false;
    }
    ImapFolder f;
    f.name = name.text;
    f.delimiter =
        delimiter.kind == ImapValue::Kind::kNil || delimiter.text.empty() ? 0 : delimiter.text[0];
    for (const ImapValue& flag : flags.list) {
      const std::string u = ImapUpper(flag.text);
      if (u == "\\NOSELECT" || u == "\\NONEXISTENT") f.noselect = true;
      if (u == "\\ALL") f.all = true;
      if (u == "\\JUNK" || u == "\\TRASH") f.junk_or_trash = true;
    }
    for (const std::string& prefix : foreign) {
      if (!prefix.empty() && !EqualsIgnoreCase(f.name, "INBOX") &&
          (f.name.starts_with(prefix) ||
           (prefix.size() > 1 && f.name == prefix.substr(0, prefix.size() - 1)))) {
        return true;
      }
    }
    out->push_back(std::move(f));
    return true;
  };
  if (!Command({"LIST \"\" \"*\""}, &reply, error, each)) return false;
  if (reply.status != "OK") {
    return Fail(ImapFailure::kProtocol, "LIST refused: " + reply.text, error);
  }
  return true;
}

bool ImapClient::Examine(const std::string& folder, ImapMailbox* out, std::string* error) {
  *out = ImapMailbox{};
  Reply reply;
  bool has_validity = false;
  auto each = [&](ImapResponse& r, std::string* err) {
    std::string_view rest = std::string_view(r.text).substr(2);
    std::string args;
    if (StartsWithIgnoreCase(rest, "OK ")) {
      const std::string code = ImapResponseCode(rest.substr(3), &args);
      bool ok = true;
      if (code == "UIDVALIDITY") ok = has_validity = ParseImapNumber(args, &out->uidvalidity);
      if (code == "UIDNEXT") ok = ParseImapNumber(args, &out->uidnext);
      if (!ok) *err = "unreadable " + code + " of folder: " + r.text.substr(0, 200);
      return ok;
    }
    const size_t space = rest.find(' ');
    if (space != std::string_view::npos && EqualsIgnoreCase(rest.substr(space + 1), "EXISTS") &&
        !ParseImapNumber(rest.substr(0, space), &out->exists)) {
      *err = "unreadable EXISTS: " + r.text.substr(0, 200);
      return false;
    }
    return true;
  };
  if (!Command(WithArgument("EXAMINE", folder), &reply, error, each)) return false;
  if (reply.status != "OK") {
    return Fail(ImapFailure::kRefused, "cannot open folder " + ImapPrintable(folder) + ": " + reply.text,
                error);
  }
  if (!has_validity || out->uidvalidity == 0) {
    return Fail(ImapFailure::kProtocol,
                "the server gave folder " + ImapPrintable(folder) + " no UIDVALIDITY", error);
  }
  return true;
}

bool ImapClient::Fetch(const std::string& uids, bool bodies, uint64_t max_body,
                       const std::function<void(ImapMessage&&)>& each, std::string* error) {
  Reply reply;
  auto handle = [&](ImapResponse& r, std::string* err) {
    std::string_view rest = std::string_view(r.text).substr(2);
    const size_t space = rest.find(' ');
    if (space == std::string_view::npos ||
        !StartsWithIgnoreCase(rest.substr(space + 1), "FETCH ")) {
      return true;
    }
    ImapValueParser p(rest.substr(space + 7), &r.literals);
    ImapValue items;
    if (!p.Next(&items) || items.kind != ImapValue::Kind::kList) {
      *err = "unreadable FETCH response: " + r.text.substr(0, 200);
      return false;
    }
    ImapMessage m;
    bool has_body = false, has_size = false;
    for (size_t i = 0; i + 1 < items.list.size(); i += 2) {
      const std::string key = ImapUpper(items.list[i].text);
      ImapValue& v = items.list[i + 1];
      bool ok = true;
      if (key == "UID") {
        ok = ParseImapNumber(v.text, &m.uid);
      } else if (key == "FLAGS") {
        for (ImapValue& f : v.list) m.flags.push_back(std::move(f.text));
      } else if (key == "INTERNALDATE") {
        m.internal_date = v.text;
      } else if (key == "RFC822.SIZE") {
        ok = has_size = ParseImapNumber(v.text, &m.size);
      } else if (key == "BODY[]") {
        has_body = v.kind == ImapValue::Kind::kString;
        m.body = std::move(v.text);
      }
      if (!ok) {
        *err = "unreadable " + key + " in FETCH response: " + r.text.substr(0, 200);
        return false;
      }
    }
    // A FETCH without what we asked for is an unsolicited update (another
    // session changed a flag): it is no new message.
    if (m.uid == 0 || !has_size || (bodies && !has_body)) return true;
    if (bodies && m.body.size() != m.size) {
      m.problem = "the server sent " + std::to_string(m.body.size()) +
                  " bytes for a mail it says has " + std::to_string(m.size);
    }
    each(std::move(m));
    return true;
  };
  const std::string items = bodies ? "(UID FLAGS INTERNALDATE RFC822.SIZE BODY.PEEK[])"
                                   : "(UID FLAGS INTERNALDATE RFC822.SIZE)";
  if (!Command({"UID FETCH " + uids + " " + items}, &reply, error, handle,
               bodies ? max_body : kMaxOtherLiteral)) {
    return false;
  }
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

}  // namespace Nauvik::Import
