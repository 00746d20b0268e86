// Four threads insert into the same new folders at once: a thread that loses
// the race to create a folder gets 1001 and finds the folder when it retries.

#include <unistd.h>

#include <cstdio>
#include <thread>

#include "tests/entry/LibraryHarness.h"

namespace mstest {
namespace {

TEST(MailStorageConcurrency, FourThreadsIntoTheSameNewFolders) {
  constexpr int kThreads = 4, kMailsPerThread = 6, kMaxAttempts = 5;
  ASSERT_NE(Library::Get().add, nullptr) << Library::Get().path << ": " << Library::Get().error;
  const std::string user = MakeUser(7200000, "Concurrent Writer");
  const std::string folders[] = {"Team.Inbound", "Team.Outbound.Old"};
  auto id_of = [](int t, int m) { return "<conc-" + std::to_string(t * 10 + m) + "@test>"; };
  std::vector<std::vector<int>> results(kThreads, std::vector<int>(kMailsPerThread, -1));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    std::vector<fs::path> files;
    for (int m = 0; m < kMailsPerThread; ++m) {
      files.push_back(WriteMail(MakeMail(id_of(t, m), "concurrent")));
    }
    threads.emplace_back([&, t, files] {
      for (int m = 0; m < kMailsPerThread; ++m) {
        int& code = results[t][m];
        for (int attempt = 0; attempt < kMaxAttempts && code != kOk; ++attempt) {
          code = Add(files[m], folders[(t + m) % 2], user);
          if (code != kOracleError) break;
        }
      }
      Library::Get().close();
    });
  }
  for (std::thread& thread : threads) thread.join();

  for (const std::vector<int>& codes : results) {
    EXPECT_EQ(codes, std::vector<int>(kMailsPerThread, kOk));
  }
  // Every mail stored once and linked once.
  EXPECT_EQ(Count("NS_IMAPMESSAGE", "IMM_MESSAGEID LIKE '<conc-%'"), kThreads * kMailsPerThread);
  EXPECT_EQ(Sql("SELECT COUNT(DISTINCT IMM_MESSAGEID) FROM NS_IMAPMESSAGE IMM WHERE "
                     "IMM_MESSAGEID LIKE '<conc-%' AND (SELECT COUNT(*) FROM NS_IMAPMSGINFOLDER "
                     "MIF WHERE MIF.IMM_IMAPMESSAGEID = IMM.IMM_IMAPMESSAGEID) = 1"),
            std::to_string(kThreads * kMailsPerThread));
  EXPECT_EQ(SqlRows("SELECT COALESCE(IMF_FOLDERNAME, '-') FROM NS_IMAPFOLDER WHERE USR_USERID = " +
                    user + " ORDER BY 1"),
            (std::vector<std::string>{"Inbound", "Old", "Outbound", "Team"}));
  const std::string half = std::to_string(kThreads * kMailsPerThread / 2);
  EXPECT_EQ(SqlRows("SELECT COUNT(*) || '|' || COUNT(DISTINCT MIF_UID) FROM NS_IMAPMSGINFOLDER MIF "
                    "JOIN NS_IMAPFOLDER IMF ON MIF.IMF_IMAPFOLDERID = IMF.IMF_IMAPFOLDERID WHERE "
                    "IMF.USR_USERID = " +
                    user + " GROUP BY IMF.IMF_IMAPFOLDERID"),
            (std::vector<std::string>{half + "|" + half, half + "|" + half}));
  // Every new folder subscribed exactly once, by its full name.
  EXPECT_EQ(SqlRows("SELECT IMF_SUBSCRIPTIONNAME || '|' || COUNT(*) FROM NS_IMAPSUBSCRIPTION WHERE "
                    "USR_USERID = " +
                    user + " GROUP BY IMF_SUBSCRIPTIONNAME ORDER BY 1"),
            (std::vector<std::string>{"Team.Inbound|1", "Team.Outbound.Old|1"}));
}

// Another writer holds the folder (as a batch does until it commits) and draws
// a UID. A call into that folder must wait before it draws its own, so its UID
// is the higher one and commits after: an IMAP client that synchronised
// between the two commits would otherwise never see the lower UID.
TEST(MailStorageConcurrency, ACallWaitsForTheFolderBeforeItDrawsItsUid) {
  ASSERT_NE(Library::Get().add, nullptr) << Library::Get().path << ": " << Library::Get().error;
  const std::string user = MakeUser(7200001, "Live Folder Writer");
  ASSERT_EQ(Add(WriteMail(MakeMail("<live-first@test>", "first")), "Live", user), kOk);
  Library::Get().close();
  const std::string folder = std::to_string(FolderId(user, "Live"));
  ASSERT_NE(folder, "-1");

  const std::string drawn = fs::read_symlink("/proc/self/exe").string() + "-holder.out";
  FILE* holder = popen(("PGAPPNAME=uid-holder PGPASSWORD=" + StoreValue("password") +
                        " psql -X -q -A -t -h 127.0.0.1 -p " + StoreValue("port") +
                        " -U mailstore -d mailstore > " + drawn + " 2>&1")
                           .c_str(),
                       "w");
  ASSERT_NE(holder, nullptr);
  fprintf(holder, "BEGIN;\nSELECT 1 FROM NS_IMAPFOLDER WHERE IMF_IMAPFOLDERID = %s FOR UPDATE;\n",
          folder.c_str());
  fflush(holder);
  const auto wait_for = [](const std::string& sql) {
    while (SqlInt(sql) < 1) usleep(20000);
  };
  wait_for("SELECT COUNT(*) FROM pg_stat_activity WHERE application_name = 'uid-holder' AND "
           "state = 'idle in transaction'");

  const fs::path mail = WriteMail(MakeMail("<live-second@test>", "second"));
  int code = -1;
  std::thread writer([&] {
    code = Add(mail, "Live", user);
    Library::Get().close();
  });
  // The call is blocked on the folder's row (before or after drawing its UID).
  wait_for("SELECT COUNT(*) FROM pg_locks L JOIN pg_stat_activity A ON A.pid = L.pid WHERE NOT "
           "L.granted AND A.application_name <> 'uid-holder' AND A.query LIKE '%" +
           folder + "%'");
  fprintf(holder, "SELECT nextval('IMAPFOLDER_%s');\nCOMMIT;\n", folder.c_str());
  ASSERT_EQ(pclose(holder), 0);
  writer.join();
  ASSERT_EQ(code, kOk);
  const std::vector<std::string> out = Lines(ReadFile(drawn));
  ASSERT_FALSE(out.empty());
  const std::vector<std::string> link = Links(std::stoll(folder), "<live-second@test>");
  ASSERT_EQ(link.size(), 1u);
  EXPECT_GT(std::stoll(link[0]), std::stoll(out.back())) << "the call's UID " << link[0]
                                                         << ", the holder's " << out.back();
}

}  // namespace
}  // namespace mstest
