#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "foundation/Syncronize.h"

namespace KAVRO {

class Socket;
class SocketRedirector;

// Bytes carried between a connection thread and its owner.
using ByteVector = std::vector<char>;

// Slots of a channel's holder, by value type. A value type not listed gets 5;
// a layer with its own message type specialises this template next to the
// type (the log message channel holds 100).
template <typename T>
struct ChannelCapacity {
  static constexpr size_t kValue = 5;
};
template <>
struct ChannelCapacity<ByteVector> {
  static constexpr size_t kValue = 1;  // one pending send buffer per connection
};

// Shared definitions of the channel family.
struct ChannelDefs {
  // Codes of a channel operation.
  static constexpr int32_t kDone = -4;       // the value was put or taken
  static constexpr int32_t kMustWait = -3;   // full (put) or empty (get)
  static constexpr int32_t kAbandoned = -2;  // the third condition fired while waiting
  static constexpr int32_t kTimedOut = -1;

  struct Result {
    bool success = false;
    int32_t code = kMustWait;
  };

  static constexpr const char* kNotBound =
      "Channel End object (ChannelReader or ChannelWriter) not bound";
};

// What every holder has: its three conditions and a name. The conditions are
// level-triggered: space available is set exactly while the holder has a free
// slot, data available exactly while it holds a value, so a waiter that looks
// and then waits cannot miss a change. The third condition is set by
// SignalThird (for example when the producer side is gone) and makes every
// operation that would have to wait return kAbandoned instead.
class ChannelCommonImpl : public ChannelDefs {
 public:
  ChannelCommonImpl() = default;
  virtual ~ChannelCommonImpl() = default;
  ChannelCommonImpl(const ChannelCommonImpl&) = delete;
  ChannelCommonImpl& operator=(const ChannelCommonImpl&) = delete;

  // value points at a T; flag is unused by these holders (kept for callers).
  virtual void _PutAlternative(Result* result, const void* value, bool flag) = 0;
  // target points at a T that receives the oldest value.
  virtual void _GetAlternative(Result* result, void* target) = 0;
  virtual Condition* SpaceAvailable() { return &space_available_; }
  virtual Condition* DataAvailable() { return &data_available_; }
  virtual Condition* ThirdCondition() { return &third_; }
  virtual void SignalThird() { third_.Signal(); }

  void SetName(const std::string& name) {
    std::lock_guard<std::mutex> lock(name_mu_);
    name_ = name;
  }
  std::string GetName() {
    std::lock_guard<std::mutex> lock(name_mu_);
    return name_;
  }

 protected:
  Condition space_available_;
  Condition data_available_;
  Condition third_;

 private:
  std::mutex name_mu_;
  std::string name_;  // guarded by name_mu_
};

// The bounded first-in-first-out store of one channel. Capacity 0 means no
// bound. Values are handed out in the order the puts completed, each to
// exactly one reader. Thread-safe for any number of readers and writers.
//
// The name is kept from the spin-locked list it once was; a plain mutex is
// held only for the push or pop of one value.
template <typename T>
class LowLockListChannelHolder final : public ChannelCommonImpl {
 public:
  explicit LowLockListChannelHolder(size_t capacity) : capacity_(capacity) {
    space_available_.Signal();
  }

  void _PutAlternative(Result* result, const void* value, bool /*flag*/) override {
    if (value == nullptr) {
      throw std::runtime_error("nullptr in LowLockListChannelHolder::_PutAlternative");
    }
    std::lock_guard<std::mutex> lock(mu_);
    if (capacity_ != 0 && values_.size() >= capacity_) {
      space_available_.UnSignal();
      *result = {false, kMustWait};
      return;
    }
    values_.push_back(*static_cast<const T*>(value));
    if (capacity_ != 0 && values_.size() >= capacity_) space_available_.UnSignal();
    data_available_.Signal();
    *result = {true, kDone};
  }

