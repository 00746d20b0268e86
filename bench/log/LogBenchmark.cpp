// Log throughput into a real daily file from several threads, and the cost of
// starting and stopping one broker (the entry point does both once per mail).
//
//   cmake --build <build> --target log_bench && <build>/bench/log/log_bench
#include <benchmark/benchmark.h>

#include <atomic>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "log/Log.h"
#include "log/LogBroker.h"
#include "log/LogChannel.h"

namespace {

using Nauvik::GlobalLogChannel;
using Nauvik::kLogInfo;

// The entry point's kind of logger: lines into the daily file.
class FileLogger final : public Nauvik::LogBroker {
 public:
  explicit FileLogger(const Nauvik::LogChannel& channel)
      : LogBroker("MailStorageInsertLogger", channel) {}
  ~FileLogger() override { Stop(-1); }
  uint64_t Written() const { return written_.load(); }

 protected:
  void WriteLine(int32_t level, const std::string& text) override {
    WriteToFile(level, "$YEAR$MONTH$DAY,$HOUR$MIN$SEC.$MSEC ",
                "MailStorage_$YEAR_$STRMONTH_$DAY.log", text);
    written_.fetch_add(1, std::memory_order_relaxed);
  }

 private:
  std::atomic<uint64_t> written_{0};
};

std::filesystem::path FreshDir(const char* what) {
  std::random_device rd;
  auto dir = std::filesystem::temp_directory_path() /
             (std::string("mailstorage-bench-") + what + "-" + std::to_string(rd()));
  std::filesystem::create_directories(dir);
  return dir;
}

// Writer threads each log a burst through Log(); the broker writes every line
// to the file (opened and closed per line, so other processes may move it). Reports
// the lines that reached the file per second and any the 5 ms put dropped.
void BM_LogLinesIntoFile(benchmark::State& state) {
  const int writers = static_cast<int>(state.range(0));
  constexpr int kLinesPerWriter = 2000;
  const auto dir = FreshDir("lines");
  Nauvik::SetLogLevel(kLogInfo);
  FileLogger logger(GlobalLogChannel());
  logger.Open(dir.string(), 0);
  const std::string text =
      "ImapMailStorage::AddMessageToFolder(): a log line of ordinary length for the benchmark";
  uint64_t logged = 0;
  for (auto _ : state) {
    std::vector<std::thread> threads;
    for (int w = 0; w < writers; ++w) {
      threads.emplace_back([&text] {
        for (int i = 0; i < kLinesPerWriter; ++i) Nauvik::Log(kLogInfo, true, text);
      });
    }
    for (auto& t : threads) t.join();
    Nauvik::WaitForLogChannelEmpty(-1);
    logged += static_cast<uint64_t>(writers) * kLinesPerWriter;
  }
  logger.Stop(-1);
  state.counters["lines"] =
      benchmark::Counter(static_cast<double>(logger.Written()), benchmark::Counter::kIsRate);
  state.counters["dropped"] = static_cast<double>(logged - logger.Written());
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_LogLinesIntoFile)
    ->Arg(1)
    ->Arg(2)
    ->Arg(4)
    ->Arg(8)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// Construct, open (thread start), stop and destroy one broker: the fixed
// cost every AddMailToMailStore call pays.
void BM_BrokerStartStop(benchmark::State& state) {
  const auto dir = FreshDir("startstop");
  for (auto _ : state) {
    FileLogger logger(GlobalLogChannel());
    logger.Open(dir.string(), 0);
  }
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_BrokerStartStop)->UseRealTime()->Unit(benchmark::kMicrosecond);

// The same with the entry point's two log lines written and waited for.
void BM_BrokerStartTwoLinesStop(benchmark::State& state) {
  const auto dir = FreshDir("twolines");
  Nauvik::SetLogLevel(kLogInfo);
  for (auto _ : state) {
    FileLogger logger(GlobalLogChannel());
    logger.Open(dir.string(), 0);
    Nauvik::Log(Nauvik::kLogStatus, true,
                "AddMailToMailStore(): Adding file x.eml to IMAP storage.");
    Nauvik::Log(Nauvik::kLogStatus, true, "AddMailToMailStore(): File added successfully.");
    Nauvik::WaitForLogChannelEmpty(-1);
  }
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_BrokerStartTwoLinesStop)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
