#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "blob/BlobUtils.h"
#include "foundation/Files.h"
#include "foundation/NTime.h"
#include "tests/blob/BlobTestSupport.h"
#include "tests/foundation/FileHooks.h"

namespace Nauvik {
namespace {

using namespace Nauvik::testing;  // NOLINT: test helpers only

// Host ids of this binary; no other test uses 80001-80099.
constexpr int64_t kHostA = 80001, kHostB = 80002, kHostC = 80003, kHostOther = 80004;
constexpr int64_t kHostOffline = 80005, kHostFull = 80006, kHostBroken = 80007;

std::string Pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 2654435761u) >> 13);
  return bytes;
}

size_t FilesBelow(const std::string& dir) {
  size_t n = 0;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir)) n += e.is_regular_file();
  return n;
}

bool RecordIs(int64_t id, const std::string& condition) {
  return CountRows("NS_FILESTORAGE",
                   "FIS_FILESTORAGEID = " + std::to_string(id) + " AND " + condition) == 1;
}

// The ordinary path, on whatever hosts the store has.
TEST(BlobRoundTrip, BytesComeBackUnchangedThroughViewsAndBaseTables) {
  KAVRO::NTime t(uint64_t{0});
  ASSERT_TRUE(t.FromFields({2026, 3, 0, 4, 7, 5, 59, 999}));
  EXPECT_EQ(BlobUtils::PathToFile(t), "\\2026\\3\\4\\7\\5\\");  // UTC, no leading zeros
  // {use views, size, file type, creator}
  for (const auto& [use_views, size, type, creator] :
       {std::tuple<bool, size_t, int, int>{true, 1, 11, 11}, {false, 5000001, 21, 46}}) {
    SCOPED_TRACE(size);
    const std::string bytes = Pattern(size);
    BlobUtils blob(use_views);
    int64_t id = -1;
    ASSERT_EQ(blob.InsertBlob(bytes.data(), static_cast<uint32_t>(size), type, creator, &id),
              kBlobOk)
        << blob.LastError();
    // Stored with "\" whatever the platform.
    EXPECT_TRUE(RecordIs(id, "FIS_SIZE = " + std::to_string(size) +
                                 " AND FIS_CREATEDBY = " + std::to_string(creator) +
                                 " AND FIT_FILETYPEID = " + std::to_string(type) +
                                 " AND STRPOS(FIS_LOCATION, '/') = 0"));
    std::string path;
    ASSERT_EQ(blob.GetBlobFileName(id, &path), kBlobOk) << blob.LastError();
    EXPECT_TRUE(path.ends_with("\\" + std::to_string(id) + ".blb")) << path;
    KAVRO::MMFile mapped;
    ASSERT_EQ(blob.GetBlobMapping(id, &mapped), kBlobOk) << blob.LastError();
    EXPECT_TRUE(mapped.Bytes() == bytes);
    ASSERT_EQ(blob.DeleteBlob(id, 11), kBlobOk) << blob.LastError();
    EXPECT_FALSE(KAVRO::FileExists(path));
    EXPECT_TRUE(RecordIs(id, "FIS_DELETEDBY = 11 AND FSH_FILESTORAGEHOSTID IS NULL"));
    EXPECT_EQ(blob.GetBlobFileName(id, &path), kBlobNoSuchRecord);
  }
}

class IsolatedBlobTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = StoreDir() + "/blob-tests/" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::filesystem::remove_all(dir_);
    for (const char* n : {"a", "b", "c", "other"}) std::filesystem::create_directories(Path(n));
    std::ofstream(Path("plainfile")) << "not a directory";
  }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  TestHost Host(int64_t id, const std::string& name, int online = 1, int writable = 1,
                int category = 0) const {
    return TestHost{id, Path(name), online, writable, category};
  }
  std::string dir_;
};

