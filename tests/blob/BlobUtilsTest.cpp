#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "blob/BlobUtils.h"
#include "db/ConnectionManager.h"
#include "db/DBTable.h"
#include "db/Rows.h"
#include "foundation/Files.h"
#include "foundation/NTime.h"
#include "tests/blob/BlobTestSupport.h"

namespace Nauvik {
namespace {

using testing::CountRows;
using testing::FilesBelow;
using testing::IsolatedHosts;
using testing::LogCapture;
using Lines = std::vector<LogCapture::Line>;
using testing::ReadFile;
using testing::Sql;
using testing::TestHost;
using testing::WorkDir;
using testing::WriteFile;

// Host ids of this binary; no other test uses 80001-80099.
constexpr int64_t kHostA = 80001;
constexpr int64_t kHostB = 80002;
constexpr int64_t kHostC = 80003;
constexpr int64_t kHostOther = 80004;  // category 5
constexpr int64_t kHostOffline = 80005;
constexpr int64_t kHostFull = 80006;    // online, not writable, used = total
constexpr int64_t kHostBroken = 80007;  // path below a regular file
constexpr int64_t kHostBroken2 = 80008;

std::string Pattern(size_t size) {
  std::string bytes(size, '\0');
  uint32_t x = 2463534242u;
  for (char& c : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x);
  }
  return bytes;
}

struct Record {
  bool found = false;
  int64_t host = 0;
  std::string location;
  int64_t size = 0;
  int created_by = 0;
  int deleted_by = 0;
  int file_type = 0;
  bool created = false;
  bool deleted = false;
};

Record ReadRecord(int64_t id) {
  DBTable<NS_FILESTORAGE> t;
  Record r;
  if (!t.Select("FIS_FILESTORAGEID = " + std::to_string(id), "") || !t.Fetch()) return r;
  r.found = true;
  r.host = IdOf(t.FSH_FILESTORAGEHOSTID);
  r.location = TextOf(t.FIS_LOCATION);
  r.size = IdOf(t.FIS_SIZE);
  r.created_by = static_cast<int16_t>(t.FIS_CREATEDBY);
  r.deleted_by = static_cast<int16_t>(t.FIS_DELETEDBY);
  r.file_type = static_cast<int16_t>(t.FIT_FILETYPEID);
  r.created = HasDate(t.FIS_CREATED);
  r.deleted = HasDate(t.FIS_DELETED);
  return r;
}

std::string Location(const KAVRO::NTime& t, int64_t id) {
  return BlobUtils::PathToFile(t) + std::to_string(id) + ".blb";
}

TEST(BlobPath, UtcFieldsInDecimalWithoutLeadingZeros) {
  struct Case {
    KAVRO::CalendarFields fields;
    const char* path;
  } cases[] = {
      {{2026, 3, 0, 4, 7, 5, 0, 0}, "\\2026\\3\\4\\7\\5\\"},
      {{1999, 12, 0, 31, 23, 59, 59, 999}, "\\1999\\12\\31\\23\\59\\"},
      {{2026, 10, 0, 1, 0, 0, 0, 0}, "\\2026\\10\\1\\0\\0\\"},
  };
  for (const Case& c : cases) {
    KAVRO::NTime t(uint64_t{0});
    ASSERT_TRUE(t.FromFields(c.fields));
    EXPECT_EQ(BlobUtils::PathToFile(t), c.path);
  }
  KAVRO::NTime t(uint64_t{0});
  ASSERT_TRUE(t.FromFields({2026, 3, 0, 4, 7, 5, 0, 0}));
  EXPECT_EQ(Location(t, 123456), "\\2026\\3\\4\\7\\5\\123456.blb");
}

TEST(BlobPath, CreatePathToFileUsesTheCurrentUtcTime) {
  BlobUtils blob(true);
  KAVRO::NTime before;
  before.SetNow(true);
  const std::string path = blob.CreatePathToFile();
  KAVRO::NTime after;
  after.SetNow(true);
  EXPECT_TRUE(path == BlobUtils::PathToFile(before) || path == BlobUtils::PathToFile(after))
      << path;
}

// Committed work on whatever hosts the store has: the ordinary path.
TEST(BlobRoundTrip, BytesComeBackUnchangedThroughViewsAndBaseTables) {
  struct Case {
    bool use_views;
    size_t size;
    int32_t file_type;
    int32_t creator;
  } cases[] = {
      {true, 1, 11, 11},
      {false, 1, 21, 46},
      {true, 3 * 1024 * 1024 + 7, 11, 11},
      {false, 5 * 1000 * 1000 + 1, 21, 46},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.size) + (c.use_views ? " views" : " tables"));
    const std::string bytes = Pattern(c.size);
    BlobUtils blob(c.use_views);
    int64_t id = -1;
    ASSERT_EQ(blob.InsertBlob(bytes.data(), static_cast<uint32_t>(bytes.size()), c.file_type,
                              c.creator, &id),
              kBlobOk)
        << blob.LastError();
    ASSERT_GT(id, 0);
    EXPECT_EQ(blob.LastError(), "");

