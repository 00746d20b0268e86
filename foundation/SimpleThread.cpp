#include "foundation/SimpleThread.h"

#include <cxxabi.h>
#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace KAVRO {
namespace {

// Cancellation stays off while the thread reports its end or an exception,
// so a late pthread_cancel cannot cut a report in half.
class NoCancel {
 public:
  NoCancel() { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old_); }
  ~NoCancel() { pthread_setcancelstate(old_, nullptr); }

 private:
  int old_ = PTHREAD_CANCEL_ENABLE;
};

}  // namespace

void DebugOutput(const std::string& text) {
  static const bool enabled = getenv("MAILSTORAGE_DEBUG_OUTPUT") != nullptr;
  if (enabled) fputs(text.c_str(), stderr);
}

SimpleThread::SimpleThread() : Syncronize(true, true) {}

SimpleThread::~SimpleThread() {
  while (IsRunning()) {
    RequestStop();
    bool has_thread;
    {
      std::lock_guard<std::mutex> lock(join_mu_);
      has_thread = has_thread_;
    }
    if (IsRunning() && has_thread) Syncronize::Wait(-1);
  }
  JoinThread();
  std::lock_guard<std::mutex> lock(mu_);
  end_report_.Unbind();
  name_.clear();
  error_text_.clear();
}

bool SimpleThread::StartReporting(const ChannelAccess<SimpleThread*>& end_channel) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    end_report_.Bind(end_channel);
  }
  return Start();
}

bool SimpleThread::Start() { return StartImpl(); }

SimpleThread* SimpleThread::StartAndReturn() {
  Start();
  return this;
}

bool SimpleThread::StartImpl() {
  if (IsRunning()) return true;
  {
    std::lock_guard<std::mutex> lock(mu_);
    running_ = false;
  }
  JoinThread();
  {
    std::lock_guard<std::mutex> lock(mu_);
    thread_id_ = -1;
    running_ = true;
  }
  started_.UnSignal();
  stop_request_.UnSignal();
  SetStopped(false);
  {
    std::lock_guard<std::mutex> lock(join_mu_);
    if (pthread_create(&thread_, nullptr, &SimpleThread::ThreadMain, this) != 0) {
      {
        std::lock_guard<std::mutex> state(mu_);
        running_ = false;
        thread_id_ = -1;
      }
      SetStopped(true);
      return false;
    }
    has_thread_ = true;
  }
  if (started_.Wait(kStartTimeoutMs)) return true;
  Stop(-1);
  JoinThread();
  {
    std::lock_guard<std::mutex> lock(mu_);
    thread_id_ = -1;
    running_ = false;
  }
  started_.UnSignal();
  stop_request_.UnSignal();
  SetStopped(true);
  return false;
}

void SimpleThread::Stop(int64_t timeout_ms) {
  RequestStop();
  {
    std::lock_guard<std::mutex> lock(join_mu_);
    if (!has_thread_) return;
  }
  if (IsRunning() && !Syncronize::Wait(timeout_ms)) {
    {
      std::lock_guard<std::mutex> lock(join_mu_);
      if (has_thread_) pthread_cancel(thread_);
    }
    // The cancelled thread still runs its destructors and handlers, which may
    // use members of the derived object; that object may go as soon as Stop
    // returns, so the unwind must be over first.
    JoinThread();
    std::lock_guard<std::mutex> state(mu_);
    running_ = false;
    return;
  }
  // The thread has reported its end: collect it now.
  if (GetHandle()->IsSet()) JoinThread();
}

void SimpleThread::RequestStop() {
  stop_request_.Signal();
  wake_.Signal();
}

bool SimpleThread::IsRunning() {
  std::lock_guard<std::mutex> lock(mu_);
  return running_;
}

void SimpleThread::Wake() { wake_.Signal(); }

std::string SimpleThread::GetName() {
  std::lock_guard<std::mutex> lock(mu_);
  return name_;
}

int32_t SimpleThread::GetThreadId() {
  std::lock_guard<std::mutex> lock(mu_);
  return thread_id_;
}

std::string SimpleThread::GetErrorText() {
  std::lock_guard<std::mutex> lock(mu_);
  return error_text_;
}

void SimpleThread::SetName(const std::string& name) {
  std::lock_guard<std::mutex> lock(mu_);
  name_ = name;
}

void SimpleThread::Run() {
  std::cout << "Internal Error: SimpleThread::Run is called directly by thread: " << GetName()
            << std::endl;
}

void SimpleThread::SetStopped(bool stopped) {
  if (stopped) {
    handle_->Set();
  } else {
    handle_->Reset();
  }
}

void SimpleThread::JoinThread() {
  std::lock_guard<std::mutex> lock(join_mu_);
  if (!has_thread_) return;
  pthread_join(thread_, nullptr);
  has_thread_ = false;
}

void* SimpleThread::ThreadMain(void* self) {
  static_cast<SimpleThread*>(self)->Body();
  return nullptr;
}

void SimpleThread::Body() {
  std::string name;
  int32_t id;
  {
    std::lock_guard<std::mutex> lock(mu_);
    running_ = true;
    error_text_.clear();
    thread_id_ = static_cast<int32_t>(gettid());
    name = name_;
    id = thread_id_;
  }
  SetStopped(false);
  started_.Signal();
  try {
    if (on_start_) on_start_(name, id);
    Run();
    if (on_end_) on_end_(name, id);
    DebugOutput("Thread " + name + " done\n");
  } catch (const std::exception& e) {
    NoCancel no_cancel;
    const std::string text = e.what();
    {
      std::lock_guard<std::mutex> lock(mu_);
      error_text_ = text;
    }
    if (on_exception_) {
      on_exception_(text, name, id);
    } else {
      std::cout << "exception killed thread: " << name << ": " << text << std::endl;
      DebugOutput("exception killed thread: " + name + ": " + text + "\n");
    }
  } catch (...) {
    if (abi::__cxa_current_exception_type() == nullptr) {
      // Not a C++ exception: the unwind of pthread_cancel from Stop. Report
      // the end, then let the unwind finish (it must not be swallowed).
      Finish();
      throw;
    }
    NoCancel no_cancel;
    {
      std::lock_guard<std::mutex> lock(mu_);
      running_ = false;
      error_text_ = "Unknown exception";
    }
    if (on_exception_) {
      on_exception_("Unknown exception", name, id);
    } else {
      std::cout << "Unknown Exception killed thread: " << name << std::endl;
      DebugOutput("Unknown Exception killed thread: " + name + "\n");
    }
  }
  Finish();
}

void SimpleThread::Finish() {
  NoCancel no_cancel;
  try {
    std::lock_guard<std::mutex> lock(mu_);
    // One locked section: an owner that sees the thread not running also
    // finds its end report.
    running_ = false;
    SetStopped(true);
    if (end_report_.IsBound()) end_report_.Put(this);
  } catch (...) {
    const std::string name = GetName();
    std::cout << "Exception related to Thread Cleanup and Self-Dead reporting for Thread: " << name
              << std::endl;
    DebugOutput("Exception related to Thread Cleanup and Self-Dead reporting for Thread: " + name +
                "\n");
    std::lock_guard<std::mutex> lock(mu_);
    running_ = false;
  }
  sched_yield();
}

}  // namespace KAVRO
