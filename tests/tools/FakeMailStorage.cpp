// libMailStorage.so's two exports without a database: each call is logged to
// FAKE_MAILSTORAGE_LOG, its bytes copied into FAKE_MAILSTORAGE_COPIES; it takes
// FAKE_MAILSTORAGE_DELAY_MS, raises SIGINT in call FAKE_MAILSTORAGE_INTERRUPT_AT,
// and answers "X-Fake-Result: 1004" (or "... 1001 once") when the mail asks.
// With FAKE_MAILSTORAGE_HOLD naming a FIFO, the first call opens it and reads
// it to its end: the test's open for writing returns once the run is inside
// that call, and the call goes on when the test closes its end.
// With FAKE_MAILSTORAGE_FORWARD naming the real library, every call goes to it
// first and the asked-for result replaces the real one afterwards: a call that
// did its work in the store and still reports a failure. A mail with
// "X-Fake-Other-Writer: FILE" has FILE linked into its folder right after it,
// as another writer would.

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "entry/MailStorage.h"
#include "entry/VersionNote.h"

namespace {

// The importer uses only a library of its own version; the test double
// claims the version it is built for.
MAILSTORAGE_VERSION_NOTE(MAILSTORAGE_VERSION);

std::mutex g_mu;
std::atomic<int> g_events{0};
std::atomic<int> g_calls{0};
std::set<std::string> g_failed_once;  // guarded by g_mu

std::string Env(const char* name) {
  const char* v = getenv(name);
  return v ? v : "";
}

void Append(const std::string& line) {
  if (Env("FAKE_MAILSTORAGE_LOG").empty()) return;
  std::lock_guard<std::mutex> lock(g_mu);
  std::ofstream(Env("FAKE_MAILSTORAGE_LOG"), std::ios::app | std::ios::binary) << line << '\n';
}

struct RealLibrary {
  AddMailToMailStoreFn add = nullptr;
  CloseDatabaseFn close = nullptr;
};

// Opened on first use and kept for the process's lifetime, as a host does.
const RealLibrary& Forward() {
  static const RealLibrary real = [] {
    RealLibrary r;
    const std::string path = Env("FAKE_MAILSTORAGE_FORWARD");
    if (path.empty()) return r;
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) return r;
    r.add = reinterpret_cast<AddMailToMailStoreFn>(dlsym(handle, "AddMailToMailStore"));
    r.close = reinterpret_cast<CloseDatabaseFn>(dlsym(handle, "CloseDatabase"));
    return r;
  }();
  return real;
}

std::string ThreadName() {
  return std::to_string(std::hash<std::thread::id>{}(std::this_thread::get_id()));
}

}  // namespace

extern "C" MAILSTORAGE_EXPORT int32_t AddMailToMailStore(const char* mail_file, const char* folder,
                                                         const char* user_id,
                                                         const char* company_id,
                                                         const char* internal_date, bool seen,
                                                         bool draft, bool use_views) {
  const int start = ++g_events;
  const int call = ++g_calls;
  const std::string name = std::to_string(getpid()) + "-" + std::to_string(call);
  std::ifstream in(mail_file, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (const std::string dir = Env("FAKE_MAILSTORAGE_COPIES"); !dir.empty()) {
    std::ofstream(dir + "/" + name + ".eml", std::ios::binary) << bytes;
  }
  if (Env("FAKE_MAILSTORAGE_INTERRUPT_AT") == std::to_string(call)) std::raise(SIGINT);
  if (const std::string hold = Env("FAKE_MAILSTORAGE_HOLD"); !hold.empty() && call == 1) {
    std::ifstream fifo(hold);
    std::string ignored((std::istreambuf_iterator<char>(fifo)), std::istreambuf_iterator<char>());
  }
  if (const std::string delay = Env("FAKE_MAILSTORAGE_DELAY_MS"); !delay.empty()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(delay)));
  }
  int32_t result = bytes.empty() ? 1023 : 0;
  if (Forward().add != nullptr) {
    result = Forward().add(mail_file, folder, user_id, company_id, internal_date, seen, draft,
                           use_views);
    // Another writer links the named file into the folder as soon as the call is done.
    if (const size_t other = bytes.find("X-Fake-Other-Writer: "); other != std::string::npos) {
      const size_t from = other + 21;
      std::string path = bytes.substr(from, bytes.find('\n', from) - from);
      if (!path.empty() && path.back() == '\r') path.pop_back();
      Forward().add(path.c_str(), folder, user_id, company_id, internal_date, seen, draft,
                    use_views);
    }
  }
  if (const size_t ask = bytes.find("X-Fake-Result: "); ask != std::string::npos) {
    const int code = std::atoi(bytes.c_str() + ask + 15);
    const bool once = bytes.compare(ask + 15 + std::to_string(code).size(), 5, " once") == 0;
    std::lock_guard<std::mutex> lock(g_mu);
    if (!once || g_failed_once.insert(bytes).second) result = code;
  }
  const int end = ++g_events;
  std::ostringstream line;
  line << "call\t" << name << '\t' << ThreadName() << '\t' << folder << '\t' << user_id << '\t'
       << company_id << '\t' << internal_date << '\t' << seen << '\t' << draft << '\t' << use_views
       << '\t' << bytes.size() << '\t' << start << '\t' << end << '\t' << result << '\t'
       << mail_file;
  Append(line.str());
  return result;
}

extern "C" MAILSTORAGE_EXPORT void CloseDatabase(void) {
  if (Forward().close != nullptr) Forward().close();
  Append("close\t" + ThreadName());
}
