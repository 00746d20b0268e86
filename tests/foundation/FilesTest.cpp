#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/Files.h"

namespace KAVRO {
namespace {

// A fresh directory under the build tree (or /tmp), removed afterwards.
class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* base = getenv("MS_BINARY_DIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/files-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr) << SystemErrorText();
    dir_ = pattern;
  }
  void TearDown() override {
    if (!dir_.empty()) {
      ASSERT_EQ(system(("rm -rf '" + dir_ + "'").c_str()), 0);
    }
  }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  void WriteText(const std::string& path, const std::string& text) {
    ASSERT_TRUE(WriteFileDurably(path, text.data(), text.size())) << path;
  }
  std::string ReadText(const std::string& path) {
    MMFile map;
    if (!map.Open(path)) return "";
    return std::string(map.Bytes());
  }

  std::string dir_;
};

TEST(FilePaths, PureTextHelpers) {
  EXPECT_EQ(OsPath("\\2026\\3\\4\\7\\5\\123456.blb"), "/2026/3/4/7/5/123456.blb");
  EXPECT_EQ(OsPath("/data/x\\y"), "/data/x/y");

  const struct {
    const char* path;
    const char* dir;
    const char* dir_sep;
  } dirs[] = {
      {"C:\\logs/x.log", "C:\\logs", "C:\\logs\\"},
      {"x.log", "", ""},
      {"/usr/bin/host", "/usr/bin", "/usr/bin\\"},
      {"a\\b\\", "a\\b", "a\\b\\"},
      {"/x.log", "", ""},
      {"a//x", "a/", "a/"},
  };
  for (const auto& c : dirs) {
    EXPECT_EQ(DirectoryOf(c.path, false), c.dir) << c.path;
    EXPECT_EQ(DirectoryOf(c.path, true), c.dir_sep) << c.path;
  }

  const std::pair<const char*, bool> absolute[] = {
      {"/a", true},  {"\\a", true},  {"C:\\a", true}, {"C:/a", true},
      {"C:", false}, {"a/b", false}, {"", false},     {"\\\\server\\share", true},
  };
  for (const auto& [path, want] : absolute) EXPECT_EQ(IsAbsolutePath(path), want) << path;

  std::string text;
  EnsureTrailingSeparator(&text);
  EXPECT_EQ(text, "");
  for (const char* ends : {"a\\", "a/"}) {
    text = ends;
    EnsureTrailingSeparator(&text);
    EXPECT_EQ(text, ends);
  }
  text = "a";
  EnsureTrailingSeparator(&text);
  EXPECT_EQ(text, "a\\");

  using V = std::vector<std::string>;
  EXPECT_EQ(Split("", ",", true), V{});
  EXPECT_EQ(Split("a,,b,", ",", false), (V{"a", "b"}));
  EXPECT_EQ(Split("a,,b,", ",", true), (V{"a", "", "b", ""}));
  EXPECT_EQ(Split("\\x/y\\\\z", "\\/", false), (V{"x", "y", "z"}));
  EXPECT_EQ(Split("abc", ",", false), (V{"abc"}));
}

TEST(FileErrors, TextsComeFromTheSystem) {
  EXPECT_EQ(SystemErrorText(ENOENT), "No such file or directory");
  errno = EACCES;
  EXPECT_EQ(LastErrorText(), "Permission denied");
  errno = ENOSPC;
  EXPECT_EQ(SystemErrorText(), "No space left on device");
}

TEST(FileErrors, ExecutablePathIsThisProgram) {
  const std::string self = ExecutablePath();
  ASSERT_FALSE(self.empty());
  EXPECT_EQ(self.front(), '/');
  char* real = realpath("/proc/self/exe", nullptr);
  ASSERT_NE(real, nullptr);
  EXPECT_EQ(self, real);
  free(real);
}

TEST_F(FilesTest, SizeExistsDeleteCopy) {
  const std::string file = Path("a.txt");
  EXPECT_EQ(FileSize(file), 0u);
  EXPECT_FALSE(FileExists(file));
  EXPECT_FALSE(DeleteFile(file));
  WriteText(file, "hello");
  EXPECT_EQ(FileSize(file), 5u);
  EXPECT_TRUE(FileExists(file));
  EXPECT_EQ(FileSize(dir_), 0u);  // a directory has no file size
  EXPECT_TRUE(FileExists(dir_));

  // Copy through "\" paths: the file layer converts at the system call.
  std::string copy = dir_ + "\\copy.txt";
  EXPECT_TRUE(CopyFile(file, copy));
  EXPECT_EQ(ReadText(Path("copy.txt")), "hello");
  WriteText(file, "hi");
  EXPECT_TRUE(CopyFile(file, copy));  // replaces
  EXPECT_EQ(ReadText(Path("copy.txt")), "hi");
  EXPECT_FALSE(CopyFile(Path("missing"), copy));
  EXPECT_FALSE(CopyFile(file, Path("no/such/dir/x")));

  EXPECT_TRUE(DeleteFile(copy));
  EXPECT_FALSE(FileExists(Path("copy.txt")));
  EXPECT_FALSE(DeleteFile(copy));
}

TEST_F(FilesTest, CreateDirectoryPathLevelByLevel) {
  // Mixed separators as the log and blob code build them.
  const std::string deep = dir_ + "\\logs/a\\b";
  EXPECT_TRUE(CreateDirectoryPath(deep));
  EXPECT_TRUE(IsDirectory(Path("logs")));
  EXPECT_TRUE(IsDirectory(Path("logs/a/b")));
  EXPECT_TRUE(IsDirectoryWritable(deep));
  EXPECT_TRUE(CreateDirectoryPath(deep));  // exists already

  // A file in the way: the level cannot be made, nothing below it is tried.
  WriteText(Path("blocker"), "x");
  EXPECT_FALSE(CreateDirectoryPath(Path("blocker/c/d")));
  EXPECT_FALSE(FileExists(Path("blocker/c")));
  EXPECT_FALSE(IsDirectoryWritable(Path("blocker")));
  EXPECT_FALSE(IsDirectoryWritable(Path("none")));

  // A relative path is created below the working directory.
  char old_cwd[4096];
  ASSERT_NE(getcwd(old_cwd, sizeof old_cwd), nullptr);
  ASSERT_EQ(chdir(dir_.c_str()), 0);
  EXPECT_TRUE(CreateDirectoryPath("rel\\x/y"));
  EXPECT_TRUE(IsDirectory(Path("rel/x/y")));
  ASSERT_EQ(chdir(old_cwd), 0);

  if (geteuid() != 0) {  // root may write anywhere
    ASSERT_EQ(chmod(Path("logs").c_str(), 0555), 0);
    EXPECT_FALSE(IsDirectoryWritable(Path("logs")));
    EXPECT_FALSE(CreateDirectoryPath(Path("logs/new/deeper")));
    ASSERT_EQ(chmod(Path("logs").c_str(), 0755), 0);
  }
}

std::vector<std::string>* g_synced = nullptr;
std::string g_sync_fails_for;

// Records each synced directory without its trailing separator, then syncs it
// for real (or fails with EIO for the chosen one).
bool RecordingSync(const std::string& path) {
  std::string clean = OsPath(path);
  while (clean.size() > 1 && clean.back() == '/') clean.pop_back();
  g_synced->push_back(clean);
  if (clean == g_sync_fails_for) {
    errno = EIO;
    return false;
  }
  return SyncDirectory(path);
}

TEST_F(FilesTest, CreateDirectoryPathDurablySyncsParentsOfNewLevels) {
  std::vector<std::string> synced;
  g_synced = &synced;
  g_sync_fails_for.clear();
  SetSyncDirectoryFunctionForTesting(&RecordingSync);
  struct Restore {
    ~Restore() {
      SetSyncDirectoryFunctionForTesting(nullptr);
      g_synced = nullptr;
    }
  } restore;

  // Blob-style path with "\" levels: only the parents of the levels that
  // were missing are synced, each once, from the top down.
  ASSERT_TRUE(CreateDirectoryPath(Path("store")));
  EXPECT_TRUE(CreateDirectoryPathDurably(dir_ + "/store\\2026\\12\\"));
  EXPECT_TRUE(IsDirectory(Path("store/2026/12")));
  EXPECT_EQ(synced, (std::vector<std::string>{Path("store"), Path("store/2026")}));

  // A sibling below an existing level syncs only its own parent; a path that
  // is complete syncs nothing.
  synced.clear();
  EXPECT_TRUE(CreateDirectoryPathDurably(dir_ + "/store\\2026\\11"));
  EXPECT_EQ(synced, (std::vector<std::string>{Path("store/2026")}));
  synced.clear();
  EXPECT_TRUE(CreateDirectoryPathDurably(dir_ + "/store\\2026\\11"));
  EXPECT_TRUE(synced.empty());

  // The plain variant never syncs.
  EXPECT_TRUE(CreateDirectoryPath(Path("plain/a")));
  EXPECT_TRUE(synced.empty());

  // A failed sync fails the call with its errno and stops before the next level.
  g_sync_fails_for = Path("store/2025");
  errno = 0;
  EXPECT_FALSE(CreateDirectoryPathDurably(Path("store/2025/01/02")));
  EXPECT_EQ(errno, EIO);
  EXPECT_TRUE(IsDirectory(Path("store/2025/01")));
  EXPECT_FALSE(FileExists(Path("store/2025/01/02")));

  // A relative path's first level has the working directory as its parent.
  synced.clear();
  g_sync_fails_for.clear();
  char old_cwd[4096];
  ASSERT_NE(getcwd(old_cwd, sizeof old_cwd), nullptr);
  ASSERT_EQ(chdir(dir_.c_str()), 0);
  EXPECT_TRUE(CreateDirectoryPathDurably("relative\\x"));
  ASSERT_EQ(chdir(old_cwd), 0);
  EXPECT_EQ(synced, (std::vector<std::string>{".", "relative"}));

  // A file in the way fails as before, without syncing.
  synced.clear();
  WriteText(Path("blocker"), "x");
  EXPECT_FALSE(CreateDirectoryPathDurably(Path("blocker/c")));
  EXPECT_TRUE(synced.empty());
}

TEST_F(FilesTest, SyncDirectoryNeedsADirectory) {
  EXPECT_TRUE(SyncDirectory(dir_));
  EXPECT_TRUE(SyncDirectory(dir_ + "\\"));
  errno = 0;
  EXPECT_FALSE(SyncDirectory(Path("missing")));
  EXPECT_EQ(errno, ENOENT);
  WriteText(Path("file"), "x");
  errno = 0;
  EXPECT_FALSE(SyncDirectory(Path("file")));
  EXPECT_EQ(errno, ENOTDIR);
}

std::vector<size_t>* g_pieces = nullptr;
size_t g_short_limit = 0;
int g_fail_errno = 0;
bool g_write_zero = false;

ssize_t RecordingWrite(int fd, const void* data, size_t len) {
  if (g_fail_errno != 0) {
    errno = g_fail_errno;
    return -1;
  }
  if (g_write_zero) return 0;
  if (g_short_limit != 0 && len > g_short_limit) len = g_short_limit;
  g_pieces->push_back(len);
  return ::write(fd, data, len);
}

class AppendTest : public FilesTest {
 protected:
  void SetUp() override {
    FilesTest::SetUp();
    g_pieces = &pieces_;
    g_short_limit = 0;
    g_fail_errno = 0;
    g_write_zero = false;
    SetWriteFunctionForTesting(&RecordingWrite);
  }
  void TearDown() override {
    SetWriteFunctionForTesting(nullptr);
    g_pieces = nullptr;
    FilesTest::TearDown();
  }
  std::vector<size_t> pieces_;
};

TEST_F(AppendTest, WritesInPiecesAtTheEnd) {
  const std::string file = Path("blob");
  UniqueFd fd = UniqueFd::Open(file, O_RDWR | O_CREAT);
  ASSERT_TRUE(fd.Valid());
  EXPECT_TRUE(fcntl(fd.Get(), F_GETFD) & FD_CLOEXEC);

  EXPECT_FALSE(AppendToFile(fd.Get(), 0, "x"));
  EXPECT_TRUE(pieces_.empty());

  ASSERT_TRUE(AppendToFile(fd.Get(), 3, "abc"));
  std::vector<char> big(40000000);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 4096);
  ASSERT_EQ(lseek(fd.Get(), 0, SEEK_SET), 0);  // appending ignores the position
  pieces_.clear();
  ASSERT_TRUE(AppendToFile(fd.Get(), big.size(), big.data()));
  EXPECT_EQ(pieces_, (std::vector<size_t>{16000000, 16000000, 8000000}));

