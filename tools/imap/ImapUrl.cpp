#include "tools/imap/ImapUrl.h"

#include "tools/MailText.h"
#include "tools/imap/ImapResponse.h"

namespace Nauvik::Import {
namespace {

bool Unreserved(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~' || c == '&' || c == ',' || c == '+';
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string ImapPercentEncode(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : text) {
    if (Unreserved(c)) {
      out.push_back(c);
    } else {
      const auto u = static_cast<unsigned char>(c);
      out += {'%', kHex[u >> 4], kHex[u & 15]};
    }
  }
  return out;
}

bool ImapPercentDecode(std::string_view in, std::string* out) {
  out->clear();
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '%') {
      out->push_back(in[i]);
      continue;
    }
    if (i + 2 >= in.size()) return false;
    const int hi = HexValue(in[i + 1]);
    const int lo = HexValue(in[i + 2]);
    if (hi < 0 || lo < 0) return false;
    out->push_back(static_cast<char>(hi * 16 + lo));
    i += 2;
  }
  return true;
}

std::string ImapUrl::Account() const {
  std::string h = host;
  for (char& c : h) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (h.find(':') != std::string::npos) h = "[" + h + "]";
  return "imap://" + ImapPercentEncode(user) + "@" + h + ":" + std::to_string(port);
}

bool IsImapUrl(std::string_view text) {
  return StartsWithIgnoreCase(text, "imap://") || StartsWithIgnoreCase(text, "imaps://");
}

bool ParseImapUrl(const std::string& text, ImapUrl* url, std::string* error) {
  *url = ImapUrl{};
  std::string_view rest = text;
  if (StartsWithIgnoreCase(rest, "imaps://")) {
    url->implicit_tls = true;
    rest.remove_prefix(8);
  } else if (StartsWithIgnoreCase(rest, "imap://")) {
    rest.remove_prefix(7);
  } else {
    *error = text + ": not an imap:// or imaps:// URL";
    return false;
  }
  const size_t slash = rest.find('/');
  std::string_view authority = rest.substr(0, slash);
  const size_t at = authority.rfind('@');
  if (at != std::string_view::npos && authority.substr(0, at).find(':') != std::string_view::npos) {
    // Never repeat the URL here: it holds the password.
    *error = "an imap:// URL must not hold a password (USER:PASSWORD@HOST): give it with "
             "--password-file FILE instead";
    return false;
  }
  if (slash != std::string_view::npos) {
    std::string_view path = rest.substr(slash + 1);
    while (!path.empty() && path.back() == '/') path.remove_suffix(1);
    if (!ImapPercentDecode(path, &url->folder)) {
      *error = text + ": bad %-escape in the folder";
      return false;
    }
  }
  if (at == std::string_view::npos || at == 0) {
    *error = text + ": the URL needs a user name (imap://USER@HOST)";
    return false;
  }
  if (!ImapPercentDecode(authority.substr(0, at), &url->user)) {
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
    uint32_t value = 0;
    if (!ParseImapNumber(port, &value) || value < 1 || value > 65535) {
      *error = text + ": bad port";
      return false;
    }
    url->port = static_cast<int>(value);
  }
  return true;
}

}  // namespace Nauvik::Import
