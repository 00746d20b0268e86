// mailstorage-check against a store of its own: mails stored through the
// real libMailStorage.so, then broken by hand (rows deleted, files removed,
// grown, left behind) into each kind of orphan and fault, checked, repaired
// and checked again; linked mail must come out of every repair untouched.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "tests/entry/LibraryHarness.h"
#include "tests/tools/PrivateStore.h"
#include "tests/tools/ToolRunner.h"

namespace {

namespace fs = std::filesystem;
using Nauvik::Import::Test::RunTool;
using Nauvik::Import::Test::ToolResult;

mstest::PrivateStore *g_store = nullptr;
// The library reads its configuration once, at its first call.
const auto *const kEnvironment = ::testing::AddGlobalTestEnvironment(
    new mstest::StoreEnvironment<mstest::PrivateStore>("check", &g_store, {}, [] {
      if (mstest::Library::Get().close != nullptr) mstest::Library::Get().close();
    }));

ToolResult Check(std::vector<std::string> args) {
  args.insert(args.begin(), {"--registry", g_store->Registry(), "--list", "0"});
  return RunTool(MS_CHECK_TOOL, args);
}

// One mail stored for the demo user, with everything the checks look at.
struct Stored {
  std::string message, record, file;  // IMM_IMAPMESSAGEID, FIS_FILESTORAGEID, the blob file
  std::string bytes;                  // what was given to the library
};

Stored Store(const std::string &message_id) {
  const std::string bytes = mstest::MakeMail(message_id, "checker " + message_id);
  EXPECT_EQ(mstest::Add(mstest::WriteMail(bytes), "INBOX.check", "1"), 0);
  const std::vector<std::string> row = mstest::Split(
      g_store->Sql("SELECT IMM_IMAPMESSAGEID, FIS_FILESTORAGEID, replace(FIS_LOCATION, '\\', '/') "
                   "FROM NS_IMAPMESSAGE JOIN NS_FILESTORAGE USING (FIS_FILESTORAGEID) WHERE "
                   "IMM_MESSAGEID = " + mstest::Quote(message_id)),
      '|');
  EXPECT_EQ(row.size(), 3u) << message_id;
  return row.size() == 3 ? Stored{row[0], row[1], g_store->Blobs() + row[2], bytes} : Stored{};
}

// What a crash or an outage between two steps of a store can leave: the
// mail's links gone, then (depth 2) its message, then (3) its record.
void Drop(const Stored &s, int depth) {
  g_store->Sql("DELETE FROM NS_IMAPMSGINFOLDER WHERE IMM_IMAPMESSAGEID = " + s.message);
  if (depth > 1) g_store->Sql("DELETE FROM NS_IMAPMESSAGE WHERE IMM_IMAPMESSAGEID = " + s.message);
  if (depth > 2) g_store->Sql("DELETE FROM NS_FILESTORAGE WHERE FIS_FILESTORAGEID = " + s.record);
}
// Two hours older, old enough for the default repair: its record, its file.
void Age(const Stored &s, bool record, bool file) {
  if (record) {
    g_store->Sql("UPDATE NS_FILESTORAGE SET FIS_CREATED = FIS_CREATED - INTERVAL '2 hours' "
                 "WHERE FIS_FILESTORAGEID = " + s.record);
  }
  if (file) fs::last_write_time(s.file, fs::last_write_time(s.file) - std::chrono::hours(2));
}

// "live|deleted by|location" of a record.
std::string RecordState(const Stored &s) {
  return g_store->Sql("SELECT CASE WHEN FIS_DELETED IS NULL THEN 'live' ELSE 'deleted' END, "
                      "FIS_DELETEDBY, COALESCE(FIS_LOCATION, '-') FROM NS_FILESTORAGE WHERE "
                      "FIS_FILESTORAGEID = " + s.record);
}

// A linked mail as it must stay: its link, message, live record and the
// exact bytes in its file.
void ExpectIntact(const Stored &s) {
  EXPECT_EQ(g_store->Int("SELECT COUNT(*) FROM NS_IMAPMSGINFOLDER JOIN NS_IMAPMESSAGE USING "
                         "(IMM_IMAPMESSAGEID) WHERE IMM_IMAPMESSAGEID = " + s.message), 1);
  EXPECT_TRUE(RecordState(s).starts_with("live||")) << RecordState(s);
  EXPECT_EQ(mstest::ReadFile(s.file), s.bytes) << s.file;
}

// The count line of a category in the first report of the output.
std::string Count(const std::string &out, const std::string &category) {
  const size_t at = out.find("  " + category + ": ");
  if (at == std::string::npos) return "absent";
  const size_t from = at + category.size() + 4;
  return out.substr(from, out.find('\n', from) - from);
}

TEST(CheckTool, UsageAndConfigurationErrorsExitWithTwo) {
  const std::string bad_registry = g_store->Blobs() + "/../bad.reg";
  std::string reg = mstest::ReadFile(g_store->Registry());
  reg.replace(reg.find("\"DatabaseName\"=\""), 16, "\"DatabaseName\"=\"no_such_db_");
  std::ofstream(bad_registry) << reg;
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--min-age", "soon"}, "--min-age soon"},
      {{"--min-age", "5w"}, "--min-age 5w"},
      {{"--repair", "--min-age", "0"}, "--min-age 0 is below 15m"},
      {{"--min-age", "899s"}, "--min-age 899s is below 15m"},
      {{"--bogus"}, "--bogus"},
      {{"--registry", "/nonexistent/registry.reg"}, "registry file /nonexistent"},
      {{"--registry", bad_registry}, "cannot read the store"},
  };
  for (const auto &[args, message] : cases) {
    const ToolResult r = RunTool(MS_CHECK_TOOL, args);
    EXPECT_EQ(r.status, 2) << args[0] << "\n" << r.out << r.err;
    EXPECT_PRED_FORMAT2(testing::IsSubstring, message, r.err);
  }
}

