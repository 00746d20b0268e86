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
#include "tools/imap/ImapResponse.h"
#include "tools/imap/ImapUrl.h"

namespace Nauvik::Import {

struct ImapLogin {
  std::string password;       // or the bearer token for "oauthbearer" and "xoauth2"
  std::string auth = "auto";  // "auto" (PLAIN when offered, else LOGIN), "plain", "login",
                              // "oauthbearer", "xoauth2"
  // An administrator who logs in with its own password to read the URL's
  // user (AUTHENTICATE PLAIN with that user as authorization identity).
  std::string admin;
  // Read again at every login, so a token that a job outside the run
  // refreshes before it expires serves a reconnect hours later.
  std::string token_file;
  TlsSettings tls;
  bool allow_plain = false;  // imap:// may stay unencrypted when the server lacks STARTTLS
  int timeout_seconds = 60;
};

// The bearer token in `file`: its text without one line end at the end.
// False with `error` (never the token) when the file cannot be read, is
// empty, or holds anything but printable ASCII: a line end or a control
// byte would end the SASL message early and add fields of its own.
bool ReadImapToken(const std::string& file, std::string* token, std::string* error);
bool ValidImapToken(const std::string& token);

// Which folders of an account to import.
struct ImapFolderFilter {
  std::vector<std::string> include;  // fnmatch patterns on the UTF-8 name, "/" between levels
  std::vector<std::string> exclude;
  bool skip_junk_trash = false;
};

struct ImapFolder {
  std::string name;       // as the server spells it (modified UTF-7)
  char delimiter = 0;     // 0: the server has no hierarchy
  bool noselect = false;  // a parent only: holds no mail
  bool all = false;       // \All: a view of every mail of the account, held again
  bool junk_or_trash = false;  // \Junk or \Trash
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
  std::string problem;             // why the bytes cannot be the mail ("" when they can)
};

class ImapClient {
 public:
  // Connects, secures and logs in. False with `error`; failure() tells why.
  bool Open(const ImapUrl& url, const ImapLogin& login, std::string* error);
  void Logout();

  // The folders of the account: of its personal namespace only (not other
  // users' or shared folders) unless `all_namespaces`.
  bool List(bool all_namespaces, std::vector<ImapFolder>* out, std::string* error);
  bool Examine(const std::string& folder, ImapMailbox* out, std::string* error);

  // UID FETCH for the UID set `uids` ("1:*", "4,7:9"). With `bodies` false
  // only UID, FLAGS, INTERNALDATE and RFC822.SIZE. `each` is called once per
  // message as it arrives, so a batch need not be held at once; only for
  // messages that carry what was asked (not for unsolicited flag updates).
  // A body longer than `max_body` is a protocol error.
  bool Fetch(const std::string& uids, bool bodies, uint64_t max_body,
             const std::function<void(ImapMessage&&)>& each, std::string* error);

  // The largest literal taken where no mail body is expected.
  static constexpr uint64_t kMaxOtherLiteral = 1u << 20;

  ImapFailure failure() const { return failure_; }
  bool encrypted() const { return connection_.tls(); }
  bool connected() const { return connection_.connected(); }

  // Compact UID set text for sorted UIDs: {1,2,3,7} -> "1:3,7".
  static std::string UidSet(const std::vector<uint32_t>& sorted_uids);

 private:
  struct Reply;
  using Untagged = std::function<bool(ImapResponse& response, std::string* error)>;
  // Sends pieces[0] with a new tag, and each further piece when the server
  // asks for it with a "+" continuation (a literal's bytes, a SASL response).
  bool Command(const std::vector<std::string>& pieces, Reply* reply, std::string* error,
               const Untagged& untagged = nullptr, uint64_t max_literal = kMaxOtherLiteral);
  bool Command(const std::string& command, Reply* reply, std::string* error) {
    return Command(std::vector<std::string>{command}, reply, error);
  }
  bool ReadGreeting(std::string* error);
  bool Capabilities(std::string* error);
  bool Authenticate(const ImapUrl& url, const ImapLogin& login, std::string* error);
  bool Fail(ImapFailure failure, const std::string& text, std::string* error);
  bool Has(const std::string& capability) const;

  ImapConnection connection_;
  std::vector<std::string> capabilities_;  // upper case
  bool preauth_ = false;                   // the greeting said we are logged in already
  int next_tag_ = 1;
  std::string host_;
  ImapFailure failure_ = ImapFailure::kNone;
};

}  // namespace Nauvik::Import