  void _GetAlternative(Result* result, void* target) override {
    if (target == nullptr) {
      throw std::runtime_error("nullptr in LowLockListChannelHolder::_GetAlternative");
    }
    std::unique_lock<std::mutex> lock(mu_);
    if (values_.empty()) {
      data_available_.UnSignal();
      *result = {false, kMustWait};
      return;
    }
    *static_cast<T*>(target) = std::move(values_.front());
    values_.pop_front();
    if (values_.empty()) {
      data_available_.UnSignal();
      empty_cv_.notify_all();
    }
    space_available_.Signal();
    *result = {true, kDone};
  }

  size_t Count() {
    std::lock_guard<std::mutex> lock(mu_);
    return values_.size();
  }
  size_t Capacity() const { return capacity_; }

  // True once the holder is empty, false when timeout_ms (negative: no
  // limit) runs out first.
  bool WaitUntilEmpty(int64_t timeout_ms) {
    std::unique_lock<std::mutex> lock(mu_);
    auto empty = [this] { return values_.empty(); };
    if (timeout_ms < 0) {
      empty_cv_.wait(lock, empty);
      return true;
    }
    return empty_cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), empty);
  }

 private:
  const size_t capacity_;
  std::mutex mu_;
  std::deque<T> values_;  // guarded by mu_
  std::condition_variable empty_cv_;
};

// A handle on a holder; copies share it. Unbound when it holds none.
template <typename T, typename Holder = LowLockListChannelHolder<T>>
class ChannelAccess : public ChannelDefs {
 public:
  bool IsBound() const { return holder_ != nullptr; }
  void Unbind() { holder_.reset(); }
  // The holder, for Alternative; throws the not-bound error when unbound.
  Holder* GetHolder() const {
    if (!holder_) throw std::runtime_error(kNotBound);
    return holder_.get();
  }
  const std::shared_ptr<Holder>& SharedHolder() const { return holder_; }

  size_t Count() const { return GetHolder()->Count(); }
  bool Empty() const { return Count() == 0; }
  bool WaitUntilEmpty(int64_t timeout_ms) const { return GetHolder()->WaitUntilEmpty(timeout_ms); }
  void SignalThird() const { GetHolder()->SignalThird(); }

 protected:
  ChannelAccess() = default;
  // Binding from an end or channel that holds nothing is an error.
  void BindFrom(const ChannelAccess& other) {
    if (!other.holder_) throw std::runtime_error(kNotBound);
    holder_ = other.holder_;
  }

  // Waits for op (a put or get attempt) to succeed, the third condition to
  // fire, or the time to run out.
  template <typename Attempt>
  Result Run(Condition* wait_on, int64_t timeout_ms, Attempt attempt) const {
    Holder* holder = GetHolder();
    const auto start = std::chrono::steady_clock::now();
    const std::vector<Syncronize*> objects = {wait_on, holder->ThirdCondition()};
    for (;;) {
      Result r;
      attempt(holder, &r);
      if (r.success) return r;
      int64_t left = timeout_ms;
      if (timeout_ms > 0) {
        const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - start)
                               .count();
        left = spent >= timeout_ms ? 0 : timeout_ms - spent;
      }
      if (left == 0) return {false, kTimedOut};
      const int fired = WaitForAny(objects, left);
      if (fired < 0) {
        // Timed out waiting: one last look, the condition may have been set
        // just at the deadline.
        attempt(holder, &r);
        return r.success ? r : Result{false, kTimedOut};
      }
      if (fired == 1 && !wait_on->IsSignalled()) return {false, kAbandoned};
    }
  }

  std::shared_ptr<Holder> holder_;
};

// Creates and owns (shares) a fresh holder.
template <typename T, typename Holder = LowLockListChannelHolder<T>>
class Channel : public ChannelAccess<T, Holder> {
 public:
  explicit Channel(size_t capacity = ChannelCapacity<T>::kValue) {
    this->holder_ = std::make_shared<Holder>(capacity);
  }
};

