// Four threads insert into the same new folders at once: a thread that loses
// the race to create a folder gets 1001 and finds the folder when it retries.

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
  EXPECT_EQ(SqlValue("SELECT COUNT(DISTINCT IMM_MESSAGEID) FROM NS_IMAPMESSAGE IMM WHERE "
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

}  // namespace
}  // namespace mstest