    const Record r = ReadRecord(id);
    ASSERT_TRUE(r.found);
    EXPECT_EQ(r.size, static_cast<int64_t>(c.size));
    EXPECT_EQ(r.created_by, c.creator);
    EXPECT_EQ(r.file_type, c.file_type);
    EXPECT_TRUE(r.created);
    EXPECT_FALSE(r.deleted);
    EXPECT_GT(r.host, 0);
    // Stored with "\" whatever the platform, starting at the UTC year.
    ASSERT_FALSE(r.location.empty());
    EXPECT_EQ(r.location[0], '\\');
    EXPECT_EQ(r.location.find('/'), std::string::npos) << r.location;
    EXPECT_TRUE(r.location.ends_with("\\" + std::to_string(id) + ".blb")) << r.location;

    std::string path;
    ASSERT_EQ(blob.GetBlobFileName(id, &path), kBlobOk) << blob.LastError();
    EXPECT_TRUE(path.ends_with(r.location)) << path;
    EXPECT_EQ(ReadFile(KAVRO::OsPath(path)), bytes);

    KAVRO::MMFile mapped;
    ASSERT_EQ(blob.GetBlobMapping(id, &mapped), kBlobOk) << blob.LastError();
    EXPECT_TRUE(mapped.Bytes() == bytes);
    mapped.Close();

    ASSERT_EQ(blob.DeleteBlob(id, 11), kBlobOk) << blob.LastError();
    EXPECT_FALSE(KAVRO::FileExists(path));
    const Record gone = ReadRecord(id);
    EXPECT_TRUE(gone.deleted);
    EXPECT_EQ(gone.deleted_by, 11);
    EXPECT_EQ(gone.location, "");
    EXPECT_EQ(gone.host, 0);
    EXPECT_EQ(blob.GetBlobFileName(id, &path), kBlobNoSuchRecord);
    EXPECT_EQ(blob.LastError(),
              "Nonexisting or invalid FIS_FILESTORAGEID supplied: " + std::to_string(id));
    EXPECT_EQ(blob.DeleteBlob(id, 11), kBlobNoSuchRecord);
  }
}

TEST(BlobInsert, NoDataIsRefusedBeforeAnythingIsWritten) {
  BlobUtils blob(true);
  const char byte = 'x';
  int64_t id = 77;
  LogCapture log(kLogDebug4);
  EXPECT_EQ(blob.InsertBlob(nullptr, 10, 11, 11, &id), kBlobInvalidParameter);
  EXPECT_EQ(log.Take(),
            (Lines{{kLogDebug4, "BlobUtils::InsertBlob() start."},
                   {kLogError,
                    "BlobUtils::InsertBlob(): Invalid parameter specified. Aborting insert."}}));

  EXPECT_EQ(blob.LastError(), "Invalid parameter specified. Aborting insert.");
  EXPECT_EQ(blob.InsertBlob(&byte, 0, 11, 11, &id), kBlobInvalidParameter);
  EXPECT_EQ(blob.LastError(), "Invalid parameter specified. Aborting insert.");
  EXPECT_EQ(id, 77);  // refused before the output is touched

  log.Take();
  EXPECT_EQ(blob.DeleteBlob(0, 11), kBlobInvalidParameter);
  EXPECT_EQ(log.Take(),
            (Lines{{kLogDebug4, "BlobUtils::DeleteBlob(0) start."},
                   {kLogError,
                    "BlobUtils::DeleteBlob(): Invalid parameter specified. Aborting delete."}}));
}

class IsolatedBlobTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = WorkDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    for (const char* name : {"a", "b", "c", "other", "offline", "full"}) {
      std::filesystem::create_directories(dir_ + "/" + name);
    }
    WriteFile(dir_ + "/plainfile", "not a directory");
  }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  TestHost Host(int64_t id, const std::string& name, int online = 1, int writable = 1,
                int category = 0) const {
    return TestHost{id, Path(name), online, writable, category};
  }

  // Three category-0 hosts, one of category 5, one offline, one full.
  std::vector<TestHost> MixedHosts() const {
    return {Host(kHostA, "a"),
            Host(kHostB, "b"),
            Host(kHostC, "c"),
            Host(kHostOther, "other", 1, 1, 5),
            Host(kHostOffline, "offline", 0, 1),
            Host(kHostFull, "full", 1, 0)};
  }

  std::string dir_;
};

TEST_F(IsolatedBlobTest, HostChoiceRotatesOverCategoryZeroAndSkipsOfflineAndFullHosts) {
  IsolatedHosts hosts(MixedHosts());
  BlobUtils blob(true);
  StorageHostList lists[3];
  for (int64_t id : {10, 11, 12}) {
    ASSERT_EQ(blob.GetNextFileStorageHost(id, &lists[id - 10]), kBlobOk) << blob.LastError();
  }
  // Only the online, writable hosts; the category-5 host last.
  for (const StorageHostList& list : lists) {
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list.count(0), 1u);
    EXPECT_EQ(list.rbegin()->first, 4u);
    EXPECT_EQ(list.rbegin()->second.first, kHostOther);
    EXPECT_EQ(list.rbegin()->second.second, Path("other"));
    for (const auto& [key, host] : list) {
      EXPECT_NE(host.first, kHostOffline);
      EXPECT_NE(host.first, kHostFull);
    }
  }
  // id 12 (mod 3 = 0) puts row 1 first and keeps rows 2 and 3 under keys 2
  // and 3; ids 10 and 11 start with rows 2 and 3.
  const StorageHostList& twelve = lists[2];
  ASSERT_EQ(twelve.count(1), 0u);
  EXPECT_EQ(lists[0].at(0), twelve.at(2));
  EXPECT_EQ(lists[0].at(1), twelve.at(0));
  EXPECT_EQ(lists[0].at(3), twelve.at(3));
  EXPECT_EQ(lists[1].at(0), twelve.at(3));
  EXPECT_EQ(lists[1].at(1), twelve.at(0));
  EXPECT_EQ(lists[1].at(2), twelve.at(2));
  const std::set<int64_t> first = {lists[0].at(0).first, lists[1].at(0).first, twelve.at(0).first};
  EXPECT_EQ(first, (std::set<int64_t>{kHostA, kHostB, kHostC}));

  StorageHostList list;
  EXPECT_EQ(blob.GetNextFileStorageHost(0, &list), kBlobInvalidParameter);
  EXPECT_EQ(blob.LastError(), "Invalid parameter specified. Aborting.");
  EXPECT_TRUE(list.empty());
}

TEST_F(IsolatedBlobTest, WithoutCategoryZeroTheOtherHostsAreTriedInOrder) {
  IsolatedHosts hosts({Host(kHostOther, "other", 1, 1, 5), Host(kHostOffline, "offline", 0, 1),
                       Host(kHostFull, "full", 1, 0)});
  BlobUtils blob(false);
  StorageHostList list;
  LogCapture log(kLogWarning);
  ASSERT_EQ(blob.GetNextFileStorageHost(10, &list), kBlobOk);
  EXPECT_EQ(log.Take(), (Lines{{kLogWarning,
                                "BlobUtils::GetNextFileStorageHost(): Failed to locate storage "
                                "host with requested category: 0 for file storage id: 10"}}));
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list.begin()->first, 1u);
  EXPECT_EQ(list.begin()->second.first, kHostOther);

  const std::string bytes = "From: a@b\r\n\r\nbody\r\n";
  int64_t id = 0;
  ASSERT_EQ(blob.InsertBlob(bytes.data(), static_cast<uint32_t>(bytes.size()), 21, 46, &id),
            kBlobOk)
      << blob.LastError();
  EXPECT_EQ(ReadRecord(id).host, kHostOther);
  std::string path;
  ASSERT_EQ(blob.GetBlobFileName(id, &path), kBlobOk);
  EXPECT_TRUE(path.starts_with(Path("other") + "\\")) << path;
}

