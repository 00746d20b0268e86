// Log, the broker with real files, and the live log over 127.0.0.1 (the socket layer's test).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "foundation/Socket.h"
#include "foundation/ThreadId.h"
#include "log/Log.h"
#include "log/LogBroker.h"
#include "log/LogChannel.h"
#include "tests/TestSupport.h"

namespace Nauvik {
namespace {

namespace fs = std::filesystem;
using mstest::FunctionThread;

// A file logger that records each line given; `stop_first` stops it before it reads the queue.
class RecordingLogger : public LogBroker {
 public:
  RecordingLogger(const std::string& name, const KAVRO::ChannelAccess<ChLog::CHLogMessage>& channel,
                  std::string pattern = "MailStorage_$YEAR_$STRMONTH_$DAY.log",
                  bool stop_first = false)
      : LogBroker(name, channel), pattern_(std::move(pattern)), stop_first_(stop_first) {}
  ~RecordingLogger() override { Stop(-1); }

  // The lines given, once the loop runs (lines < 0) or `lines` lines were given.
  std::vector<ChLog::CHLogMessage> WaitFor(int lines) {
    std::unique_lock<std::mutex> lock(mu_);
    EXPECT_TRUE(cv_.wait_for(lock, std::chrono::seconds(30), [&] {
      return lines < 0 ? loop_started_ : lines_.size() >= static_cast<size_t>(lines);
    })) << "waiting for " << lines << " lines";
    return lines_;
  }

 protected:
  void OnLoopStart() override {
    if (stop_first_) RequestStop();
    std::lock_guard<std::mutex> lock(mu_);
    loop_started_ = true;
    cv_.notify_all();
  }
  void WriteLine(int32_t level, const std::string& text) override {
    {
      std::lock_guard<std::mutex> lock(mu_);  // recorded first: attempts count when writes throw
      lines_.push_back({level, text});
      cv_.notify_all();
    }
    WriteToFile(level, "$YEAR$MONTH$DAY,$HOUR$MIN$SEC.$MSEC ", pattern_, text);
  }

 private:
  const std::string pattern_;
  const bool stop_first_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool loop_started_ = false;               // guarded by mu_
  std::vector<ChLog::CHLogMessage> lines_;  // guarded by mu_
};

// The lines of a file without their CR LF; a line without one fails the test.
std::vector<std::string> FileLines(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line); lines.push_back(line)) {
    EXPECT_TRUE(line.ends_with('\r')) << "no CR LF: " << line;
    if (line.ends_with('\r')) line.pop_back();
  }
  return lines;
}

std::vector<fs::path> FilesIn(const fs::path& dir) {
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(dir)) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  return files;
}

// Now in UTC, formatted apart from the library (%b: English in the C locale).
std::string UtcNow(const char* format) {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  char text[64];
  return std::string(text, std::strftime(text, sizeof text, format, std::gmtime(&now)));
}

// Four threads log "writer <w> line <n>", 100 messages: as many as the channel holds.
void LogRound(int round) {
  std::vector<std::thread> threads;
  for (int w = 0; w < 4; ++w) {
    threads.emplace_back([=] {
      for (int i = 0; i < 25; ++i) {
        Log(kLogInfo, true,
            "writer " + std::to_string(w) + " line " + std::to_string(round * 25 + i));
      }
    });
  }
  for (auto& t : threads) t.join();
}

// "YYYYMMDD,HHMMSS.mmm <LEVEL>: <thread id>: <text>" as "<LEVEL>|<text>".
std::string LevelAndText(const std::string& line) {
  char level[16];
  int stamp = 0, used = 0;  // the stamp's length; where the text starts
  if (std::sscanf(line.c_str(), "%*8[0-9],%*6[0-9].%*3[0-9]%n %15[^:]: %*[0-9]: %n", &stamp, level,
                  &used) != 1 ||
      stamp != 19 || used == 0) {
    return "unparsed: " + line;
  }
  return std::string(level) + "|" + line.substr(static_cast<size_t>(used));
}

// Each test starts at level INFO in a fresh directory and leaves the global channel empty.
class LogBrokerFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    SetLogLevel(kLogInfo);
    fs::create_directories(scratch_);
  }
  void TearDown() override {
    Take();
    fs::remove_all(scratch_);
  }
  std::vector<ChLog::CHLogMessage> Take() {  // what is in the process-wide channel
    std::vector<ChLog::CHLogMessage> taken;
    for (ChLog::CHLogMessage message; reader_.Get(&message, 0);) taken.push_back(message);
    return taken;
  }
  LogChannelReader reader_{GlobalLogChannel()};
  const fs::path scratch_ =
      fs::temp_directory_path() / ("mailstorage-log-" + std::to_string(std::random_device()()));
  LogChannel channel_{2000};
  LogChannelWriter writer_{channel_};
};

