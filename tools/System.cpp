#include "tools/System.h"

#include <dlfcn.h>
#include <link.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstring>

#include "entry/VersionNote.h"

namespace Nauvik::Import {
namespace {

// Lock-free, so the handler may set it; worker threads read it.
std::atomic<bool> g_interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void OnInterrupt(int) { g_interrupted = true; }

// The version in the MailStorage note of the object that `handle` names, read
// from its mapped PT_NOTE segments: the copy the loader chose, whichever file
// name led to it. "" when it carries no such note.
std::string LoadedVersion(void* handle) {
  struct link_map* map = nullptr;
  if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) return "";
  struct Search {
    const struct link_map* map;
    std::string version;
  } search{map, ""};
  dl_iterate_phdr(
      [](struct dl_phdr_info* info, size_t, void* data) {
        auto* s = static_cast<Search*>(data);
        if (info->dlpi_addr != s->map->l_addr || info->dlpi_name == nullptr ||
            std::strcmp(info->dlpi_name, s->map->l_name) != 0) {
          return 0;
        }
        for (int i = 0; i < info->dlpi_phnum; ++i) {
          const ElfW(Phdr)& ph = info->dlpi_phdr[i];
          if (ph.p_type != PT_NOTE) continue;
          const char* p = reinterpret_cast<const char*>(info->dlpi_addr + ph.p_vaddr);
          const char* end = p + ph.p_memsz;
          while (end - p >= 12) {
            uint32_t head[3];
            std::memcpy(head, p, sizeof head);
            const size_t name = (head[0] + 3u) & ~3u, text = (head[1] + 3u) & ~3u;
            if (static_cast<size_t>(end - p) < 12 + name + text) break;
            if (head[2] == kVersionNoteType && head[0] == sizeof kVersionNoteName &&
                std::memcmp(p + 12, kVersionNoteName, sizeof kVersionNoteName) == 0) {
              s->version.assign(p + 12 + name, strnlen(p + 12 + name, head[1]));
              return 1;
            }
            p += 12 + name + text;
          }
        }
        return 1;
      },
      &search);
  return search.version;
}
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
  // A peer that went away is an error of the write that meets it: SSL_write
  // has no MSG_NOSIGNAL, and a dropped IMAP session must not end the run.
  signal(SIGPIPE, SIG_IGN);
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
  // Another version may take the same arguments and mean something else by
  // them or by its results; only the library this tool was built with is used.
  const std::string version = LoadedVersion(handle);
  if (version != MAILSTORAGE_VERSION) {
    *error = path + " is " +
             (version.empty() ? "no libMailStorage (it carries no version)"
                              : "libMailStorage " + version) +
             ", this tool needs version " MAILSTORAGE_VERSION;
    dlclose(handle);
    return false;
  }
  return true;
}

}  // namespace Nauvik::Import