TEST_F(IsolatedBlobTest, NoHostLeftWritesNeitherFileNorRecord) {
  IsolatedHosts hosts({Host(kHostOffline, "offline", 0, 1), Host(kHostFull, "full", 1, 0)});
  BlobUtils blob(true);
  StorageHostList list;
  EXPECT_EQ(blob.GetNextFileStorageHost(5, &list), kBlobNoWritableHost);
  EXPECT_EQ(blob.LastError(), "Unable to get storage host. No available hosts.");
  const std::string bytes = "x";
  int64_t id = 5;
  EXPECT_EQ(blob.InsertBlob(bytes.data(), 1, 11, 11, &id), kBlobNoWritableHost);
  EXPECT_EQ(blob.LastError(), "Unable to get storage hosts. Aborting insert.");
  EXPECT_EQ(id, 0);
  EXPECT_TRUE(FilesBelow(dir_).size() == 1u);  // only the plain file
  EXPECT_EQ(CountRows("NS_FILESTORAGE", "FSH_FILESTORAGEHOSTID IN (80005, 80006)"), 0);
}

TEST_F(IsolatedBlobTest, AHostThatCannotBeWrittenFallsBackToTheNext) {
  // Root ignores file modes: a host path below a regular file cannot be made.
  TestHost broken{kHostBroken, Path("plainfile") + "/host", 1, 1, 0};
  IsolatedHosts hosts({broken, Host(kHostB, "b", 1, 1, 1)});
  BlobUtils blob(true);
  const std::string bytes = Pattern(4096);
  int64_t id = 0;
  LogCapture log(kLogWarning);
  ASSERT_EQ(blob.InsertBlob(bytes.data(), 4096, 11, 11, &id), kBlobOk) << blob.LastError();
  const Lines lines = log.Take();
  const Record r = ReadRecord(id);
  EXPECT_EQ(r.host, kHostB);
  EXPECT_EQ(ReadFile(Path("b") + KAVRO::OsPath(r.location)), bytes);
  const std::string relative = r.location.substr(0, r.location.rfind('\\') + 1);
  // The system's text of the failed mkdir follows (its wording is the OS's).
  const std::string head = "Unable to create directory: " + broken.path + relative + ". Error: ";
  EXPECT_TRUE(blob.LastError().starts_with(head)) << blob.LastError();
  EXPECT_GT(blob.LastError().size(), head.size());
  // The success after a failed host is a warning that counts the failures.
  EXPECT_EQ(lines, (Lines{{kLogWarning, "BlobUtils::StoreInBestStorage(): " + blob.LastError()},
                          {kLogWarning, "BlobUtils::StoreInBestStorage(): File " + Path("b") +
                                            r.location + " written OK after 1 retries."}}));
}

TEST_F(IsolatedBlobTest, EveryHostFailingGivesFiveAndNoRecord) {
  TestHost broken{kHostBroken, Path("plainfile") + "/one", 1, 1, 0};
  TestHost broken2{kHostBroken2, Path("plainfile") + "/two", 1, 1, 0};
  IsolatedHosts hosts({broken, broken2});
  BlobUtils blob(true);
  int64_t id = 9;
  LogCapture log(kLogWarning);
  EXPECT_EQ(blob.InsertBlob("abc", 3, 11, 11, &id), kBlobWriteFailed);
  const Lines lines = log.Take();
  EXPECT_EQ(id, 0);
  EXPECT_TRUE(blob.LastError().starts_with("Unable to create directory: ")) << blob.LastError();
  EXPECT_FALSE(blob.LastError().ends_with(". Error: ")) << blob.LastError();
  ASSERT_EQ(lines.size(), 3u);
  // Both hosts are category 0, so the new id (drawn from the shared
  // sequence) decides which one is tried first: each must fail once.
  for (const TestHost* host : {&broken, &broken2}) {
    const std::string head =
        "BlobUtils::StoreInBestStorage(): Unable to create directory: " + host->path + "\\";
    const int tried = (lines[0].first == kLogWarning && lines[0].second.starts_with(head)) +
                      (lines[1].first == kLogWarning && lines[1].second.starts_with(head));
    EXPECT_EQ(tried, 1) << head << "\n" << lines[0].second << "\n" << lines[1].second;
  }
  EXPECT_EQ(lines[2], (LogCapture::Line{kLogError,
                                        "BlobUtils::StoreInBestStorage(): Failed to write on all "
                                        "available storage hosts! 2"}));
  EXPECT_EQ(CountRows("NS_FILESTORAGE", "FSH_FILESTORAGEHOSTID IN (80007, 80008)"), 0);
}