TEST_F(LogBrokerFiles, CheckedMessagesAboveTheLevelAreDroppedAndAFullChannelDropsNewOnes) {
  const struct {
    int32_t global, level;
    bool check, kept;
  } cases[] = {
      {kLogInfo, kLogError, true, true},  {kLogInfo, kLogInfo, true, true},
      {kLogInfo, 4, true, false},         {kLogInfo, kLogDebug, false, true},
      {kLogInfo, -1, true, true},  // never filtered
      {kLogError, kLogWarning, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.global << " " << c.level << " " << c.check);
    SetLogLevel(c.global);
    EXPECT_TRUE(!c.check || LogLevelAtLeast(c.level) == c.kept);
    Log(c.level, c.check, "text");
    const auto taken = Take();
    ASSERT_EQ(taken.size(), c.kept ? 1u : 0u);
    for (const auto& message : taken) EXPECT_EQ(message.level, c.level);
  }
  SetLogLevel(kLogInfo);
  // The text is prefixed with the calling thread's kernel id.
  pid_t id = 0;
  std::thread([&id] {
    id = gettid();
    Log(kLogError, true, "from a worker");
    Log(-3, true, "raw text");
  }).join();
  Log(kLogError, true, "main");
  std::vector<std::string> taken;
  for (const auto& m : Take()) taken.push_back(std::to_string(m.level) + "|" + m.text);
  const std::string error = std::to_string(kLogError) + "|";
  EXPECT_EQ(taken, (std::vector<std::string>{error + std::to_string(id) + ": from a worker",
                                             "-3|raw text",  // negative levels: no prefix
                                             error + std::to_string(getpid()) + ": main"}));

  // A full channel drops the new message after a short wait; a thread cancelled in that
  // wait must unwind (a swallowed cancellation aborts). The wait for empty wakes on the last Get.
  for (int i = 0; i < 100; ++i) Log(kLogInfo, true, "m" + std::to_string(i));
  std::atomic<int> calls{0};
  {
    FunctionThread thread([&calls](FunctionThread*) {
      for (;; ++calls) Log(kLogInfo, true, "no room");  // returns after its 5 ms wait
    });
    ASSERT_TRUE(thread.Start());
    while (calls.load() < 3) std::this_thread::yield();
    thread.Stop(0);
  }
  EXPECT_FALSE(WaitForLogChannelEmpty(0));
  // The reader empties the channel once this thread sleeps in the unbounded wait (or is back).
  const std::string state = "/proc/self/task/" + std::to_string(KAVRO::CurrentThreadId()) + "/stat";
  std::atomic<bool> back{false};
  std::vector<ChLog::CHLogMessage> got;
  std::thread reader([&] {
    while (!back && mstest::ReadFile(state).find(") S ") == std::string::npos) {
      std::this_thread::yield();
    }
    for (ChLog::CHLogMessage m; got.size() < 100 && reader_.Get(&m, 30000);) got.push_back(m);
  });
  EXPECT_TRUE(WaitForLogChannelEmpty(-1));
  back = true;
  EXPECT_TRUE(LogChannelEmpty());
  reader.join();
  ASSERT_EQ(got.size(), 100u);
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_NE(got[i].text.find(": m" + std::to_string(i)), std::string::npos) << i;
  }
}

