#pragma once

// WHERE texts of the mail store that carry text from mails or clients. They
// keep that text inside its literal whatever it holds (quotes doubled) and
// make LIKE match as it always has on Oracle, where LIKE has no escape
// character: the dialect doubles "\" where the database would treat it as
// one. "%" and "_" stay wildcards, as the store's duplicate and subscription
// rules want. Pure functions; thread-safe.

#include <cstdint>
#include <string>

namespace Nauvik {
class Dialect;
}

namespace Nauvik::IMAP {

// A stored copy of a mail: raw Message-ID text as LIKE pattern, size, and a
// live blob record with a location and a host.
std::string ContentLookupCondition(const Dialect& dialect, const std::string& message_id,
                                   uint32_t size);

// A linked message by raw Message-ID text (LIKE pattern) and size.
std::string FindMessageCondition(const Dialect& dialect, const std::string& message_id,
                                 uint32_t size);

// A user's subscription to a folder name, without regard to case. Throws
// std::runtime_error("Invalid input") for an empty name or user 0.
std::u16string SubscriptionCondition(const Dialect& dialect, const std::u16string& name,
                                     int64_t user_id);

// Other users' folders the user may look up: granted to the user, to one of
// the user's groups or to the user's whole company, with the lookup right.
std::string SharedFoldersCondition(int64_t user_id, int64_t company_id);

}  // namespace Nauvik::IMAP