  MMFile map;
  ASSERT_TRUE(map.Open(file));
  ASSERT_EQ(map.Size(), 40000003u);
  EXPECT_EQ(memcmp(map.View(), "abc", 3), 0);
  EXPECT_EQ(memcmp(map.View() + 3, big.data(), big.size()), 0);
}

TEST_F(AppendTest, ShortWritesContinueFailuresStop) {
  const std::string file = Path("f");
  UniqueFd fd = UniqueFd::Open(file, O_RDWR | O_CREAT);
  ASSERT_TRUE(fd.Valid());
  g_short_limit = 1000;
  std::string data(4500, 'q');
  ASSERT_TRUE(AppendToFile(fd.Get(), data.size(), data.data()));
  EXPECT_EQ(pieces_, (std::vector<size_t>{1000, 1000, 1000, 1000, 500}));
  EXPECT_EQ(FileSize(file), 4500u);
  ASSERT_TRUE(WriteAll(fd.Get(), "xyz", 3));  // WriteAll continues after short writes too

  g_fail_errno = ENOSPC;
  errno = 0;
  EXPECT_FALSE(AppendToFile(fd.Get(), 10, "0123456789"));
  EXPECT_EQ(errno, ENOSPC);
  EXPECT_FALSE(WriteFileDurably(Path("g"), "abc", 3));
  EXPECT_EQ(errno, ENOSPC);
  g_fail_errno = 0;
  g_write_zero = true;
  EXPECT_FALSE(AppendToFile(fd.Get(), 10, "0123456789"));
  EXPECT_EQ(FileSize(file), 4503u);
}

