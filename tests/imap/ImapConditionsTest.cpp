// The store's WHERE texts: PostgreSQL, whose LIKE treats "\" as its escape, gets every "\" doubled
// so the pattern matches what Oracle's does. Mail text never leaves its literal.

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <tuple>

#include "db/Dialect.h"
#include "imap/ImapConditions.h"

namespace Nauvik::IMAP {
namespace {

const Dialect& Oracle() { return DialectFor(kProviderOracle); }
const Dialect& Postgres() { return DialectFor(kProviderPostgres); }

TEST(ImapConditions, ContentLookupKeepsTheMessageIdInsideItsLiteral) {
  // {Message-ID, Oracle literal, PostgreSQL literal}
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {"<plain@x>", "'<plain@x>'", "'<plain@x>'"},
      {"", "''", "''"},
      {"<o'brien@x>", "'<o''brien@x>'", "'<o''brien@x>'"},
      {"<x' OR '1'='1@x>", "'<x'' OR ''1''=''1@x>'", "'<x'' OR ''1''=''1@x>'"},
      {"<back\\slash@x>", "'<back\\slash@x>'", "'<back\\\\slash@x>'"},
      {"<end\\'@x>", "'<end\\''@x>'", "'<end\\\\''@x>'"},
      {"<wild%_card@x>", "'<wild%_card@x>'", "'<wild%_card@x>'"},
  };
  const std::string tail =
      " AND FIS_SIZE = 4000000000 AND FIS_DELETED IS NULL AND FIS_LOCATION IS NOT NULL AND "
      "FSH_FILESTORAGEHOSTID IS NOT NULL";
  for (const auto& [message_id, oracle, postgres] : cases) {
    SCOPED_TRACE(message_id);
    EXPECT_EQ(ContentLookupCondition(Oracle(), message_id, 4000000000u),
              "IMM_MESSAGEID LIKE " + oracle + tail);
    EXPECT_EQ(ContentLookupCondition(Postgres(), message_id, 4000000000u),
              "IMM_MESSAGEID LIKE " + postgres + tail);
    EXPECT_EQ(FindMessageCondition(Oracle(), message_id, 17),
              "IMM_MESSAGEID LIKE " + oracle + " AND FIS_SIZE = 17");
    EXPECT_EQ(FindMessageCondition(Postgres(), message_id, 17),
              "IMM_MESSAGEID LIKE " + postgres + " AND FIS_SIZE = 17");
  }
}

TEST(ImapConditions, Subscription) {
  EXPECT_EQ(SubscriptionCondition(Oracle(), u"Bob's \\ 100%", 42),
            u"LOWER(IMF_SUBSCRIPTIONNAME) LIKE LOWER('Bob''s \\ 100%') AND USR_USERID = 42");
  EXPECT_EQ(SubscriptionCondition(Postgres(), u"Bob's \\ 100%", 42),
            u"LOWER(IMF_SUBSCRIPTIONNAME) LIKE LOWER('Bob''s \\\\ 100%') AND USR_USERID = 42");
  EXPECT_THROW((void)SubscriptionCondition(Oracle(), u"", 42), std::runtime_error);
  EXPECT_THROW((void)SubscriptionCondition(Oracle(), u"x", 0), std::runtime_error);
}

}  // namespace
}  // namespace Nauvik::IMAP
