#pragma once

// Address lists of From, To, Cc, Bcc, Reply-To (RFC 5322, with the obsolete
// forms real mail still carries: route addresses, missing angle brackets,
// empty list elements). Display names, local parts and domains are copied:
// quoted strings and comments make them non-contiguous. Encoded words in a
// display name are left encoded for the caller to decode.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "mime/Status.h"

namespace Nauvik::MimeParse {

struct Mailbox {
  std::string display_name;  // words joined by single spaces; quotes removed
  std::string local_part;
  std::string domain;  // "" for a bare local part ("undisclosed-recipients")
  std::string Address() const { return domain.empty() ? local_part : local_part + "@" + domain; }
};

struct AddressEntry {
  bool is_group = false;
  std::string group_name;          // only for a group
  std::vector<Mailbox> mailboxes;  // one for a mailbox, the members for a group
};

struct AddressList {
  static constexpr size_t kMaxMailboxes = 4096;  // bounds a hostile list's size

  std::vector<AddressEntry> entries;
  size_t skipped = 0;  // elements that could not be read and were skipped

  // All mailboxes, group members included, in order.
  std::vector<const Mailbox*> AllMailboxes() const;
};

// Parses a whole field body. Unreadable elements are skipped up to the next
// top-level comma and counted; the status is an error when any was skipped.
Status ParseAddressList(std::string_view body, AddressList* out);

// Parses a single mailbox (a From or Sender body). Fails when the body does
// not hold exactly one readable mailbox.
Status ParseMailbox(std::string_view body, Mailbox* out);

}  // namespace Nauvik::MimeParse
