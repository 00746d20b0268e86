#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "foundation/Files.h"
#include "tests/TestSupport.h"
#include "tests/foundation/FileHooks.h"

namespace KAVRO {
namespace {

using mstest::g_files;
using Strings = std::vector<std::string>;

// A fresh directory under the build tree (or /tmp), removed afterwards.
class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* base = getenv("MS_BINARY_DIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/files-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr) << SystemErrorText();
    dir_ = pattern;
  }
  void TearDown() override { ASSERT_EQ(system(("rm -rf '" + dir_ + "'").c_str()), 0); }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  void WriteText(const std::string& path, const std::string& text) {
    ASSERT_EQ(WriteFileDurably(path, text.data(), text.size()), DurableWrite::kDone) << path;
  }

  std::string dir_;
  mstest::HookedFiles hooks_;
};

TEST_F(FilesTest, DirectoriesSyncTheParentsOfNewLevelsAndTakeTheHostDirectorysModes) {
  // Mixed separators as the log and blob code build them; the plain call never syncs.
  const std::string deep = dir_ + "\\logs/a\\b";
  EXPECT_TRUE(CreateDirectoryPath(deep));
  EXPECT_TRUE(IsDirectory(Path("logs/a/b")));
  EXPECT_TRUE(IsDirectoryWritable(deep));
  // A file in the way: the level cannot be made, nothing below it is tried.
  EXPECT_TRUE(g_files.synced.empty());
  WriteText(Path("blocker"), "x");  // a durable file write syncs its directory
  EXPECT_EQ(g_files.synced, (Strings{Path("blocker"), dir_}));
  g_files.synced.clear();
  EXPECT_FALSE(CreateDirectoryPath(Path("blocker/c/d")));
  EXPECT_FALSE(FileExists(Path("blocker/c")));
  EXPECT_FALSE(IsDirectoryWritable(Path("none")));

  // Only the parents of missing levels are synced, each once, top down.
  EXPECT_TRUE(CreateDirectoryPathDurably(dir_ + "/logs\\2026\\12\\"));
  EXPECT_TRUE(IsDirectory(Path("logs/2026/12")));
  EXPECT_EQ(g_files.synced, (Strings{Path("logs"), Path("logs/2026")}));
  g_files.synced.clear();
  EXPECT_TRUE(CreateDirectoryPathDurably(dir_ + "/logs\\2026\\11"));
  EXPECT_TRUE(CreateDirectoryPathDurably(dir_ + "/logs\\2026\\11"));
  EXPECT_EQ(g_files.synced, (Strings{Path("logs/2026")}));

  // A failed sync fails the call with its errno and stops before the next level.
  g_files.sync_fails = [&](const std::string& dir) { return dir == Path("logs/2025"); };
  errno = 0;
  EXPECT_FALSE(CreateDirectoryPathDurably(Path("logs/2025/01/02")));
  EXPECT_EQ(errno, EIO);
  EXPECT_TRUE(IsDirectory(Path("logs/2025/01")));
  EXPECT_FALSE(FileExists(Path("logs/2025/01/02")));

  // A relative path: the working directory is the parent of its first level.
  g_files.synced.clear();
  char old_cwd[4096];
  ASSERT_NE(getcwd(old_cwd, sizeof old_cwd), nullptr);
  ASSERT_EQ(chdir(dir_.c_str()), 0);
  EXPECT_TRUE(CreateDirectoryPathDurably("relative\\x"));
  ASSERT_EQ(chdir(old_cwd), 0);
  EXPECT_TRUE(IsDirectory(Path("relative/x")));
  EXPECT_EQ(g_files.synced, (Strings{".", "relative"}));

  // SyncDirectory itself needs a directory.
  EXPECT_TRUE(SyncDirectory(dir_ + "\\"));
  errno = 0;
  EXPECT_FALSE(SyncDirectory(Path("blocker")));
  EXPECT_EQ(errno, ENOTDIR);

  // Whatever the umask, new entries are the owner's only unless the host directory is
  // shared with a group.
  const gid_t group = geteuid() == 0 ? 4242 : getegid();  // a group to share with
  const struct {
    mode_t host, file, directory;
    bool shared;
  } cases[] = {
      {0700, 0600, 0700, false},  {0755, 0600, 0700, false},   // others may enter: not shared
      {02770, 0660, 02770, true}, {02775, 0660, 02770, true},  // setgid: shared, others never
      {0750, 0640, 0750, true},   {0710, 0600, 0710, true},
  };
  const mode_t old_umask = umask(022);
  for (const auto& c : cases) {
    const std::string host = Path("host" + std::to_string(c.host));
    SCOPED_TRACE(host);
    ASSERT_EQ(mkdir(host.c_str(), 0700), 0);
    ASSERT_EQ(chown(host.c_str(), static_cast<uid_t>(-1), group), 0);
    ASSERT_EQ(chmod(host.c_str(), c.host), 0);
    const gid_t expected_group = c.shared ? group : getegid();

    const CreationModes modes = CreationModesBelow(host);
    ASSERT_TRUE(CreateDirectoryPathDurably(host + "\\a\\b", modes));
    ASSERT_EQ(WriteFileDurably(host + "\\a\\b\\1.blb", "x", 1, modes), DurableWrite::kDone);
    ASSERT_TRUE(OpenForAppend(host + "/a/log", modes).Valid());
    ASSERT_TRUE(CreateFileIfMissing(host + "/a/journal", modes));
    for (const char* entry : {"/a", "/a/b", "/a/b/1.blb", "/a/log", "/a/journal"}) {
      struct stat st;
      ASSERT_EQ(stat((host + entry).c_str(), &st), 0) << entry;
      const bool file = S_ISREG(st.st_mode);
      EXPECT_EQ(st.st_mode & 07777, file ? c.file : c.directory) << entry;
      EXPECT_EQ(st.st_gid, expected_group) << entry;
      EXPECT_TRUE(!file || ReadableByOthers(host + entry) == ((c.file & 0040) != 0)) << entry;
    }
    // What exists keeps its mode (a rewritten blob is set again; the log test holds appends).
    ASSERT_EQ(chmod((host + "/a/journal").c_str(), 0604), 0);
    ASSERT_TRUE(CreateFileIfMissing(host + "/a/journal", modes));
    EXPECT_EQ(std::filesystem::status(host + "/a/journal").permissions(),
              std::filesystem::perms(0604));
  }
  umask(old_umask);
  // The defaults are owner only; a missing directory shares nothing.
  const CreationModes missing = CreationModesBelow(Path("missing"));
  EXPECT_EQ(std::tuple(missing.file, missing.directory, missing.group),
            std::tuple(0600u, 0700u, static_cast<gid_t>(-1)));
  EXPECT_FALSE(ReadableByOthers(Path("missing")));
}

// Appends and durable writes go out in pieces, at the end; short writes
// continue, failures stop. A file whose bytes all went out but that could not
// be synced is told apart from one that was not written.
TEST_F(FilesTest, WritesInPiecesShortWritesContinueFailuresStop) {
  std::string big(40000000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 4096);
  ASSERT_EQ(WriteFileDurably(Path("big"), big.data(), big.size()), DurableWrite::kDone);
  EXPECT_EQ(g_files.pieces, (std::vector<size_t>{16000000, 16000000, 8000000}));
  EXPECT_EQ(g_files.synced, (Strings{Path("big"), dir_}));

  const std::string file = Path("blob");
  UniqueFd fd = UniqueFd::Open(file, O_RDWR | O_CREAT);
  ASSERT_TRUE(fd.Valid());
  EXPECT_TRUE(fcntl(fd.Get(), F_GETFD) & FD_CLOEXEC);
  g_files.pieces.clear();
  EXPECT_FALSE(AppendToFile(fd.Get(), 0, "x"));
  EXPECT_TRUE(g_files.pieces.empty());
  ASSERT_TRUE(AppendToFile(fd.Get(), 3, "abc"));
  ASSERT_EQ(lseek(fd.Get(), 0, SEEK_SET), 0);  // appending ignores the position
  g_files.pieces.clear();
  ASSERT_TRUE(AppendToFile(fd.Get(), big.size(), big.data()));
  EXPECT_EQ(g_files.pieces, (std::vector<size_t>{16000000, 16000000, 8000000}));
  EXPECT_TRUE(mstest::ReadFile(Path("big")) == big);  // no 40 MB texts in a failure
  EXPECT_TRUE(mstest::ReadFile(file) == "abc" + big);

  g_files.short_limit = 1000;
  g_files.pieces.clear();
  ASSERT_TRUE(AppendToFile(fd.Get(), 2500, big.data()));
  EXPECT_EQ(g_files.pieces, (std::vector<size_t>{1000, 1000, 500}));
  ASSERT_TRUE(WriteAll(fd.Get(), big.data(), 1500));  // continues after short writes too
  EXPECT_EQ(FileSize(file), 40004003u);

  g_files.write_errno = ENOSPC;
  errno = 0;
  EXPECT_FALSE(AppendToFile(fd.Get(), 10, "0123456789"));
  EXPECT_EQ(errno, ENOSPC);
  EXPECT_EQ(WriteFileDurably(Path("g"), "abc", 3), DurableWrite::kNotWritten);
  EXPECT_EQ(errno, ENOSPC);
  g_files.write_errno = 0;
  g_files.write_zero = true;
  EXPECT_FALSE(AppendToFile(fd.Get(), 10, "0123456789"));
  EXPECT_EQ(FileSize(file), 40004003u);
  g_files.write_zero = false;
  g_files.short_limit = 0;

  // A failed fsync of the file, then a failed sync of its directory.
  for (const bool directory_fails : {false, true}) {
    g_files.fsync_errno = directory_fails ? 0 : EIO;
    g_files.sync_fails = [&](const std::string& dir) { return directory_fails && dir == dir_; };
    errno = 0;
    EXPECT_EQ(WriteFileDurably(Path("unsynced"), "abc", 3), DurableWrite::kNotSynced);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(mstest::ReadFile(Path("unsynced")), "abc");
  }
}

TEST_F(FilesTest, MapEmptyMissingAndLargeFiles) {
  const std::string file = Path("a.txt");
  EXPECT_EQ(FileSize(file), 0u);
  EXPECT_FALSE(FileExists(file));
  EXPECT_FALSE(DeleteFile(file));
  WriteText(file, "hello");
  EXPECT_EQ(FileSize(file), 5u);
  EXPECT_EQ(FileSize(dir_), 0u);  // a directory has no file size
  EXPECT_TRUE(FileExists(dir_));

  EXPECT_TRUE(DeleteFile(dir_ + "\\a.txt"));  // "\" paths: converted at the system call
  EXPECT_FALSE(DeleteFile(file));
  errno = 0;
  EXPECT_EQ(WriteFileDurably(Path("missing/d.blb"), "x", 1), DurableWrite::kNotWritten);
  EXPECT_EQ(errno, ENOENT);

  EXPECT_EQ(OsPath("\\2026\\3\\4\\7\\5\\123456.blb"), "/2026/3/4/7/5/123456.blb");
  // The log directory's base, beside the executable, and a log file's directory.
  EXPECT_EQ(ExecutablePath(), std::filesystem::canonical("/proc/self/exe").string());
  EXPECT_EQ(DirectoryOf("/usr/bin/host", true), "/usr/bin\\");
  EXPECT_EQ(DirectoryOf("/var/log\\x.log", false), "/var/log");

  // Neither mapped nor read into memory: a missing or empty file, a directory.
  MMFile map;
  std::string bytes = "stale";
  WriteText(Path("empty"), "");
  for (const std::string& path : {Path("missing"), Path("empty"), dir_}) {
    EXPECT_FALSE(map.Open(path)) << path;
    EXPECT_EQ(ReadWholeFile(path, 1000, &bytes), WholeRead::kFailed) << path;
    EXPECT_EQ(bytes, "") << path;
  }

  // 300 MB, sparse, with markers at both ends.
  const uint64_t size = 300ULL * 1000 * 1000;
  {
    UniqueFd fd = UniqueFd::Open(Path("large"), O_RDWR | O_CREAT);
    ASSERT_TRUE(fd.Valid());
    ASSERT_EQ(ftruncate(fd.Get(), static_cast<off_t>(size)), 0);
    ASSERT_EQ(pwrite(fd.Get(), "HEAD", 4, 0), 4);
    ASSERT_EQ(pwrite(fd.Get(), "TAIL", 4, static_cast<off_t>(size - 4)), 4);
  }
  ASSERT_TRUE(map.Open(dir_ + "\\large"));
  ASSERT_EQ(map.Size(), size);
  EXPECT_EQ(memcmp(map.View(), "HEAD", 4), 0);
  EXPECT_EQ(memcmp(map.View() + size - 4, "TAIL", 4), 0);

  // Moving hands the mapping over; reopening a missing file closes the old.
  MMFile moved = std::move(map);
  EXPECT_EQ(map.View(), nullptr);
  EXPECT_EQ(moved.Size(), size);
  EXPECT_FALSE(moved.Open(Path("missing")) || moved.IsOpen());

  // A file cut short after its size was taken gives nothing rather than a prefix.
  EXPECT_EQ(ReadWholeFile(Path("large"), size - 1, &bytes), WholeRead::kLarger);
  WriteText(Path("small"), "0123456789");
  ASSERT_EQ(ReadWholeFile(Path("small"), 10, &bytes), WholeRead::kRead);
  EXPECT_EQ(bytes, "0123456789");
  UniqueFd fd = UniqueFd::Open(Path("small"), O_RDONLY);
  ASSERT_TRUE(fd.Valid());
  EXPECT_TRUE(ReadExactly(fd.Get(), 2, 8, &bytes));
  EXPECT_EQ(bytes, "23456789");
  ASSERT_EQ(truncate(Path("small").c_str(), 6), 0);
  errno = 0;
  EXPECT_FALSE(ReadExactly(fd.Get(), 0, 10, &bytes));
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(bytes, "");
}

}  // namespace
}  // namespace KAVRO
