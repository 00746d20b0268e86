// libMailStorage.so's two exports without a database. Environment: FAKE_MAILSTORAGE_LOG
// (each call), _COPIES (its bytes), _DELAY_MS, _INTERRUPT_AT (SIGINT in that call), _HOLD
// (a FIFO read to its end in the first call), _FORWARD (the real library to call too).
// A mail asks for a result ("X-Fake-Result: 1004", or "... 1001 once"), and with
// _FORWARD "X-Fake-Other-Writer: FILE" links FILE right after it, as another writer would.

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "entry/MailStorage.h"
#include "entry/VersionNote.h"

namespace {

// The importer uses only a library of its own version.
MAILSTORAGE_VERSION_NOTE(MAILSTORAGE_VERSION);

std::mutex g_mu;
std::atomic<int> g_events{0};
std::atomic<int> g_calls{0};
std::set<std::string> g_failed_once;  // guarded by g_mu

std::string Env(const char* name) {
  const char* v = getenv(name);
  return v ? v : "";
}

std::string ReadAll(const std::string& path) {
  std::ostringstream bytes;
  bytes << std::ifstream(path, std::ios::binary).rdbuf();
  return bytes.str();
}

void Append(const std::string& line) {
  if (Env("FAKE_MAILSTORAGE_LOG").empty()) return;
  std::lock_guard<std::mutex> lock(g_mu);
  std::ofstream(Env("FAKE_MAILSTORAGE_LOG"), std::ios::app | std::ios::binary) << line << '\n';
}

// The real library's `symbol`, opened on first use and kept, as a host does.
void* Forward(const char* symbol) {
  static void* const handle = Env("FAKE_MAILSTORAGE_FORWARD").empty()
                                  ? nullptr
                                  : dlopen(Env("FAKE_MAILSTORAGE_FORWARD").c_str(), RTLD_NOW);
  return handle ? dlsym(handle, symbol) : nullptr;
}

// Unique across the runs of a test: thread ids repeat from one process to the next.
std::string ThreadName() {
  return std::to_string(getpid()) + ":" +
         std::to_string(std::hash<std::thread::id>{}(std::this_thread::get_id()));
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
  const std::string bytes = ReadAll(mail_file);
  if (const std::string dir = Env("FAKE_MAILSTORAGE_COPIES"); !dir.empty()) {
    std::ofstream(dir + "/" + name + ".eml", std::ios::binary) << bytes;
  }
  if (Env("FAKE_MAILSTORAGE_INTERRUPT_AT") == std::to_string(call)) std::raise(SIGINT);
  if (const std::string hold = Env("FAKE_MAILSTORAGE_HOLD"); !hold.empty() && call == 1) {
    ReadAll(hold);
  }
  if (const std::string delay = Env("FAKE_MAILSTORAGE_DELAY_MS"); !delay.empty()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(delay)));
  }
  int32_t result = bytes.empty() ? 1023 : 0;
  if (auto add = reinterpret_cast<AddMailToMailStoreFn>(Forward("AddMailToMailStore"))) {
    result = add(mail_file, folder, user_id, company_id, internal_date, seen, draft, use_views);
    if (const size_t other = bytes.find("X-Fake-Other-Writer: "); other != std::string::npos) {
      const size_t from = other + 21;
      const std::string path = bytes.substr(from, bytes.find_first_of("\r\n", from) - from);
      add(path.c_str(), folder, user_id, company_id, internal_date, seen, draft, use_views);
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
  if (auto close = reinterpret_cast<CloseDatabaseFn>(Forward("CloseDatabase"))) close();
  Append("close\t" + ThreadName());
}
