#pragma once

// The file layer's write, fsync and directory sync as tests see them: each call
// is recorded, done for real, and fails on request.

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "foundation/Files.h"

namespace mstest {

struct FileHooks {
  std::vector<size_t> pieces;  // the length of each write
  size_t short_limit = 0;      // when set, a write takes at most this much
  int write_errno = 0;         // when set, every write fails with it
  bool write_zero = false;
  int fsync_errno = 0;  // when set, every file fsync fails with it
  // Synced files and directories in order, directories without a trailing "/".
  std::vector<std::string> synced;
  std::function<bool(const std::string&)> sync_fails;  // which directory syncs fail
  std::function<void()> on_sync;                       // runs before each sync
};
inline FileHooks g_files;

// Installs the hooks with fresh settings while it lives.
class HookedFiles {
 public:
  HookedFiles() {
    g_files = {};
    KAVRO::SetWriteFunctionForTesting(&Write);
    KAVRO::SetFsyncFunctionForTesting(&Fsync);
    KAVRO::SetSyncDirectoryFunctionForTesting(&Sync);
  }
  ~HookedFiles() {
    KAVRO::SetWriteFunctionForTesting(nullptr);
    KAVRO::SetFsyncFunctionForTesting(nullptr);
    KAVRO::SetSyncDirectoryFunctionForTesting(nullptr);
  }

 private:
  static ssize_t Write(int fd, const void* data, size_t len) {
    errno = g_files.write_errno;
    if (errno != 0) return -1;
    if (g_files.write_zero) return 0;
    if (g_files.short_limit != 0) len = std::min(len, g_files.short_limit);
    g_files.pieces.push_back(len);
    return ::write(fd, data, len);
  }
  static int Fsync(int fd) {
    if (g_files.on_sync) g_files.on_sync();
    g_files.synced.push_back(std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd)));
    errno = g_files.fsync_errno;
    return errno == 0 ? ::fsync(fd) : -1;
  }
  static bool Sync(const std::string& path) {
    std::string clean = KAVRO::OsPath(path);
    while (clean.size() > 1 && clean.back() == '/') clean.pop_back();
    const bool fail = g_files.sync_fails && g_files.sync_fails(clean);
    if (g_files.on_sync) g_files.on_sync();
    g_files.synced.push_back(clean);
    if (!fail) return KAVRO::SyncDirectory(path);
    errno = EIO;
    return false;
  }
};

}  // namespace mstest
