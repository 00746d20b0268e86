#include "foundation/Syncronize.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>

namespace KAVRO {
namespace detail {
namespace {

// A thread blocked in WaitForAnyHandle.
class ThreadWaiter final : public Waiter {
 public:
  void Fire() override {
    std::lock_guard<std::mutex> lock(mu_);
    fired_ = true;
    cv_.notify_one();
  }
  void Arm() {
    std::lock_guard<std::mutex> lock(mu_);
    fired_ = false;
  }
  // False on timeout.
  bool Sleep(bool forever, std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mu_);
    if (forever) {
      cv_.wait(lock, [this] { return fired_; });
      return true;
    }
    return cv_.wait_until(lock, deadline, [this] { return fired_; });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool fired_ = false;  // guarded by mu_
};

int TakeFirst(const std::vector<WaitHandle*>& handles) {
  for (size_t i = 0; i < handles.size(); ++i) {
    if (handles[i]->TryTake()) return static_cast<int>(i);
  }
  return -1;
}

}  // namespace

void WaitHandle::Set() {
  std::lock_guard<std::mutex> lock(mu_);
  set_ = true;
  for (Waiter* w : waiters_) w->Fire();
}

void WaitHandle::Reset() {
  std::lock_guard<std::mutex> lock(mu_);
  set_ = false;
}

bool WaitHandle::IsSet() {
  std::lock_guard<std::mutex> lock(mu_);
  return set_;
}

bool WaitHandle::TryTake() {
  std::lock_guard<std::mutex> lock(mu_);
  if (!set_) return false;
  if (!manual_reset_) set_ = false;
  return true;
}

void WaitHandle::AddWaiter(Waiter* waiter) {
  std::lock_guard<std::mutex> lock(mu_);
  waiters_.push_back(waiter);
}

void WaitHandle::RemoveWaiter(Waiter* waiter) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = std::find(waiters_.begin(), waiters_.end(), waiter);
  if (it != waiters_.end()) waiters_.erase(it);
}

WaiterRegistration::WaiterRegistration(const std::vector<WaitHandle*>& handles, Waiter* waiter)
    : handles_(handles), waiter_(waiter) {
  for (WaitHandle* h : handles_) h->AddWaiter(waiter_);
}

WaiterRegistration::~WaiterRegistration() {
  for (WaitHandle* h : handles_) h->RemoveWaiter(waiter_);
}

int WaitForAnyHandle(const std::vector<WaitHandle*>& handles, int64_t timeout_ms) {
  int index = TakeFirst(handles);
  if (index >= 0 || timeout_ms == 0) return index;
  const bool forever = timeout_ms < 0;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(forever ? 0 : timeout_ms);
  ThreadWaiter waiter;
  WaiterRegistration registration(handles, &waiter);
  for (;;) {
    // Arm before looking: a Set after the look fires the armed waiter, so no
    // signal falls between the look and the sleep.
    waiter.Arm();
    index = TakeFirst(handles);
    if (index >= 0) return index;
    if (!waiter.Sleep(forever, deadline)) return TakeFirst(handles);
  }
}

}  // namespace detail

Syncronize::Syncronize(bool manual_reset, bool initially_set)
    : handle_(std::make_unique<detail::WaitHandle>(manual_reset, initially_set)) {}

Syncronize::~Syncronize() = default;

bool Syncronize::Wait(int64_t timeout_ms) {
  if (!handle_) throw std::runtime_error("Invalid handle in Syncronize::Wait");
  return detail::WaitForAnyHandle({handle_.get()}, timeout_ms) == 0;
}

void Condition::Signal() {
  if (!handle_) throw std::runtime_error("Invalid handle in Condition::Signal");
  handle_->Set();
}

void Condition::UnSignal() {
  if (!handle_) throw std::runtime_error("Invalid handle in Condition::UnSignal");
  handle_->Reset();
}

bool Condition::IsSignalled() { return handle_ && handle_->IsSet(); }

void Event::Signal() {
  if (!handle_) throw std::runtime_error("Invalid handle in Event::Signal");
  handle_->Set();
}

size_t MultiWait::Add(Syncronize* object) {
  objects_.push_back(object);
  return objects_.size() - 1;
}

bool MultiWait::Remove(Syncronize* object) {
  auto it = std::find(objects_.begin(), objects_.end(), object);
  if (it == objects_.end()) return false;
  objects_.erase(it);
  return true;
}

void MultiWait::Clear() { objects_.clear(); }

int MultiWait::WaitIndex(int64_t timeout_ms) { return WaitForAny(objects_, timeout_ms); }

Syncronize* MultiWait::Wait(int64_t timeout_ms) {
  const int index = WaitIndex(timeout_ms);
  if (index < 0) return nullptr;
  if (static_cast<size_t>(index) >= objects_.size() || objects_[index] == nullptr) {
    throw std::runtime_error("Internal error in KAVRO::MultiWait");
  }
  return objects_[index];
}

int WaitForAny(const std::vector<Syncronize*>& objects, int64_t timeout_ms) {
  if (objects.empty()) {
    if (timeout_ms != 0) Condition().Wait(timeout_ms);
    return -1;
  }
  std::vector<detail::WaitHandle*> handles;
  handles.reserve(objects.size());
  for (Syncronize* object : objects) {
    detail::WaitHandle* h = object != nullptr ? object->GetHandle() : nullptr;
    if (h == nullptr) throw std::runtime_error("Internal error in KAVRO::MultiWait");
    handles.push_back(h);
  }
  return detail::WaitForAnyHandle(handles, timeout_ms);
}

}  // namespace KAVRO
