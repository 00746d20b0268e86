#pragma once

// A small IMAP4rev1 client for reading a mailbox account: log in (implicit
// TLS or STARTTLS), LIST, EXAMINE, and UID FETCH of flags, internal date,
// size and the exact message bytes in UID batches. Read-only by
// construction: it never selects a mailbox for writing and fetches with
// BODY.PEEK[], so the server's \Seen flags stay as they are. Not
// thread-safe: one thread per client.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tools/imap/ImapConnection.h"

namespace Nauvik::Import {

// imap://USER@HOST[:PORT][/FOLDER] or imaps://... (implicit TLS).
struct ImapUrl {
  bool implicit_tls = false;
  std::string user;
  std::string host;
  int port = 0;        // 143 or 993 unless given
  std::string folder;  // "" = the whole account; a server name, %-escapes undone

  // "imaps://user@host:993": identifies the account in journal keys.
  std::string Account() const;
};

// False with `error` when `text` is not such a URL.
bool ParseImapUrl(const std::string& text, ImapUrl* url, std::string* error);
bool IsImapUrl(const std::string& text);

struct ImapLogin {
  std::string password;
  std::string auth = "auto";  // "auto" (PLAIN when offered, else LOGIN), "plain", "login"
  TlsSettings tls;
  bool allow_plain = false;  // imap:// may stay unencrypted when the server lacks STARTTLS
  int timeout_seconds = 60;
};

struct ImapFolder {
  std::string name;       // as the server spells it (modified UTF-7)
  char delimiter = 0;     // 0: the server has no hierarchy
  bool noselect = false;  // a parent only: holds no mail
};

struct ImapMailbox {
  uint32_t uidvalidity = 0;
  uint32_t exists = 0;
  uint32_t uidnext = 0;
};

struct ImapMessage {
  uint32_t uid = 0;
  std::vector<std::string> flags;  // as sent: "\\Seen", "$Forwarded", ...
  std::string internal_date;       // "17-Jul-1996 02:44:25 -0700"
  uint64_t size = 0;               // RFC822.SIZE
  std::string body;                // BODY[] bytes; empty when not fetched
};

class ImapClient {
 public:
  // Connects, secures and logs in. False with `error`; failure() tells why.
  bool Open(const ImapUrl& url, const ImapLogin& login, std::string* error);
  void Logout();

  // Every folder of the account.
  bool List(std::vector<ImapFolder>* out, std::string* error);
  bool Examine(const std::string& folder, ImapMailbox* out, std::string* error);

  // UID FETCH for the UID set `uids` ("1:*", "4,7:9"). With `bodies` false
  // only UID, FLAGS, INTERNALDATE and RFC822.SIZE. `each` is called once per
  // message as it arrives, so a batch need not be held at once.
  bool Fetch(const std::string& uids, bool bodies, const std::function<void(ImapMessage&&)>& each,
             std::string* error);

  ImapFailure failure() const { return failure_; }
  bool encrypted() const { return connection_.tls(); }

  // Compact UID set text for sorted UIDs: {1,2,3,7} -> "1:3,7".
  static std::string UidSet(const std::vector<uint32_t>& sorted_uids);
  // "17-Jul-1996 02:44:25 -0700" -> seconds since 1970; false when unreadable.
  static bool ParseInternalDate(const std::string& text, int64_t* seconds);

 private:
  struct Reply;
  bool Command(
      const std::string& command, Reply* reply, std::string* error,
      const std::function<bool(const std::string& line, std::string* error)>& untagged = nullptr);
  bool ReadGreeting(std::string* error);
  bool Capabilities(std::string* error);
  bool Authenticate(const ImapUrl& url, const ImapLogin& login, std::string* error);
  bool Fail(ImapFailure failure, const std::string& text, std::string* error);
  bool Has(const std::string& capability) const;

  ImapConnection connection_;
  std::vector<std::string> capabilities_;      // upper case
  std::vector<std::string> pending_literals_;  // of the untagged response being handled
  int next_tag_ = 1;
  std::string host_;
  ImapFailure failure_ = ImapFailure::kNone;
};

}  // namespace Nauvik::Import
