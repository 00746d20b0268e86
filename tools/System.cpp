#include "tools/System.h"

#include <dlfcn.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <climits>

namespace Nauvik::Import {
namespace {

// Lock-free, so the handler may set it; worker threads read it.
std::atomic<bool> g_interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void OnInterrupt(int) { g_interrupted = true; }

std::atomic<bool> g_paused{false};
void OnPause(int signal_number) { g_paused = signal_number == SIGUSR1; }

}  // namespace

bool StandardErrorIsTerminal() { return isatty(STDERR_FILENO) == 1; }

int TerminalWidth() {
  struct winsize ws {};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return 80;
}

void InstallInterruptHandler() {
  struct sigaction sa {};
  sa.sa_handler = OnInterrupt;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESETHAND;  // a second Ctrl-C ends the process at once
  sigaction(SIGINT, &sa, nullptr);
  sa.sa_flags = 0;
  sigaction(SIGTERM, &sa, nullptr);
}

bool InterruptRequested() { return g_interrupted.load(); }

void InstallPauseHandler() {
  struct sigaction sa {};
  sa.sa_handler = OnPause;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGUSR1, &sa, nullptr);
  sigaction(SIGUSR2, &sa, nullptr);
}

bool PauseRequested() { return g_paused.load(); }

std::string ExecutablePath() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "";
  return std::string(buf, static_cast<size_t>(n));
}

void SetEnvironment(const std::string& name, const std::string& value) {
  setenv(name.c_str(), value.c_str(), 1);
}

bool LoadMailStorageLibrary(const std::string& path, LibraryApi* api, std::string* error) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* text = dlerror();
    *error = text ? text : "dlopen failed";
    return false;
  }
  api->add = reinterpret_cast<AddMailToMailStoreFn>(dlsym(handle, "AddMailToMailStore"));
  api->close = reinterpret_cast<CloseDatabaseFn>(dlsym(handle, "CloseDatabase"));
  if (api->add == nullptr || api->close == nullptr) {
    *error = path + " does not export AddMailToMailStore and CloseDatabase";
    dlclose(handle);
    return false;
  }
  return true;
}

}  // namespace Nauvik::Import