TEST_F(IsolatedBlobTest, LocalFilesAreCopiedOrRefused) {
  IsolatedHosts hosts({Host(kHostA, "a")});
  BlobUtils blob(false);
  const std::string bytes = Pattern(70000);
  WriteFile(Path("source.eml"), bytes);

  BlobSource source;
  source.file_name = Path("source.eml");
  int64_t id = 0;
  ASSERT_EQ(blob.InsertBlob(source, 21, 46, &id), kBlobOk) << blob.LastError();
  EXPECT_EQ(ReadRecord(id).size, 70000);
  std::string path;
  ASSERT_EQ(blob.GetBlobFileName(id, &path), kBlobOk);
  EXPECT_EQ(ReadFile(KAVRO::OsPath(path)), bytes);
  EXPECT_EQ(ReadFile(Path("source.eml")), bytes);  // the source is left alone

  struct Refused {
    std::string name;
    int32_t code;
    std::string error;
  } refused[] = {
      {"", kBlobInvalidParameter, "Empty local filename provided. Aborting insert."},
      {Path("missing.eml"), kBlobSourceNotAccessible,
       "Unable to access local filename: " + Path("missing.eml")},
  };
  for (const Refused& r : refused) {
    source.file_name = r.name;
    id = 3;
    EXPECT_EQ(blob.InsertBlob(source, 21, 46, &id), r.code);
    EXPECT_EQ(blob.LastError(), r.error);
    EXPECT_EQ(id, 0);
  }

  // A directory is not a file that can be copied: 8 from the writer.
  EXPECT_EQ(blob.WriteToStorage(Path("a") + "/copy.blb", Path("b")), kBlobDeleteOrCopyFailed);
  EXPECT_EQ(blob.LastError(),
            "Unable to copy File(" + Path("b") + ") to Blob File: " + Path("a") + "/copy.blb");
  EXPECT_FALSE(KAVRO::FileExists(Path("a") + "/copy.blb"));
}

TEST_F(IsolatedBlobTest, ALocalFileAlreadyAtTheTargetIsNotWrittenAgain) {
  IsolatedHosts hosts({Host(kHostA, "a")});
  BlobUtils blob(true);
  const int64_t id = 987654321;
  // The location follows the minute; try again if it turned over meanwhile.
  for (int attempt = 0; attempt < 3; ++attempt) {
    const std::string relative = blob.CreatePathToFile();
    const std::string target = Path("a") + relative + std::to_string(id) + ".blb";
    ASSERT_TRUE(KAVRO::CreateDirectoryPath(Path("a") + relative));
    ASSERT_TRUE(KAVRO::WriteFileDurably(target, "already here", 12));
    BlobSource source;
    source.file_name = target;
    std::string location, host_path;
    int64_t host_id = 0;
    ASSERT_EQ(blob.StoreInBestStorage(id, source, &location, &host_path, &host_id), kBlobOk);
    if (host_path + location != target) continue;
    EXPECT_EQ(host_id, kHostA);
    EXPECT_EQ(ReadFile(KAVRO::OsPath(target)), "already here");
    return;
  }
  FAIL() << "the minute turned over three times";
}