// The entry point's flow. Log lines name mail files: whatever the umask, a new log file and
// its new directories are the owner's alone; an existing file keeps its mode. One broker keeps
// each writer's order; two brokers on the global channel (concurrent insertions) share one
// daily file: no line torn, lost or doubled, from a full channel on.
TEST_F(LogBrokerFiles, ConcurrentWritersIntoTheUtcDailyFileOwnersAlone) {
  const auto mode_of = [](const fs::path& path) { return fs::status(path).permissions(); };
  const std::string first_second = UtcNow("%Y%m%d,%H%M%S");
  const std::string first_day = UtcNow("MailStorage_%Y_%b_%d.log");
  const mode_t old_umask = umask(002);
  for (int brokers : {1, 2}) {
    SCOPED_TRACE(brokers);
    const std::string dir = scratch_.string() + "/" + std::to_string(brokers) + "/LogDir";
    {
      LogRound(0);
      EXPECT_EQ(GlobalLogChannel().Count(), 100u);
      std::vector<std::unique_ptr<RecordingLogger>> loggers;
      for (int b = 0; b < brokers; ++b) {
        loggers.push_back(
            std::make_unique<RecordingLogger>("MailStorageInsertLogger", GlobalLogChannel()));
        ASSERT_TRUE(loggers.back()->Open(dir, 0));  // missing levels
        EXPECT_EQ(loggers.back()->LogDirectory(), dir + "\\");
      }
      ASSERT_TRUE(WaitForLogChannelEmpty(30000));  // the file exists from the first line on
      EXPECT_EQ(mode_of(FilesIn(dir).at(0)), fs::perms(0600));
      ASSERT_EQ(chmod(FilesIn(dir)[0].c_str(), 0644), 0);
      Log(kLogStatus, true, "AddMailToMailStore(): Adding file a.eml");
      Log(kLogError, true, "AddMailToMailStore(): Error when adding file: x");
      Log(4, false, "level four");
      for (int round = 1; round < 10; ++round) {
        ASSERT_TRUE(WaitForLogChannelEmpty(30000));
        LogRound(round);
      }
    }  // stopped: every taken message is written
    EXPECT_EQ(mode_of(scratch_ / std::to_string(brokers)), fs::perms(0700));
    EXPECT_EQ(mode_of(dir), fs::perms(0700));
    const std::vector<fs::path> files = FilesIn(dir);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(mode_of(files[0]), fs::perms(0644));
    const std::string name = files[0].filename().string();
    EXPECT_TRUE(name == first_day || name == UtcNow("MailStorage_%Y_%b_%d.log")) << name;
    const std::string last_second = UtcNow("%Y%m%d,%H%M%S");
    std::vector<std::string> others;            // torn lines too
    std::map<int, std::vector<int>> sequences;  // per writer, its line numbers in file order
    for (const std::string& line : FileLines(files[0])) {
      EXPECT_GE(line.substr(0, 15), first_second);
      EXPECT_LE(line.substr(0, 15), last_second);
      int writer = 0, number = 0, used = 0;
      const std::string parsed = LevelAndText(line);
      if (std::sscanf(parsed.c_str(), "INFO|writer %d line %d%n", &writer, &number, &used) == 2 &&
          static_cast<size_t>(used) == parsed.size()) {
        sequences[writer].push_back(number);
      } else {
        others.push_back(parsed);
      }
    }
    std::sort(others.begin(), others.end());  // two brokers may swap them
    EXPECT_EQ(others, (std::vector<std::string>{
                          "4|level four", "ERROR|AddMailToMailStore(): Error when adding file: x",
                          "STATUS|AddMailToMailStore(): Adding file a.eml"}));
    ASSERT_EQ(sequences.size(), 4u);
    std::vector<int> all(250);
    for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<int>(i);
    for (auto& [writer, numbers] : sequences) {
      if (brokers == 2) std::sort(numbers.begin(), numbers.end());
      EXPECT_EQ(numbers, all) << "writer " << writer;
    }
  }
  umask(old_umask);
}

// A stop writes at most 1,000 queued lines and leaves the rest; each goes to the file named
// from its own stamp (what moves the daily file on at midnight), here to the millisecond.
TEST_F(LogBrokerFiles, StopDrainsUpToOneThousandEachToTheFileOfItsTime) {
  for (int i = 0; i < 1500; ++i) ASSERT_TRUE(writer_.Put({kLogInfo, std::to_string(i)}, 0));
  {
    RecordingLogger logger("TestLogger", channel_, "t_$YEAR$MONTH$DAY_$HOUR$MIN$SEC$MSEC.log",
                           true);
    ASSERT_TRUE(logger.Open(scratch_.string(), 0));
    ASSERT_TRUE(logger.Wait(60000));  // the thread ends by itself
    const auto lines = logger.WaitFor(0);
    ASSERT_EQ(lines.size(), 1000u);
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(lines[size_t(i)].text, std::to_string(i));
  }
  EXPECT_EQ(channel_.Count(), 500u);
  const auto files = FilesIn(scratch_);
  EXPECT_GE(files.size(), 2u);
  int total = 0;
  for (const fs::path& file : files) {
    const std::string name = file.filename().string();  // t_YYYYMMDD_HHMMSSmmm.log
    ASSERT_EQ(name.size(), 24u) << name;
    const std::string want =
        name.substr(2, 8) + "," + name.substr(11, 6) + "." + name.substr(17, 3);
    for (const std::string& line : FileLines(file)) {
      EXPECT_EQ(line.substr(0, 19), want) << name;
      ++total;
    }
  }
  EXPECT_EQ(total, 1000);
}

// A test's end of a connection, reading whole CR LF lines.
class Client {
 public:
  explicit Client(int port) : socket_("127.0.0.1", port) {}
  void Send(const std::string& text) { ASSERT_TRUE(socket_.SendAll(text.data(), text.size())); }
  // The next line with its CR LF; at the end of the stream what is left, "" when nothing.
  std::string ReadLine() {
    size_t scanned = 0;
    while (buffer_.find("\r\n", scanned) == std::string::npos) {
      scanned = buffer_.empty() ? 0 : buffer_.size() - 1;
      char chunk[65536];
      const long n = socket_.Receive(chunk, sizeof chunk);
      if (n <= 0) return n < 0 ? "receive failed" : std::exchange(buffer_, "");
      buffer_.append(chunk, static_cast<size_t>(n));
    }
    const size_t end = buffer_.find("\r\n", scanned) + 2;
    std::string line = buffer_.substr(0, end);
    buffer_.erase(0, end);
    return line;
  }

