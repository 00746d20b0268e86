// Four host threads insert into the same new folders of one user at once.
// The database hands out the UIDs and keeps one folder per name: a thread
// that loses the race to create a folder gets the store's database error and
// finds the folder when it calls again.

#include <set>
#include <thread>

#include "tests/entry/LibraryHarness.h"

namespace mstest {
namespace {

constexpr int kThreads = 4;
constexpr int kMailsPerThread = 6;
constexpr int kOracleError = 1001;
constexpr int kMaxAttempts = 5;

TEST(MailStorageConcurrency, FourThreadsIntoTheSameNewFolders) {
  Library& library = Library::Get();
  ASSERT_NE(library.add, nullptr) << library.path << ": " << library.error;
  const TestUser user = MakeUser(7200000, "Concurrent Writer");
  const std::vector<std::string> folders = {"Team.Inbound", "Team.Outbound.Old"};
  ScratchDir scratch;

  std::vector<std::vector<std::string>> files(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    for (int m = 0; m < kMailsPerThread; ++m) {
      const std::string id = "<conc-" + std::to_string(t) + "-" + std::to_string(m) + "@test>";
      files[t].push_back(scratch.Write(id, MakeMail(id, "concurrent")).string());
    }
  }

  std::vector<std::vector<int>> results(kThreads, std::vector<int>(kMailsPerThread, -1));
  std::vector<int> retries(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int m = 0; m < kMailsPerThread; ++m) {
        const std::string& folder = folders[(t + m) % folders.size()];
        int code = kOracleError;
        for (int attempt = 0; attempt < kMaxAttempts && code == kOracleError; ++attempt) {
          if (attempt > 0) ++retries[t];
          code = library.add(files[t][m].c_str(), folder.c_str(), user.IdText().c_str(),
                             user.CompanyText().c_str(), "Tue, 15 Nov 1994 08:12:31 +0100", false,
                             false, true);
        }
        results[t][m] = code;
      }
      library.close();
    });
  }
  for (std::thread& thread : threads) thread.join();

  for (int t = 0; t < kThreads; ++t) {
    for (int m = 0; m < kMailsPerThread; ++m) {
      EXPECT_EQ(results[t][m], 0) << "thread " << t << " mail " << m;
    }
  }
  int total_retries = 0;
  for (int r : retries) total_retries += r;
  RecordProperty("retries", total_retries);

  // One row per folder name, and no more folders than the names need.
  EXPECT_EQ(SqlRows("SELECT COALESCE(IMF_FOLDERNAME, '-') FROM NS_IMAPFOLDER WHERE USR_USERID = " +
                    user.IdText() + " ORDER BY 1"),
            (std::vector<std::string>{"Inbound", "Old", "Outbound", "Team"}));

  // Every mail stored once and linked once; UIDs unique within each folder.
  for (int t = 0; t < kThreads; ++t) {
    for (int m = 0; m < kMailsPerThread; ++m) {
      const std::string id = "<conc-" + std::to_string(t) + "-" + std::to_string(m) + "@test>";
      EXPECT_EQ(SqlValue("SELECT COUNT(DISTINCT IMM.IMM_IMAPMESSAGEID) || '|' || COUNT(MIF_UID) "
                         "FROM NS_IMAPMESSAGE IMM LEFT JOIN NS_IMAPMSGINFOLDER MIF ON "
                         "MIF.IMM_IMAPMESSAGEID = IMM.IMM_IMAPMESSAGEID WHERE IMM_MESSAGEID = '" +
                         id + "'"),
                "1|1")
          << id;
    }
  }
  const std::vector<std::string> per_folder = SqlRows(
      "SELECT COUNT(*) || '|' || COUNT(DISTINCT MIF_UID) FROM NS_IMAPMSGINFOLDER MIF JOIN "
      "NS_IMAPFOLDER IMF ON MIF.IMF_IMAPFOLDERID = IMF.IMF_IMAPFOLDERID WHERE IMF.USR_USERID = " +
      user.IdText() + " GROUP BY IMF.IMF_IMAPFOLDERID ORDER BY 1");
  const int half = kThreads * kMailsPerThread / 2;
  EXPECT_EQ(per_folder,
            (std::vector<std::string>{std::to_string(half) + "|" + std::to_string(half),
                                      std::to_string(half) + "|" + std::to_string(half)}));
  // Every new folder subscribed exactly once, by its full name.
  EXPECT_EQ(SqlRows("SELECT IMF_SUBSCRIPTIONNAME || '|' || COUNT(*) FROM NS_IMAPSUBSCRIPTION "
                    "WHERE USR_USERID = " +
                    user.IdText() + " GROUP BY IMF_SUBSCRIPTIONNAME ORDER BY 1"),
            (std::vector<std::string>{"Team.Inbound|1", "Team.Outbound.Old|1"}));
}

}  // namespace
}  // namespace mstest