TEST_F(IsolatedBlobTest, HostChoiceRotatesOverCategoryZeroAndSkipsOfflineAndFullHosts) {
  IsolatedHosts hosts({Host(kHostA, "a"), Host(kHostB, "b"), Host(kHostC, "c"),
                       Host(kHostOther, "other", 1, 1, 5), Host(kHostOffline, "offline", 0, 1),
                       Host(kHostFull, "full", 1, 0)});
  BlobUtils blob(true);
  // The three category-0 hosts tie on the sort key: the database's row order
  // shows once the host moved to key 0 is put back into its gap, key (id mod 3) + 1.
  std::vector<int64_t> row_order;
  std::set<int64_t> first;
  for (int64_t id : {10, 11, 12}) {
    SCOPED_TRACE(id);
    StorageHostList list;
    ASSERT_EQ(blob.GetNextFileStorageHost(id, &list), kBlobOk) << blob.LastError();
    // Online writable hosts only; the category-5 one after the three of category 0.
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(*list.rbegin(), (StorageHostList::value_type{4, {kHostOther, Path("other")}}));
    const uint32_t gap = static_cast<uint32_t>(id % 3) + 1;
    ASSERT_EQ(list.count(gap), 0u) << "the first host was not taken from key " << gap;
    const auto row = [&](uint32_t key) { return list.at(key == gap ? 0 : key).first; };
    const std::vector<int64_t> order{row(1), row(2), row(3)};
    if (row_order.empty()) row_order = order;
    EXPECT_EQ(order, row_order);  // so the first host is row (id mod 3)
    first.insert(list.at(0).first);
  }
  EXPECT_EQ(first, (std::set<int64_t>{kHostA, kHostB, kHostC}));  // consecutive ids spread
}

// The first working host takes the blob; when none is left, no file and no record remain.
// Root ignores file modes: a host path below a regular file cannot be made. Creator 999 is
// no file creator: its record is refused, the connection closed (ending the isolating
// transaction) and the file goes again; the rows after it work on a fresh connection.
TEST_F(IsolatedBlobTest, InsertFindsAWorkingHostOrWritesNothing) {
  const std::string store = "BlobUtils::StoreInBestStorage(): ",
                    no_dir = "Unable to create directory: ";
  // {hosts, code, host of the record, last error starts with, last log line starts with}
  // clang-format off
  const std::tuple<std::vector<TestHost>, int32_t, int64_t, std::string, std::string> cases[] = {
      {{Host(kHostOffline, "offline", 0, 1), Host(kHostFull, "full", 1, 0)}, kBlobNoWritableHost,
       0, "Unable to get storage hosts. Aborting insert.", ""},
      {{Host(kHostBroken, "plainfile/1"), Host(kHostBroken + 1, "plainfile/2")}, kBlobWriteFailed,
       0, no_dir, store + "Failed to write on all available storage hosts! 2"},
      {{Host(kHostA, "a")}, kBlobDatabaseError, 0, "Database Error: ", ""},
      {{Host(kHostOther, "other", 1, 1, 5), Host(kHostFull, "full", 1, 0)}, kBlobOk, kHostOther, "",
       "BlobUtils::GetNextFileStorageHost(): Failed to locate storage host with requested "
       "category: 0 for file storage id: "},
      {{Host(kHostBroken, "plainfile/h"), Host(kHostB, "b", 1, 1, 1)}, kBlobOk, kHostB,
       no_dir + Path("plainfile/h") + "\\", store + "File " + Path("b") + "\\"},
  };
  // clang-format on
  for (const auto& [host_list, code, host, error_head, log_head] : cases) {
    SCOPED_TRACE(host_list[0].path);
    IsolatedHosts hosts(host_list);
    BlobUtils blob(true);
    const std::string bytes = Pattern(4096);
    int64_t id = 9;
    LogCapture log(kLogWarning);
    const int creator = code == kBlobDatabaseError ? 999 : 11;
    EXPECT_EQ(blob.InsertBlob(bytes.data(), 4096, 11, creator, &id), code);
    EXPECT_TRUE(error_head.empty() ? blob.LastError().empty()
                                   : blob.LastError().starts_with(error_head))
        << blob.LastError();
    const Lines lines = log.Take();
    EXPECT_TRUE(log_head.empty() || (!lines.empty() && lines.back().second.starts_with(log_head)));
    if (code != kBlobOk) {
      EXPECT_EQ(id, 0);
      EXPECT_EQ(FilesBelow(dir_), 1u);  // only the plain file
      EXPECT_EQ(CountRows("NS_FILESTORAGE", "FSH_FILESTORAGEHOSTID BETWEEN 80001 AND 80099"), 0);
      continue;
    }
    EXPECT_TRUE(RecordIs(id, "FSH_FILESTORAGEHOSTID = " + std::to_string(host)));
    std::string path;
    ASSERT_EQ(blob.GetBlobFileName(id, &path), kBlobOk);
    EXPECT_EQ(mstest::ReadFile(KAVRO::OsPath(path)), bytes);
  }
}

