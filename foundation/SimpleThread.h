#pragma once

#include <pthread.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "foundation/Channel.h"
#include "foundation/Syncronize.h"

namespace KAVRO {

class SimpleThread;
template <>
struct ChannelCapacity<SimpleThread*> {
  static constexpr size_t kValue = 16;
};

// A worker thread with a cooperative stop protocol. Derived classes override
// Run, which watches StopRequest() (or waits on it with other objects) and
// returns when it is set. The object is itself waitable: waiting on it waits
// for the thread to end (the stopped event starts set, so waiting on a thread
// that never ran returns at once).
//
// Ownership: the object must outlive its thread. A derived class whose Run
// uses its own members must call Stop in its own destructor, because by the
// time this base destructor runs those members are gone.
//
// Forced termination (Stop with a timeout that runs out) uses pthread_cancel:
// the thread is stopped at its next cancellation point (a wait of this
// library, a blocking read, write, poll, accept, sleep, ...), its stack is
// unwound so destructors and catch (...) handlers run (they must rethrow),
// and it reports its end as usual. Stop returns only once that unwind is
// over and the thread is joined, so the owner may destroy what the thread
// used as soon as Stop returns; Stop must therefore not be called while
// holding anything the unwinding thread needs.
//
// What cancellation cannot stop: a thread that computes without reaching a
// cancellation point, one blocked where no cancellation point is (a
// std::mutex, a spin lock), and the thread's own end report (which runs with
// cancellation off). Stop then waits until the thread reaches a cancellation
// point or ends by itself.
//
// Thread-safe: Start, Stop, RequestStop, Wake, IsRunning and GetName may be
// called from any thread.
class SimpleThread : public Syncronize {
 public:
  using StartCallback = std::function<void(const std::string& name, int32_t thread_id)>;
  using EndCallback = std::function<void(const std::string& name, int32_t thread_id)>;
  using ExceptionCallback = std::function<void(const std::string& error_text,
                                               const std::string& name, int32_t thread_id)>;

  static constexpr int64_t kStartTimeoutMs = 30000;

  SimpleThread();
  ~SimpleThread() override;

  // A thread is not signalled by others; waiting on it waits for its end.
  void Signal() override {}
  detail::WaitHandle* GetHandle() override { return Syncronize::GetHandle(); }

  // Binds the end report to the channel and starts: when the thread ends it
  // puts its own pointer there (so an owner can collect finished threads).
  // The report is put without time limit while the thread holds its lock, so
  // the channel must have room or be read (Channel<SimpleThread*> holds 16);
  // signalling the channel's third condition releases a blocked report.
  virtual bool StartReporting(const ChannelAccess<SimpleThread*>& end_channel);
  // True once the new thread runs (at once if it runs already); false if it
  // cannot be created or does not begin within 30 seconds.
  virtual bool Start();
  virtual SimpleThread* StartAndReturn();
  // Requests a stop and waits up to timeout_ms (negative: no limit) for the
  // end; then cancels the thread and waits for its unwind (see the class
  // comment).
  virtual void Stop(int64_t timeout_ms);
  virtual void RequestStop();
  virtual bool IsRunning();
  virtual void Wake();

  std::string GetName();
  // The thread's id (gettid), -1 when no thread exists.
  int32_t GetThreadId();
  // The text of the exception that ended the thread; empty otherwise.
  std::string GetErrorText();

  // Set before Start; called on the new thread.
  void SetOnStart(StartCallback cb) { on_start_ = std::move(cb); }
  void SetOnEnd(EndCallback cb) { on_end_ = std::move(cb); }
  void SetOnException(ExceptionCallback cb) { on_exception_ = std::move(cb); }

  Condition& StopRequest() { return stop_request_; }
  Event& WakeEvent() { return wake_; }

 protected:
  // The thread's work. The base version reports that it was called directly.
  virtual void Run();
  virtual bool StartImpl();
  void SetName(const std::string& name);

  Condition stop_request_;
  Event wake_;

 private:
  static void* ThreadMain(void* self);
  void Body();
  void Finish();
  // Joins a finished (or cancelled) thread; guarded by join_mu_.
  void JoinThread();
  void SetStopped(bool stopped);

  StartCallback on_start_;
  EndCallback on_end_;
  ExceptionCallback on_exception_;

  std::mutex mu_;
  std::string name_;                         // guarded by mu_
  std::string error_text_;                   // guarded by mu_
  int32_t thread_id_ = -1;                   // guarded by mu_
  bool running_ = false;                     // guarded by mu_
  ChannelWriter<SimpleThread*> end_report_;  // guarded by mu_

  std::mutex join_mu_;
  pthread_t thread_{};       // guarded by join_mu_
  bool has_thread_ = false;  // guarded by join_mu_

  Condition started_;
};

// Writes text to standard error when MAILSTORAGE_DEBUG_OUTPUT is set in the
// environment (the debugger output of other platforms); otherwise nothing.
void DebugOutput(const std::string& text);

}  // namespace KAVRO
