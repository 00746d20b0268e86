#include "entry/LoggedCall.h"

#include <pthread.h>

#include <exception>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "entry/MailStorageInsertLogger.h"
#include "log/Log.h"
#include "log/LogChannel.h"

namespace Nauvik {
namespace {
constexpr char kLogFilePattern[] = "MailStorage_$YEAR_$STRMONTH_$DAY.log";

// Loggers whose threads are parked between calls. A call takes one (or
// starts a new one when none is idle) and gives it back parked once it has
// written the call's lines, so the pool holds at most as many threads as
// calls ever ran at the same time.
class LoggerPool {
 public:
  LoggerPool() { pthread_atfork(&BeforeFork, &AfterForkInParent, &AfterForkInChild); }
  ~LoggerPool() { StopIdle(); }

  std::unique_ptr<MailStorageInsertLogger> Take(const std::string& directory, bool* logging) {
    std::unique_ptr<MailStorageInsertLogger> logger;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (!idle_.empty()) {
        logger = std::move(idle_.back());
        idle_.pop_back();
      }
    }
    if (logger && logger->ConfiguredDirectory() == directory && logger->Resume()) {
      *logging = true;
      return logger;
    }
    logger = std::make_unique<MailStorageInsertLogger>(directory, kLogFilePattern);
    logger->SetParking(true);
    *logging = logger->Start();
    return logger;
  }

  // Parks the logger (its drain done); one whose thread ended or never ran
  // is destroyed instead.
  void Give(std::unique_ptr<MailStorageInsertLogger> logger) {
    if (!logger->Park()) return;
    std::lock_guard<std::mutex> lock(mu_);
    idle_.push_back(std::move(logger));
  }

  // A child of fork has the parked loggers but none of their threads: a
  // call there would resume one and wait forever for its lines to be
  // written. The child forgets them (their threads cannot be stopped or
  // joined there) and starts loggers of its own. The pool's lock is held
  // across the fork so that the child never inherits it taken.
  static void BeforeFork();
  static void AfterForkInParent();
  static void AfterForkInChild();

  void StopIdle() {
    std::vector<std::unique_ptr<MailStorageInsertLogger>> stopping;
    {
      std::lock_guard<std::mutex> lock(mu_);
      stopping.swap(idle_);
    }
    stopping.clear();  // each destructor stops and joins its thread
  }

 private:
  std::mutex mu_;
  std::vector<std::unique_ptr<MailStorageInsertLogger>> idle_;  // guarded by mu_
};

// Destroyed when the library is unloaded or the process exits, which stops
// the parked threads.
LoggerPool& Loggers() {
  static LoggerPool pool;
  return pool;
}

void LoggerPool::BeforeFork() { Loggers().mu_.lock(); }
void LoggerPool::AfterForkInParent() { Loggers().mu_.unlock(); }
void LoggerPool::AfterForkInChild() {
  LoggerPool& pool = Loggers();
  for (auto& logger : pool.idle_) (void)logger.release();
  pool.idle_.clear();
  pool.mu_.unlock();
}

}  // namespace

int32_t RunLoggedCall(const std::string& log_directory, int32_t code_on_exception,
                      const std::function<int32_t()>& call) noexcept {
  int32_t result = code_on_exception;
  try {
    bool logging = false;
    std::unique_ptr<MailStorageInsertLogger> logger = Loggers().Take(log_directory, &logging);
    // The store turns every database failure into a code. What could still
    // come out (memory exhaustion, a thread that cannot be started) is
    // logged while the logger still runs.
    try {
      result = call();
    } catch (const std::exception& e) {
      Log(kLogError, true, std::string("AddMailToMailStore(): Unexpected exception: ") + e.what());
    } catch (...) {
      Log(kLogError, true, "AddMailToMailStore(): Unexpected exception.");
    }
    // Everything this call logged is in the channel; once it is empty the
    // brokers have taken it, and parking ours waits for its last line.
    // A logger that never started drains nothing: do not wait for it.
    if (logging) (void)GlobalLogChannel().WaitUntilEmpty(-1);
    Loggers().Give(std::move(logger));
  } catch (...) {
    // The logger itself could not be built: there is nowhere to log to.
  }
  return result;
}

void StopParkedLoggers() { Loggers().StopIdle(); }

}  // namespace Nauvik