TEST_F(IsolatedBlobTest, ARecordWhoseFileIsMissing) {
  IsolatedHosts hosts({Host(kHostA, "a")});
  BlobUtils blob(true);
  int64_t id = 0;
  ASSERT_EQ(blob.InsertBlob("hello", 5, 11, 11, &id), kBlobOk);
  std::string path;
  ASSERT_EQ(blob.GetBlobFileName(id, &path), kBlobOk);
  ASSERT_TRUE(KAVRO::DeleteFile(path));

  std::string untouched = "untouched";
  LogCapture log(kLogInfo);
  EXPECT_EQ(blob.GetBlobFileName(id, &untouched), kBlobFileMissing);
  EXPECT_EQ(untouched, "untouched");
  EXPECT_EQ(blob.LastError(), "File: " + path + " does not exist: No such file or directory");
  EXPECT_EQ(log.Take(), (Lines{{kLogError, "BlobUtils::GetBlobFileName(): " + blob.LastError()}}));
  KAVRO::MMFile mapped;
  EXPECT_EQ(blob.GetBlobMapping(id, &mapped), kBlobFileMissing);
  EXPECT_FALSE(mapped.IsOpen());

  // Deleting it is no failure: the record is marked all the same.
  log.Take();
  EXPECT_EQ(blob.DeleteBlob(id, 11), kBlobOk) << blob.LastError();
  EXPECT_EQ(log.Take(),
            (Lines{{kLogInfo, "BlobUtils::DeleteBlob(): Blob " + std::to_string(id) +
                                  " deleted and database updated."},
                   {kLogWarning, "BlobUtils::DeleteBlob(): File: " + path +
                                     " does not exist. Delete operation considered OK."}}));
  const Record r = ReadRecord(id);
  EXPECT_TRUE(r.deleted);
  EXPECT_EQ(r.deleted_by, 11);
}

TEST_F(IsolatedBlobTest, RefusedDeletesChangeNothing) {
  IsolatedHosts hosts({Host(kHostA, "a"), Host(kHostOffline, "offline", 0, 1)});
  BlobUtils blob(true);
  int64_t id = 0;
  ASSERT_EQ(blob.InsertBlob("hello", 5, 11, 11, &id), kBlobOk);
  std::string path;
  ASSERT_EQ(blob.GetBlobFileName(id, &path), kBlobOk);

  struct Case {
    int64_t id;
    int32_t deleted_by;
    int32_t code;
    std::string error;
  } cases[] = {
      {0, 11, kBlobInvalidParameter, "Invalid parameter specified. Aborting delete."},
      {id, 999, kBlobInvalidParameter,
       "Invalid deletedBy: 999 parameter. Not present in NS_FILECREATOR. Aborting delete."},
      {id, 0, kBlobInvalidParameter,
       "Invalid deletedBy: 0 parameter. Not present in NS_FILECREATOR. Aborting delete."},
      {id + 1000000, 11, kBlobNoSuchRecord,
       "Nonexisting or invalid FIS_FILESTORAGEID supplied: " + std::to_string(id + 1000000)},
  };
  for (const Case& c : cases) {
    LogCapture log(kLogError);
    EXPECT_EQ(blob.DeleteBlob(c.id, c.deleted_by), c.code) << c.error;
    EXPECT_EQ(blob.LastError(), c.error);
    // The lookup's own texts carry their own prefix.
    const char* prefix = c.code == kBlobNoSuchRecord ? "BlobUtils::GetNsFileStorage(): "
                                                     : "BlobUtils::DeleteBlob(): ";
    EXPECT_EQ(log.Take(), (Lines{{kLogError, prefix + c.error}}));
    EXPECT_TRUE(KAVRO::FileExists(path));
    EXPECT_FALSE(ReadRecord(id).deleted);
  }

  // The host goes offline: neither found nor deleted.
  Sql("UPDATE NS_FILESTORAGEHOST SET FSH_ONLINE = 0 WHERE FSH_FILESTORAGEHOSTID = 80001");
  EXPECT_EQ(blob.GetBlobFileName(id, &path), kBlobHostOffline);
  EXPECT_EQ(blob.LastError(), "Storage host is offline. Unable to get.");
  EXPECT_EQ(blob.DeleteBlob(id, 11), kBlobHostOffline);
  EXPECT_EQ(blob.LastError(), "Storage host is offline. Unable to delete.");
  EXPECT_TRUE(KAVRO::FileExists(path));
  EXPECT_FALSE(ReadRecord(id).deleted);
}