// Which step of getting a blob onto the disk fails in a case of the test below.
enum class Fail { kNothing, kWrite, kFileSync, kDirectorySync, kParentSync };

// Each new date directory is synced into its parent, then the blob file, then its
// directory, all before the record exists; a failed write or sync leaves neither.
TEST_F(IsolatedBlobTest, BlobReachesTheDiskBeforeItsRecordOrNotAtAll) {
  const std::string write_head = "Unable to write to file " + Path("a") + "\\";
  const std::string io_error = ".blb. Error: Input/output error";
  // {failing step, code, last error starts with, ends with, the syncs: each one's depth below
  // the host directory, "*" for the blob file}
  const std::tuple<Fail, int32_t, std::string, std::string, std::string> cases[] = {
      {Fail::kNothing, kBlobOk, "", "", "0 1 2 3 4 6* 5"},
      {Fail::kWrite, kBlobWriteFailed, write_head, ".blb. Error: No space left on device",
       "0 1 2 3 4"},
      {Fail::kFileSync, kBlobWriteFailed, write_head, io_error, "0 1 2 3 4 6*"},
      {Fail::kDirectorySync, kBlobWriteFailed, write_head, io_error, "0 1 2 3 4 6* 5"},
      {Fail::kParentSync, kBlobWriteFailed, "Unable to create directory: " + Path("a") + "\\",
       ". Error: Input/output error", "0"},
  };
  for (const auto& [fail, code, head, tail, syncs] : cases) {
    SCOPED_TRACE(static_cast<int>(fail));
    std::filesystem::remove_all(Path("a"));
    std::filesystem::create_directories(Path("a"));
    IsolatedHosts hosts({Host(kHostA, "a")});
    BlobUtils blob(true);
    LogCapture log(kLogError);
    int64_t id = 1;
    mstest::HookedFiles hooked;
    auto& files = mstest::g_files;
    files.write_errno = fail == Fail::kWrite ? ENOSPC : 0;
    files.fsync_errno = fail == Fail::kFileSync ? EIO : 0;
    // The blob's own directory is the one synced right after the blob.
    files.sync_fails = [&](const std::string& dir) {
      return (fail == Fail::kDirectorySync && !files.synced.empty() &&
              files.synced.back().ends_with(".blb")) ||
             (fail == Fail::kParentSync && dir == Path("a"));
    };
    files.on_sync = [] {
      EXPECT_EQ(CountRows("NS_FILESTORAGE", "FSH_FILESTORAGEHOSTID = 80001"), 0);
    };
    EXPECT_EQ(blob.InsertBlob("hello", 5, 11, 11, &id), code) << blob.LastError();
    // Host, year, month, day, hour (as a new level's parent), the blob, the minute.
    std::string depths;
    for (const std::string& p : files.synced) {
      const bool below = p.starts_with(Path("a"));
      depths += (depths.empty() ? "" : " ") +
                (below ? std::to_string(std::ranges::count(p.substr(Path("a").size()), '/')) : p) +
                (p.ends_with(".blb") ? "*" : "");
    }
    EXPECT_EQ(depths, syncs);
    EXPECT_EQ(CountRows("NS_FILESTORAGE", "FSH_FILESTORAGEHOSTID = 80001"), code == kBlobOk);
    if (code == kBlobOk) {
      EXPECT_EQ(mstest::ReadFile(files.synced.at(5)), "hello");
      continue;
    }
    EXPECT_EQ(id, 0);
    EXPECT_EQ(FilesBelow(Path("a")), 0u);
    const std::string& error = blob.LastError();
    EXPECT_TRUE(error.starts_with(head) && error.ends_with(tail)) << error;
    const Lines lines = log.Take();
    if (fail != Fail::kParentSync) {
      ASSERT_EQ(lines.size(), 3u);
      EXPECT_EQ(lines[0], (Lines::value_type{kLogError, "BlobUtils::WriteToStorage(): " + error}));
    }
  }
}