 private:
  KAVRO::SocketInit init_;
  KAVRO::SocketClient socket_;
  std::string buffer_;
};

// Each live line reaches every client connected, input is answered to its sender, a stop
// closes the clients. A second broker on the taken port, logging into a directory that cannot
// be made (a file is in the way: root ignores modes), reports both and keeps running.
TEST_F(LogBrokerFiles, LiveClientsGetLinesAndAnswersAndAreClosedOnStop) {
  std::unique_ptr<RecordingLogger> logger;
  uint16_t port = 0;
  fs::path dir;
  for (int attempt = 0; attempt < 50 && !logger; ++attempt) {  // random ports until one is free
    port = static_cast<uint16_t>(20000 + std::random_device()() % 30000);
    dir = scratch_ / std::to_string(port);
    logger = std::make_unique<RecordingLogger>("TestLogger", channel_);
    ASSERT_TRUE(logger->Open(dir.string(), port));
    if (!logger->WaitFor(-1).empty()) logger.reset();  // "Failed to start livelog: ..."
  }
  ASSERT_NE(logger, nullptr);
  const auto connect = [port] {
    auto client = std::make_unique<Client>(port);
    client->Send("level 8\r\n");
    EXPECT_EQ(client->ReadLine(), "Input Not Accepted\r\n");  // also: the broker has it
    return client;
  };
  auto a = connect();
  auto b = connect();
  ASSERT_TRUE(writer_.Put({kLogWarning, "\r\n"}, 30000));  // nothing to send live
  ASSERT_TRUE(writer_.Put({kLogWarning, "4412: Imap thing happened\r\n"}, 30000));
  EXPECT_EQ(a->ReadLine(), "4412: Imap thing happened\r\n");
  EXPECT_EQ(b->ReadLine(), "4412: Imap thing happened\r\n");
  a.reset();
  auto c = connect();
  ASSERT_TRUE(writer_.Put({kLogInfo, "4412: later"}, 30000));
  EXPECT_EQ(b->ReadLine(), "4412: later\r\n");
  EXPECT_EQ(c->ReadLine(), "4412: later\r\n");

  std::ofstream(scratch_ / "not-a-directory") << "x";
  const std::string unmade = scratch_.string() + "/not-a-directory/LogDir";
  const std::string report = "Exception in MailStorageInsertLogger logger: Cannot open for "
                             "writing file: " + unmade + "\\" +
                             UtcNow("MailStorage_%Y_%b_%d.log\r\n");
  LogChannel other;
  ::testing::internal::CaptureStdout();
  RecordingLogger second("MailStorageInsertLogger", other);
  ASSERT_TRUE(second.Open(unmade, port));
  ASSERT_TRUE(LogChannelWriter(other).Put({kLogInfo, "still logging"}, 30000));
  const auto reported = second.WaitFor(2);
  EXPECT_TRUE(second.IsRunning());
  second.Stop(-1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), report + report);
  ASSERT_EQ(reported.size(), 2u);
  EXPECT_EQ(reported[0].level, kLogError);
  EXPECT_EQ(reported[0].text, "Failed to start livelog: bind failed for server socket on port " +
                                  std::to_string(port) + ". Port occupied already?");
  EXPECT_EQ(reported[1].text, "still logging");
  // A 16 MB line, more than the sockets hold, still on its way at the stop: each client gets it.
  const std::string long_line(16 << 20, 'z');
  ASSERT_TRUE(writer_.Put({kLogInfo, long_line}, 30000));
  logger->WaitFor(4);  // handed to the clients first
  logger->RequestStop();
  const auto read_all = [&long_line](Client* client) {
    EXPECT_EQ(client->ReadLine(), long_line + "\r\n");
    EXPECT_EQ(client->ReadLine(), "");
  };
  std::thread read_b(read_all, b.get()), read_c(read_all, c.get());
  logger.reset();
  read_b.join();
  read_c.join();
  // The file keeps the text as given, its own CR LF included; the live line is trimmed.
  const auto lines = FileLines(FilesIn(dir).at(0));
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[2].substr(20), "WARNING: 4412: Imap thing happened");
  EXPECT_EQ(lines[3], "");
  EXPECT_EQ(lines[4].substr(20), "INFO: 4412: later");
}

}  // namespace
}  // namespace Nauvik
