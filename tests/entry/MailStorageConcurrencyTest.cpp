// Four host threads insert into the same new folders of one user at once.
// The database hands out the UIDs and keeps one folder per name: a thread
// that loses the race to create a folder gets the store's database error and
// finds the folder when it calls again.

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
  ScratchDir scratch;
  std::vector<std::vector<int>> results(kThreads, std::vector<int>(kMailsPerThread, -1));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    std::vector<fs::path> files;
    for (int m = 0; m < kMailsPerThread; ++m) {
      files.push_back(scratch.Write(MakeMail(id_of(t, m), "concurrent")));
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

  for (int t = 0; t < kThreads; ++t) {
    for (int m = 0; m < kMailsPerThread; ++m) {
      EXPECT_EQ(results[t][m], kOk) << id_of(t, m);
      // Stored once and linked once.
      EXPECT_EQ(SqlValue("SELECT COUNT(DISTINCT IMM.IMM_IMAPMESSAGEID) || '|' || COUNT(MIF_UID) "
                         "FROM NS_IMAPMESSAGE IMM LEFT JOIN NS_IMAPMSGINFOLDER MIF ON "
                         "MIF.IMM_IMAPMESSAGEID = IMM.IMM_IMAPMESSAGEID WHERE IMM_MESSAGEID = " +
                         Quote(id_of(t, m))),
                "1|1")
          << id_of(t, m);
    }
  }
  EXPECT_EQ(SqlRows("SELECT COALESCE(IMF_FOLDERNAME, '-') FROM NS_IMAPFOLDER WHERE USR_USERID = " +
                    user + " ORDER BY 1"),
            (std::vector<std::string>{"Inbound", "Old", "Outbound", "Team"}));
  // UIDs unique within each folder.
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

}  // namespace
}  // namespace mstest
