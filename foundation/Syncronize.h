#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace KAVRO {

namespace detail {

// Something that wants to hear when a handle becomes set: a thread blocked in
// a wait, or an eventfd that a poll loop watches. Fire runs under the
// handle's lock and must not block.
class Waiter {
 public:
  virtual void Fire() = 0;

 protected:
  ~Waiter() = default;
};

// The platform wait handle: a set/unset flag with manual or automatic reset,
// and the waiters currently registered on it. Thread-safe.
class WaitHandle {
 public:
  WaitHandle(bool manual_reset, bool initially_set)
      : manual_reset_(manual_reset), set_(initially_set) {}
  WaitHandle(const WaitHandle&) = delete;
  WaitHandle& operator=(const WaitHandle&) = delete;

  void Set();
  void Reset();
  bool IsSet();
  // True if set; an automatic-reset handle is reset by the taking.
  bool TryTake();
  void AddWaiter(Waiter* waiter);
  void RemoveWaiter(Waiter* waiter);

 private:
  const bool manual_reset_;
  std::mutex mu_;
  bool set_;                      // guarded by mu_
  std::vector<Waiter*> waiters_;  // guarded by mu_
};

// Registers one waiter on several handles for its own lifetime, so that a
// forced unwind of the waiting thread cannot leave a dangling registration.
class WaiterRegistration {
 public:
  WaiterRegistration(const std::vector<WaitHandle*>& handles, Waiter* waiter);
  ~WaiterRegistration();
  WaiterRegistration(const WaiterRegistration&) = delete;
  WaiterRegistration& operator=(const WaiterRegistration&) = delete;

 private:
  std::vector<WaitHandle*> handles_;
  Waiter* waiter_;
};

// Waits until one of the handles is set and takes it; the lowest position
// wins when several are set. Returns that position, or -1 when timeout_ms
// (negative: no limit, 0: just look) runs out.
int WaitForAnyHandle(const std::vector<WaitHandle*>& handles, int64_t timeout_ms);

}  // namespace detail

// Base of every waitable object (conditions, events, threads). Owns its wait
// handle. Waits are thread-safe; an object must outlive every wait on it.
class Syncronize {
 public:
  // Thrown when a wait finds an abandoned mutex. The objects of this library
  // are events only, so no wait here throws it; kept for the callers that
  // catch it. value: 0 from Wait, the fired object's index from MultiWait.
  struct AbandonedMutex {
    uint32_t value = 0;
  };

  virtual ~Syncronize();
  Syncronize(const Syncronize&) = delete;
  Syncronize& operator=(const Syncronize&) = delete;

  virtual void Signal() = 0;
  virtual detail::WaitHandle* GetHandle() { return handle_.get(); }

  // True when the object is (or becomes) signalled within timeout_ms
  // (negative: no limit; 0: no waiting). Waiting on an automatic-reset event
  // consumes its signal. Throws "Invalid handle in Syncronize::Wait" when the
  // object has no handle.
  bool Wait(int64_t timeout_ms);

 protected:
  Syncronize(bool manual_reset, bool initially_set);
  std::unique_ptr<detail::WaitHandle> handle_;
};

// Manual-reset event, created unsignalled: Signal sets it until UnSignal.
class Condition : public Syncronize {
 public:
  Condition() : Syncronize(true, false) {}
  void Signal() override;
  virtual void UnSignal();
  bool IsSignalled();
};

// Automatic-reset event, created unsignalled: one Signal releases one wait.
// Signals do not count: two Signals with no wait between release one wait.
class Event : public Syncronize {
 public:
  Event() : Syncronize(false, false) {}
  void Signal() override;
};

// Waits for whichever of several objects fires first. The objects are
// borrowed and must outlive the MultiWait's waits. Not thread-safe itself:
// one thread builds and waits on one MultiWait.
class MultiWait {
 public:
  // Adds an object; returns its index (the order of adding).
  size_t Add(Syncronize* object);
  // Removes the first entry of the object; false if it is not in the list.
  bool Remove(Syncronize* object);
  void Clear();
  size_t Size() const { return objects_.size(); }

  // The object that fired (lowest index first when several have), or nullptr
  // on timeout (negative: no limit). With no objects it sleeps for the
  // timeout (0: returns at once).
  Syncronize* Wait(int64_t timeout_ms);
  // As Wait, but the index of the object, -1 on timeout.
  int WaitIndex(int64_t timeout_ms);

 private:
  std::vector<Syncronize*> objects_;
};

// Waits on the given objects; see MultiWait::WaitIndex.
int WaitForAny(const std::vector<Syncronize*>& objects, int64_t timeout_ms);

}  // namespace KAVRO
