// Four threads insert into the same new folders at once: a thread that loses the race to create a
// folder gets 1001 and finds the folder when it retries.

#include <thread>

#include "tests/entry/LibraryHarness.h"

namespace mstest {
namespace {

TEST(MailStorageConcurrency, FourThreadsIntoTheSameNewFolders) {
  constexpr int kThreads = 4, kMailsPerThread = 6, kMaxAttempts = 5;
  const std::string user = MakeUser(7200000, "Concurrent Writer");
  const std::string folders[] = {"Team.Inbound", "Team.Outbound.Old"};
  std::vector<int> results(kThreads * kMailsPerThread, -1);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int m = 0; m < kMailsPerThread; ++m) {
        const fs::path file =
            WriteMail(MakeMail("<conc-" + std::to_string(t * 10 + m) + "@test>", "c"));
        int& code = results[t * kMailsPerThread + m];
        for (int attempt = 0; attempt < kMaxAttempts && code != kOk; ++attempt) {
          code = Add(file, folders[(t + m) % 2], user);
          if (code != kOracleError) break;
        }
      }
      Library::Get().close();
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(results, std::vector<int>(kThreads * kMailsPerThread, kOk));
  // Every mail stored once and linked once; every new folder exists once, with distinct UIDs, and
  // is subscribed exactly once, by its full name.
  EXPECT_EQ(Sql("SELECT COUNT(*) || '|' || COUNT(DISTINCT IMM_MESSAGEID) || '|' || COUNT(*) FILTER "
                "(WHERE (SELECT COUNT(*) FROM NS_IMAPMSGINFOLDER MIF WHERE MIF.IMM_IMAPMESSAGEID = "
                "IMM.IMM_IMAPMESSAGEID) = 1) FROM NS_IMAPMESSAGE IMM WHERE IMM_MESSAGEID LIKE "
                "'<conc-%'"),
            "24|24|24");
  EXPECT_EQ(SqlRows("SELECT IMF_FOLDERNAME, COUNT(MIF_UID), COUNT(DISTINCT MIF_UID), (SELECT "
                    "string_agg(IMF_SUBSCRIPTIONNAME, ',') FROM NS_IMAPSUBSCRIPTION S WHERE "
                    "S.USR_USERID = F.USR_USERID AND IMF_SUBSCRIPTIONNAME LIKE '%' || "
                    "IMF_FOLDERNAME) FROM NS_IMAPFOLDER F LEFT JOIN NS_IMAPMSGINFOLDER USING "
                    "(IMF_IMAPFOLDERID) WHERE USR_USERID = " +
                    user + " GROUP BY F.IMF_IMAPFOLDERID ORDER BY 1"),
            (std::vector<std::string>{"Inbound|12|12|Team.Inbound", "Old|12|12|Team.Outbound.Old",
                                      "Outbound|0|0|", "Team|0|0|"}));
}

// Another writer holds the folder (as a batch does until it commits) and draws a UID. A call into
// that folder must wait before it draws its own, so its UID is the higher one and commits after: an
// IMAP client that synchronised between the two commits would otherwise never see the lower UID.
TEST(MailStorageConcurrency, ACallWaitsForTheFolderBeforeItDrawsItsUid) {
  const std::string user = MakeUser(7200001, "Live Folder Writer");
  ASSERT_EQ(Add(WriteMail(MakeMail("<live-first@test>", "first")), "Live", user), kOk);
  Library::Get().close();
  const std::string folder = std::to_string(FolderId(user, "Live"));

  const std::string psql = "PGAPPNAME=uid-holder PGPASSWORD=" + StoreValue("password") +
                           " psql -X -q -v ON_ERROR_STOP=1 -h 127.0.0.1 -p " + StoreValue("port") +
                           " -U mailstore -d mailstore >/dev/null";
  FILE* holder = popen(psql.c_str(), "w");
  ASSERT_NE(holder, nullptr);
  fprintf(holder, "BEGIN;\nSELECT 1 FROM NS_IMAPFOLDER WHERE IMF_IMAPFOLDERID = %s FOR UPDATE;\n",
          folder.c_str());
  fflush(holder);
  const auto wait_for = [](const std::string& sql) {
    while (SqlInt(sql) < 1) usleep(20000);
  };
  wait_for(
      "SELECT COUNT(*) FROM pg_stat_activity WHERE application_name = 'uid-holder' AND "
      "state = 'idle in transaction'");

  int code = -1;
  std::thread writer([&] {
    code = Add(WriteMail(MakeMail("<live-second@test>", "second")), "Live", user);
    Library::Get().close();
  });
  // The call is blocked on the folder's row (before or after drawing its UID).
  wait_for(
      "SELECT COUNT(*) FROM pg_locks L JOIN pg_stat_activity A ON A.pid = L.pid WHERE NOT "
      "L.granted AND A.application_name <> 'uid-holder' AND A.query LIKE '%" +
      folder + "%'");
  fprintf(holder, "SELECT nextval('IMAPFOLDER_%s');\nCOMMIT;\n", folder.c_str());
  ASSERT_EQ(pclose(holder), 0);
  writer.join();
  ASSERT_EQ(code, kOk);
  // UID 3: the holder drew 2 after the first mail's 1.
  EXPECT_EQ(Links(std::stoll(folder), "<live-second@test>"),
            std::vector<std::string>{"3|0|0|1|0|0|0|1994/11/15 07:12:31"});
}

}  // namespace
}  // namespace mstest