TEST_F(FilesTest, WriteFileDurablyCreatesAndTruncates) {
  const std::string file = dir_ + "\\d.blb";
  ASSERT_TRUE(WriteFileDurably(file, "first version", 13));
  ASSERT_TRUE(WriteFileDurably(file, "second", 6));
  EXPECT_EQ(ReadText(Path("d.blb")), "second");
  errno = 0;
  EXPECT_FALSE(WriteFileDurably(Path("missing/d.blb"), "x", 1));
  EXPECT_EQ(errno, ENOENT);
}

TEST_F(FilesTest, MapEmptyMissingAndLargeFiles) {
  MMFile map;
  EXPECT_FALSE(map.Open(Path("missing")));
  EXPECT_EQ(map.View(), nullptr);
  EXPECT_EQ(map.Size(), 0u);

  WriteText(Path("empty"), "");
  EXPECT_FALSE(map.Open(Path("empty")));
  EXPECT_FALSE(map.Open(dir_));  // a directory is no file

  // 300 MB, sparse, with markers at both ends.
  const std::string large = Path("large");
  const uint64_t size = 300ULL * 1000 * 1000;
  {
    UniqueFd fd = UniqueFd::Open(large, O_RDWR | O_CREAT);
    ASSERT_TRUE(fd.Valid());
    ASSERT_EQ(ftruncate(fd.Get(), static_cast<off_t>(size)), 0);
    ASSERT_EQ(pwrite(fd.Get(), "HEAD", 4, 0), 4);
    ASSERT_EQ(pwrite(fd.Get(), "TAIL", 4, static_cast<off_t>(size - 4)), 4);
  }
  ASSERT_TRUE(map.Open(dir_ + "\\large"));
  ASSERT_EQ(map.Size(), size);
  EXPECT_EQ(memcmp(map.View(), "HEAD", 4), 0);
  EXPECT_EQ(memcmp(map.View() + size - 4, "TAIL", 4), 0);
  EXPECT_EQ(map.View()[size / 2], 0);

  // Moving hands the mapping over; reopening a missing file closes the old.
  MMFile moved = std::move(map);
  EXPECT_EQ(map.View(), nullptr);
  EXPECT_EQ(moved.Size(), size);
  EXPECT_FALSE(moved.Open(Path("missing")));
  EXPECT_FALSE(moved.IsOpen());

  uint32_t part = 4;
  const unsigned char* view = MapFileForReading(large, &part);
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(part, 4u);
  EXPECT_EQ(memcmp(view, "HEAD", 4), 0);
  munmap(const_cast<unsigned char*>(view), part);
}

}  // namespace
}  // namespace KAVRO