TEST_F(IsolatedBlobTest, RecordAndHostLookups) {
  IsolatedHosts hosts({Host(kHostA, "a")});
  BlobUtils blob(false);
  DBTable<NS_FILESTORAGEHOST> host;
  std::string error;
  EXPECT_EQ(blob.GetNsFileStorageHost(host, &error, 80099), kBlobNoSuchHost);
  EXPECT_EQ(error, "Invalid FSH_FILESTORAGEHOSTID supplied. Aborting get.");
  EXPECT_EQ(blob.GetNsFileStorageHost(host, &error, kHostA), kBlobOk);
  EXPECT_EQ(error, "");
  EXPECT_EQ(TextOf(host.FSH_HOSTPATH), Path("a"));

  DBTable<NS_FILESTORAGE> record;
  EXPECT_EQ(blob.GetNsFileStorage(record, 0, &error, true), kBlobInvalidParameter);
  EXPECT_EQ(error, "parameter specified. Aborting get.");

  // A record with an empty (not NULL) location is found but names no file.
  const int64_t id = 880001;
  Sql("INSERT INTO NS_FILESTORAGE (FIS_FILESTORAGEID, FSH_FILESTORAGEHOSTID, FIS_LOCATION, "
      "FIS_SIZE, FIS_CREATEDBY, FIT_FILETYPEID) VALUES (880001, 80001, '', 0, 46, 21)");
  std::string path;
  EXPECT_EQ(blob.GetBlobFileName(id, &path), kBlobDatabaseError);
  EXPECT_EQ(blob.LastError(), "Empty FIS_LOCATION found for FileStoreageId: 880001");
  // Without a host it is no live record with a location, but can be deleted.
  Sql("UPDATE NS_FILESTORAGE SET FSH_FILESTORAGEHOSTID = NULL WHERE FIS_FILESTORAGEID = 880001");
  EXPECT_EQ(blob.GetBlobFileName(id, &path), kBlobNoSuchRecord);
  EXPECT_EQ(blob.GetNsFileStorage(record, id, &error, false), kBlobOk);
  EXPECT_EQ(blob.DeleteBlob(id, 46), kBlobNoSuchHost);

  EXPECT_TRUE(blob.IsValidFileCreator(11));
  EXPECT_TRUE(blob.IsValidFileCreator(21));
  EXPECT_TRUE(blob.IsValidFileCreator(46));
  EXPECT_FALSE(blob.IsValidFileCreator(12));
}

TEST_F(IsolatedBlobTest, AnEmptyBlobFileCannotBeMapped) {
  IsolatedHosts hosts({Host(kHostA, "a")});
  BlobUtils blob(true);
  WriteFile(Path("empty.eml"), "");
  BlobSource source;
  source.file_name = Path("empty.eml");
  int64_t id = 0;
  ASSERT_EQ(blob.InsertBlob(source, 11, 11, &id), kBlobOk) << blob.LastError();
  EXPECT_EQ(ReadRecord(id).size, 0);
  KAVRO::MMFile mapped;
  EXPECT_EQ(blob.GetBlobMapping(id, &mapped), kBlobFileMissing);
  EXPECT_TRUE(blob.LastError().starts_with("Unable to map file: ")) << blob.LastError();
}

// Last: the raised failure closes the thread's connection, which ends the
// isolating transaction.
TEST_F(IsolatedBlobTest, ARaisedInsertFailureRemovesTheWrittenFile) {
  IsolatedHosts hosts({Host(kHostA, "a")});
  BlobUtils blob(true);
  int64_t id = 4;
  // Creator 999 is no file creator: the foreign key refuses the record.
  EXPECT_EQ(blob.InsertBlob("hello", 5, 11, 999, &id), kBlobDatabaseError);
  EXPECT_EQ(id, 0);
  EXPECT_TRUE(blob.LastError().starts_with("Database Error: ")) << blob.LastError();
  EXPECT_TRUE(FilesBelow(Path("a")).empty());
  // The next statement works on a fresh connection.
  EXPECT_EQ(CountRows("NS_FILECREATOR", "FIC_FILECREATORID = 11"), 1);
}

}  // namespace
}  // namespace Nauvik