TEST(CheckTool, FindsEachOrphanAndRepairsOnlyWhatIsOldEnough) {
  const Stored keep = Store("<keep@check>"), unlinked = Store("<unlinked@check>");
  const Stored no_message = Store("<no-message@check>"), no_record = Store("<no-record@check>");
  const Stored young_no_message = Store("<young-no-message@check>");
  const Stored young_no_record = Store("<young-no-record@check>");
  // Linked mail without its bytes: reported, never repaired.
  const Stored missing = Store("<missing-file@check>"), grown = Store("<grown-file@check>");
  const Stored deleted = Store("<deleted-record@check>");
  ToolResult r = Check({});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_PRED_FORMAT2(testing::IsSubstring, "Clean: 0 problems in 1 storage host", r.out);
  // A host directory that no group may read is warned about, not counted.
  const std::string no_group = "warning: its directory is readable by no group";
  EXPECT_PRED_FORMAT2(testing::IsNotSubstring, no_group, r.out);
  fs::permissions(g_store->Blobs(), fs::perms::group_all | fs::perms::others_all,
                  fs::perm_options::remove);
  r = Check({});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_PRED_FORMAT2(testing::IsSubstring, no_group, r.out);
  fs::permissions(g_store->Blobs(), fs::perms::group_read | fs::perms::group_exec,
                  fs::perm_options::add);

  Drop(unlinked, 1);
  Age(unlinked, true, false);
  Drop(no_message, 2);
  Age(no_message, true, false);
  Drop(young_no_message, 2);
  Drop(no_record, 3);
  Age(no_record, false, true);
  Drop(young_no_record, 3);
  fs::remove(missing.file);
  std::ofstream(grown.file, std::ios::app) << "tail";
  // Its file is now without a record, but its message still needs it.
  g_store->Sql(
      "UPDATE NS_FILESTORAGE SET FIS_DELETED = CURRENT_TIMESTAMP WHERE FIS_FILESTORAGEID = " +
      deleted.record);
  Age(deleted, true, true);
  // A link whose message is gone: only a store without the foreign key (or
  // with it switched off, as here) can hold one.
  g_store->Sql(
      "SET session_replication_role = replica; INSERT INTO NS_IMAPMSGINFOLDER "
      "(MIF_IMAPMSGINFOLDERID, IMM_IMAPMESSAGEID, IMF_IMAPFOLDERID, MIF_UID) SELECT "
      "900000001, 999999999, IMF_IMAPFOLDERID, 77 FROM NS_IMAPMSGINFOLDER WHERE "
      "IMM_IMAPMESSAGEID = " +
          keep.message,
      true);

  const auto totals = [] {
    return g_store->Sql(
        "SELECT (SELECT COUNT(*) FROM NS_IMAPMESSAGE), (SELECT COUNT(*) FROM NS_FILESTORAGE WHERE "
        "FIS_DELETED IS NULL), (SELECT COUNT(*) FROM NS_IMAPMSGINFOLDER)");
  };
  const std::string before = totals();
  // The count found, and the count left after a repair at the default age limit.
  const std::tuple<std::string, std::string, std::string> counts[] = {
      {"records without a message", "2", "1"},
      {"blob files without a record", "3", "2"},
      {"records whose file is missing", "1", "1"},
      {"records whose file has another size", "1", "1"},
      {"messages without a link", "1", "0"},
      {"messages whose file storage record is deleted or missing", "1", "1"},
      {"links to missing messages", "1", "1"}};
  r = Check({});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  for (const std::string &line :
       {"record " + no_message.record + " ", "record " + young_no_message.record + " ",
        no_record.file + " ", young_no_record.file + " ", "message " + unlinked.message + " ",
        std::string("link 900000001 "), "record " + missing.record + " ",
        "the file has " + std::to_string(grown.bytes.size() + 4),
        "message " + deleted.message + " record " + deleted.record,
        std::string("Not clean: 10 problems")}) {
    EXPECT_PRED_FORMAT2(testing::IsSubstring, line, r.out);
  }
  // A check alone changes nothing.
  EXPECT_EQ(totals(), before);

  // The default age limit leaves what an import in flight may still own.
  r = Check({"--repair"});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  const std::string after_repair = r.out.substr(r.out.find("After the repair:"));
  for (const auto &[category, found, left] : counts) {
    EXPECT_EQ(Count(r.out, category), found) << category << "\n" << r.out;
    EXPECT_EQ(Count(after_repair, category), left) << category << "\n" << after_repair;
  }
  EXPECT_EQ(RecordState(unlinked), "deleted|11|-");
  EXPECT_EQ(g_store->Int("SELECT COUNT(*) FROM NS_IMAPMESSAGE WHERE IMM_IMAPMESSAGEID = " +
                         unlinked.message),
            0);
  EXPECT_EQ(RecordState(no_message), "deleted|11|-");
  for (const Stored *gone : {&unlinked, &no_message, &no_record}) {
    EXPECT_FALSE(fs::exists(gone->file)) << gone->file;
  }
  EXPECT_TRUE(RecordState(young_no_message).starts_with("live||"));
  EXPECT_TRUE(fs::exists(young_no_message.file));
  EXPECT_TRUE(fs::exists(young_no_record.file));
  ExpectIntact(keep);

  // Links without a message are reported, never repaired. Put back as they
  // were, the mails without their bytes are whole: the repair kept them.
  g_store->Sql("DELETE FROM NS_IMAPMSGINFOLDER WHERE MIF_IMAPMSGINFOLDERID = 900000001");
  Age(young_no_message, true, false);
  Age(young_no_record, false, true);
  std::ofstream(missing.file, std::ios::binary) << missing.bytes;
  std::ofstream(grown.file, std::ios::binary | std::ios::trunc) << grown.bytes;
  g_store->Sql("UPDATE NS_FILESTORAGE SET FIS_DELETED = NULL WHERE FIS_FILESTORAGEID = " +
               deleted.record);
  r = Check({"--repair"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_PRED_FORMAT2(testing::IsSubstring, "After the repair:", r.out);
  EXPECT_EQ(RecordState(young_no_message), "deleted|11|-");
  EXPECT_FALSE(fs::exists(young_no_message.file));
  EXPECT_FALSE(fs::exists(young_no_record.file));
  for (const Stored *s : {&keep, &missing, &grown, &deleted}) ExpectIntact(*s);
  EXPECT_EQ(Check({}).status, 0);
}

}  // namespace