// Refusals change nothing; modes come from the host directory, not the umask; a
// missing file cannot be read but can be deleted.
TEST_F(IsolatedBlobTest, RefusalsModesAndAMissingFile) {
  const gid_t group = geteuid() == 0 ? 4242 : getegid();
  ASSERT_EQ(chown(Path("a").c_str(), static_cast<uid_t>(-1), group), 0);
  ASSERT_EQ(chmod(Path("a").c_str(), 02770), 0);
  IsolatedHosts hosts({Host(kHostA, "a")});
  BlobUtils blob(true);
  int64_t id = 77;
  // Refused before anything is written or the output is touched.
  for (const char* data : {static_cast<const char*>(nullptr), "x"}) {
    EXPECT_EQ(blob.InsertBlob(data, data ? 0 : 10, 11, 11, &id), kBlobInvalidParameter);
    EXPECT_EQ(blob.LastError(), "Invalid parameter specified. Aborting insert.");
    EXPECT_EQ(id, 77);
  }
  EXPECT_EQ(FilesBelow(Path("a")), 0u);
  const mode_t old_umask = umask(022);
  ASSERT_EQ(blob.InsertBlob("hello", 5, 11, 11, &id), kBlobOk);
  umask(old_umask);
  std::string path;
  ASSERT_EQ(blob.GetBlobFileName(id, &path), kBlobOk);
  // The blob and the five levels year ... minute made for it.
  std::filesystem::path entry = KAVRO::OsPath(path);
  for (int level = 0; level < 6; ++level, entry = entry.parent_path()) {
    struct stat st;
    ASSERT_EQ(stat(entry.c_str(), &st), 0) << entry;
    EXPECT_EQ(st.st_mode & 07777, level == 0 ? 0660u : 02770u) << entry;
    EXPECT_EQ(st.st_gid, group) << entry;
  }
  EXPECT_EQ(entry, Path("a"));
  // {id (-1: this blob with its host offline), deleted by, code, last error}
  const std::tuple<int64_t, int32_t, int32_t, std::string> cases[] = {
      {0, 11, kBlobInvalidParameter, "Invalid parameter specified. Aborting delete."},
      {id, 999, kBlobInvalidParameter,
       "Invalid deletedBy: 999 parameter. Not present in NS_FILECREATOR. Aborting delete."},
      {id + 1000000, 11, kBlobNoSuchRecord,
       "Nonexisting or invalid FIS_FILESTORAGEID supplied: " + std::to_string(id + 1000000)},
      {-1, 11, kBlobHostOffline, "Storage host is offline. Unable to delete."},
  };
  for (const auto& [target, deleted_by, code, error] : cases) {
    if (target == -1) {
      Sql("UPDATE NS_FILESTORAGEHOST SET FSH_ONLINE = 0 WHERE FSH_FILESTORAGEHOSTID = 80001");
      EXPECT_EQ(blob.GetBlobFileName(id, &path), kBlobHostOffline);
      EXPECT_EQ(blob.LastError(), "Storage host is offline. Unable to get.");
    }
    EXPECT_EQ(blob.DeleteBlob(target == -1 ? id : target, deleted_by), code) << error;
    EXPECT_EQ(blob.LastError(), error);
    EXPECT_TRUE(KAVRO::FileExists(path));
    EXPECT_TRUE(RecordIs(id, "FIS_DELETED IS NULL"));
  }
  Sql("UPDATE NS_FILESTORAGEHOST SET FSH_ONLINE = 1 WHERE FSH_FILESTORAGEHOSTID = 80001");
  ASSERT_TRUE(KAVRO::DeleteFile(path));
  EXPECT_EQ(blob.GetBlobFileName(id, &path), kBlobFileMissing);
  EXPECT_EQ(blob.LastError(), "File: " + path + " does not exist: No such file or directory");
  KAVRO::MMFile mapped;
  EXPECT_EQ(blob.GetBlobMapping(id, &mapped), kBlobFileMissing);
  LogCapture log(kLogWarning);
  EXPECT_EQ(blob.DeleteBlob(id, 11), kBlobOk) << blob.LastError();
  EXPECT_EQ(log.Take(),
            (Lines{{kLogWarning, "BlobUtils::DeleteBlob(): File: " + path +
                                     " does not exist. Delete operation considered OK."}}));
  EXPECT_TRUE(RecordIs(id, "FIS_DELETEDBY = 11 AND FIS_DELETED IS NOT NULL"));
}

}  // namespace
}  // namespace Nauvik
