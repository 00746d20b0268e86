#pragma once

// imap:// and imaps:// URLs as the user gives them, and the account key that
// names a server account in item paths and the journal.

#include <string>
#include <string_view>

namespace Nauvik::Import {

// imap://USER@HOST[:PORT][/FOLDER] or imaps://... (implicit TLS).
struct ImapUrl {
  bool implicit_tls = false;
  std::string user;
  std::string host;
  int port = 0;        // 143 or 993 unless given
  std::string folder;  // "" = the whole account; a server name, %-escapes undone

  // "imap://user@host:993": the account whatever way it is reached, so that
  // imap:// and imaps:// or a host name in other case do not import it again.
  // The user is %-encoded, the host in lower case, an IPv6 address in [].
  std::string Account() const;
};

// False with `error` when `text` is not such a URL, or holds a password
// (which would end up in logs, the journal and the report).
bool ParseImapUrl(const std::string& text, ImapUrl* url, std::string* error);
bool IsImapUrl(std::string_view text);

// %-coding of the bytes that have a meaning in item paths.
std::string ImapPercentEncode(std::string_view text);
bool ImapPercentDecode(std::string_view in, std::string* out);

}  // namespace Nauvik::Import