// The taking end.
template <typename T, typename Holder = LowLockListChannelHolder<T>>
class ChannelReader : public ChannelAccess<T, Holder> {
 public:
  using Result = ChannelDefs::Result;
  ChannelReader() = default;
  explicit ChannelReader(const ChannelAccess<T, Holder>& source) { this->BindFrom(source); }
  void Bind(const ChannelAccess<T, Holder>& source) { this->BindFrom(source); }

  // Takes the oldest value into *out, waiting up to timeout_ms (negative: no
  // limit; 0: no waiting) while the channel is empty. code: kDone,
  // kAbandoned or kTimedOut.
  Result GetResult(T* out, int64_t timeout_ms = -1) const {
    Holder* holder = this->GetHolder();
    return this->Run(holder->DataAvailable(), timeout_ms,
                     [out](Holder* h, Result* r) { h->_GetAlternative(r, out); });
  }
  bool Get(T* out, int64_t timeout_ms = -1) const { return GetResult(out, timeout_ms).success; }
};

// The putting end.
template <typename T, typename Holder = LowLockListChannelHolder<T>>
class ChannelWriter : public ChannelAccess<T, Holder> {
 public:
  using Result = ChannelDefs::Result;
  ChannelWriter() = default;
  explicit ChannelWriter(const ChannelAccess<T, Holder>& source) { this->BindFrom(source); }
  void Bind(const ChannelAccess<T, Holder>& source) { this->BindFrom(source); }

  // Puts a copy of value, waiting up to timeout_ms (negative: no limit; 0: no
  // waiting) while the channel is full. code: kDone, kAbandoned or kTimedOut.
  Result PutResult(const T& value, int64_t timeout_ms = -1, bool flag = false) const {
    Holder* holder = this->GetHolder();
    return this->Run(holder->SpaceAvailable(), timeout_ms,
                     [&value, flag](Holder* h, Result* r) { h->_PutAlternative(r, &value, flag); });
  }
  bool Put(const T& value, int64_t timeout_ms = -1) const {
    return PutResult(value, timeout_ms).success;
  }
};

// Waits on several channel operations and waitable objects at once and
// performs the first that can proceed. Guards are kept by index; the
// channels, values and objects are borrowed and must outlive the
// Alternative. One thread uses one Alternative.
class Alternative {
 public:
  static constexpr int kNoChannel = 0;
  static constexpr int kPut = 1;
  static constexpr int kGet = 2;

  // A plain waitable object (a thread's stop request, a thread, an event).
  void AddWaitable(int index, Syncronize* object) {
    guards_[index] = Guard{kNoChannel, nullptr, nullptr, false, object};
  }
  // Takes a value from the reader's channel into *target when selected.
  template <typename T, typename H>
  void AddGet(int index, const ChannelReader<T, H>& reader, T* target) {
    H* holder = reader.GetHolder();
    guards_[index] = Guard{kGet, holder, target, false, holder->DataAvailable()};
  }
  // Puts *value into the writer's channel when selected.
  template <typename T, typename H>
  void AddPut(int index, const ChannelWriter<T, H>& writer, const T* value, bool flag = false) {
    H* holder = writer.GetHolder();
    guards_[index] = Guard{kPut, holder, const_cast<T*>(value), flag, holder->SpaceAvailable()};
  }
  void Remove(int index) { guards_.erase(index); }
  void Clear() { guards_.clear(); }

  // Waits until a guard can proceed and executes it; returns its index, or -1
  // when timeout_ms (negative: no limit, 0: a poll) runs out. When several
  // can proceed, the lowest index wins.
  int Select(int64_t timeout_ms);

  // Performs the guard's operation; true when it was done (a plain waitable
  // is always done).
  bool Execute(int index);

 private:
  struct Guard {
    int cmd;
    ChannelCommonImpl* channel;
    void* value;
    bool flag;
    Syncronize* watch;
  };
  std::map<int, Guard> guards_;
};

}  // namespace KAVRO
