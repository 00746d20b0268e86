// The importer's own parts, without a library or a store.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <tuple>

#include "db/Registry.h"
#include "tests/tools/MailShapes.h"
#include "tests/tools/ToolRunner.h"
#include "tools/Importer.h"
#include "tools/Inputs.h"
#include "tools/Journal.h"
#include "tools/MailSource.h"
#include "tools/Progress.h"
#include "tools/Report.h"
#include "tools/Store.h"

namespace Nauvik::Import {
namespace {

using namespace Test;

// CRLF for bare line feeds, one quote level off mbox "From " lines; an
// envelope line is "From ", a sender and an asctime date, the internal date.
TEST(MailText, LineEndsQuotingEnvelopeLinesAndHeaderFields) {
  const std::tuple<const char*, const char*, const char*> cases[] = {
      // in, CRLF, unquoted
      {"a\nb\n", "a\r\nb\r\n", "a\nb\n"},
      {"a\r\nb\r\n", "a\r\nb\r\n", "a\r\nb\r\n"},
      {"a\r\nb\nc", "a\r\nb\r\nc", "a\r\nb\nc"},
      {"\n\n", "\r\n\r\n", "\n\n"},
      {"lone\rcr", "lone\rcr", "lone\rcr"},
      {"", "", ""},
      {">From here\n", ">From here\r\n", "From here\n"},
      {">>From here\r\n", ">>From here\r\n", ">From here\r\n"},
      {"> From here\n", "> From here\r\n", "> From here\n"},
      {">Frome\n", ">Frome\r\n", ">Frome\n"},
      {"text >From inside\n", "text >From inside\r\n", "text >From inside\n"},
      {"a\n>From b\nc", "a\r\n>From b\r\nc", "a\nFrom b\nc"},
  };
  for (const auto& [in, crlf, unquoted] : cases) {
    std::string out;
    EXPECT_EQ(ConvertToCrlf(in, &out), std::string(crlf) != in) << in;
    EXPECT_EQ(out, crlf);
    EXPECT_EQ(UnquoteMboxFrom(in), unquoted) << in;
  }
  EXPECT_EQ(Rfc822DateFromEpoch(951782400 + 3661), "Tue, 29 Feb 2000 01:01:01 +0000");
  const std::pair<const char*, const char*> envelopes[] = {
      // line, date; "": no envelope line
      {"From a@b Thu Mar  5 10:00:00 2026", "Thu, 5 Mar 2026 10:00:00 +0000"},
      {"From a@b Thu Mar 5 10:00:00 2026 +0100", "Thu, 5 Mar 2026 10:00:00 +0100"},
      {"From \"Jo Doe\" Sat Jan 10 09:30:00 2026", "Sat, 10 Jan 2026 09:30:00 +0000"},
      {"From a@b Sat Jan 10 09:30:00 CET 2026", "Sat, 10 Jan 2026 09:30:00 CET"},
      {"From a@b", ""},
      {"From a@b yesterday", ""},
      {">From a@b Thu Mar  5 10:00:00 2026", ""},
  };
  for (const auto& [line, date] : envelopes) {
    EXPECT_EQ(DateFromMboxFromLine(line), date) << line;
    EXPECT_EQ(IsEnvelopeLine(line), *date != '\0') << line;
  }
  // Fields unfolded, from the header block only.
  const std::string mail =
      "Received: x\r\nmessage-id:  <a@b>\r\nSubject: one\r\n two\r\n\tthree\r\n\r\nDate: not a "
      "header\r\n";
  EXPECT_EQ(HeaderField(mail, "Message-ID").value_or("?"), "<a@b>");
  EXPECT_EQ(HeaderField(mail, "subject").value_or("?"), "one two\tthree");
  EXPECT_FALSE(HeaderField(mail, "Date").has_value());
  EXPECT_EQ(HeaderField("Date: Thu, 1 Jan 2026\nX: y\n", "date").value_or("?"), "Thu, 1 Jan 2026");
}

// The library reads the same bytes by path; a converted mail is a sealed in-memory file.
std::string Load(const ImportItem& item, bool keep_line_ends, bool* changed = nullptr) {
  MailBytes mail;
  std::string error;
  EXPECT_TRUE(LoadMail(item, keep_line_ends, nullptr, &mail, &error)) << error;
  EXPECT_TRUE(ReadFile(mail.path) == mail.bytes) << mail.path;
  EXPECT_EQ(mail.hash, ContentHash(mail.bytes));
  EXPECT_EQ(mail.path.starts_with("/proc/self/fd/"), mail.changed) << mail.path;
  const int fd = open(mail.path.c_str(), O_RDWR);
  EXPECT_TRUE(!mail.changed || fd < 0 || write(fd, "x", 1) < 0) << mail.path;
  if (fd >= 0) close(fd);
  if (changed != nullptr) *changed = mail.changed;
  return std::string(mail.bytes);
}

// Small mails are read into the heap, large ones mapped. A file cut short
// since the scan is an error, not a shorter mail.
TEST(LoadMail, MailsEitherSideOfTheHeapLimitGiveTheSameBytes) {
  const std::string dir = MakeScratchDirectory("load-sizes");
  for (const size_t lines : {size_t{13000}, size_t{40000}}) {  // 1 MB, 3 MB
    std::string lf = "Subject: size\n\n";
    for (size_t i = 0; i < lines; ++i) lf += std::string(75, 'x') + std::to_string(i % 10) + "\n";
    // file content, keep line ends, expected bytes, changed
    const std::tuple<std::string, bool, std::string, bool> cases[] = {
        {lf, false, Crlf(lf), true},
        {Crlf(lf), false, Crlf(lf), false},
        {lf, true, lf, false},
        {"From a@b Thu Mar  5 10:00:00 2026\n" + lf + "\n", false, Crlf(lf), true},
    };
    int n = 0;
    for (const auto& [content, keep, expected, changed] : cases) {
      ImportItem item;
      item.path = dir + "/" + std::to_string(lines) + "-" + std::to_string(n++);
      WriteFile(item.path, content);
      bool got_changed = false;
      EXPECT_TRUE(Load(item, keep, &got_changed) == expected) << item.path;
      EXPECT_EQ(got_changed, changed) << item.path;
    }
  }
  const std::string path = dir + "/box";
  WriteFile(path, "From a@b Thu Mar  5 10:00:00 2026\nSubject: x\n\n>From x\n>>From y\n");
  std::vector<ImportItem> items;
  std::string error;
  ASSERT_TRUE(ScanMbox(path, "INBOX", &items, &error)) << error;
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(Load(items[0], true), "Subject: x\n\nFrom x\n>From y\n");
  WriteFile(path, "From a@b Thu Mar  5 10:00:00 2026\n");
  MailBytes mail;
  EXPECT_FALSE(LoadMail(items[0], false, nullptr, &mail, &error));
  EXPECT_NE(error.find("cut short"), std::string::npos) << error;
}

// Folder names: modified UTF-7, and what the store would merge: ASCII case,
// and levels that agree in their first 100 UTF-16 characters (one above the
// BMP counts two).
TEST(FolderNames, ModifiedUtf7AndTheKeyTheStoreMergesBy) {
  const std::pair<const char*, const char*> cases[] = {
      // nullptr: not valid
      {"A&-B", "A&B"},
      {"&2D3eAA-", "\xF0\x9F\x98\x80"},
      {"&ZeVnLIqe-.x", "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E.x"},
      {"&abc", nullptr},
      {"&$$-", nullptr},
      {"&2D0-", nullptr},     // a lone high surrogate
      {"&2D0AQQ-", nullptr},  // a high surrogate before another unit than a low one
      {"caf\xC3\xA9", nullptr},
      {"&AAA-", nullptr},    // NUL, which would cut the name at the C API
      {"x&AC8-y", nullptr},  // an encoded "/": printable ASCII stands for itself
      {"&AB8-", nullptr},    // a control character
  };
  for (const auto& [in, out] : cases) {
    EXPECT_EQ(DecodeModifiedUtf7(in).value_or("<invalid>"), out ? out : "<invalid>") << in;
  }
  const std::string a100(100, 'a');
  EXPECT_EQ(StoreFolderKey("INBOX.Sub"), StoreFolderKey("inbox.sub"));
  EXPECT_EQ(StoreFolderKey(a100 + "x.B"), StoreFolderKey(a100 + "y.b"));
  EXPECT_NE(StoreFolderKey(std::string(99, 'a') + "x"), StoreFolderKey(std::string(99, 'a') + "y"));
  const std::string emoji = "\xF0\x9F\x98\x80";  // two UTF-16 units
  EXPECT_EQ(StoreFolderKey(std::string(98, 'a') + emoji + "x"),
            StoreFolderKey(std::string(98, 'a') + emoji + "y"));
}

TEST(SelectShard, EveryItemInExactlyOneShardAndShardOneHasEachFoldersFirstMail) {
  std::vector<ImportItem> items(12);
  for (size_t i = 0; i < items.size(); ++i) {
    items[i].path = "/m/" + std::to_string(i);
    items[i].folder = i < 5 ? "INBOX" : i < 9 ? "INBOX.a" : "inbox.A";
  }
  items[0].skip_reason = "not mail";  // a skipped item is nobody's first mail
  for (int n = 1; n <= 4; ++n) {
    std::multiset<std::string> all;
    for (int k = 1; k <= n; ++k) {
      for (const auto& item : SelectShard(items, k, n)) all.insert(item.path);
    }
    for (const auto& item : items) EXPECT_EQ(all.count(item.path), 1u) << n;
  }
  const auto first = SelectShard(items, 1, 3);
  ASSERT_GE(first.size(), 2u);
  EXPECT_EQ(first[0].path + " " + first[1].path, "/m/1 /m/5");
}

TEST(Journal, ResumesImportedAndSkippedItemsRetriesFailedAndKnowsInDoubt) {
  const std::string dir = MakeScratchDirectory("journal"), path = dir + "/run.journal";
  const JournalOwner owner{"db:5432/store", "7", "8", "inbox"};
  auto item = [&](const std::string& name, int64_t offset = -1) {
    ImportItem i;
    i.path = dir + "/" + name;
    i.offset = offset;
    if (offset >= 0) i.source.kind = ItemSource::Kind::kMbox;
    return i;
  };
  const ImportItem a = item("new\nline.eml"), b = item("box.mbox", 120), c = item("tab\there.eml"),
                   d = item("d.eml"), e = item("e.eml");
  std::string error;
  {
    Journal j;
    ASSERT_TRUE(j.Open(path, owner, &error));
    j.Begin(a, 10, 0xabc);
    j.Done(a, 0, 10, 0xabc);
    j.Begin(b, 20, 1);
    j.Done(b, 1004, 20, 1);
    j.Skip(c);
    j.Begin(d, 30, 2);  // the run ends during this call
  }
  // A crash in the middle of a line leaves a fragment without a line end.
  std::ofstream(path, std::ios::app) << "done\t0\t-1\t5";
  Journal j;
  ASSERT_TRUE(j.Open(path, owner, &error));
  EXPECT_EQ(std::make_tuple(j.IsComplete(a), j.IsComplete(b), j.IsComplete(c), j.IsComplete(d),
                            j.IsComplete(e)),
            std::make_tuple(true, false, true, false, false));  // failed items are tried again
  EXPECT_EQ(j.InDoubt(), std::vector<std::string>{JournalKey(d)});
  EXPECT_EQ(j.Find(a)->hash, 0xabcu);
  EXPECT_EQ(j.Find(b)->code, 1004);
  // Appending after the fragment starts a new line.
  j.Done(e, 0, 1, 3);
  Journal again;
  ASSERT_TRUE(again.Open(path, owner, &error));
  EXPECT_TRUE(again.IsComplete(e));
  // The journal is another import's for any other user, company, folder or store.
  for (auto other : {JournalOwner{"db:5432/other", "7", "8", "inbox"},
                     JournalOwner{"db:5432/store", "9", "8", "inbox"},
                     JournalOwner{"db:5432/store", "7", "8", "archive"}}) {
    Journal refused;
    EXPECT_FALSE(refused.Open(path, other, &error));
    EXPECT_NE(error.find("belongs to the import of user 7"), std::string::npos) << error;
  }
}

// The status line, bar and JSON; the report's quoting and the --max-rate pacer.
TEST(Progress, BarFitsTheWidthAndDropsTheLeastImportantParts) {
  ProgressState s{250, 1000, 0, 5'000'000, 10, "", ""};  // done, total, failed, bytes, seconds
  EXPECT_EQ(RenderProgressBar(s, 100), "[" + std::string(12, '#') + std::string(38, ' ') +
                                           "] 250/1000 25% 25.0 mails/s 0.50 MB/s ETA 0:30");
  for (int width : {100, 60, 40, 25, 12, 2}) {
    EXPECT_LE(RenderProgressBar(s, width).size() + 1, static_cast<size_t>(width)) << width;
  }
  EXPECT_EQ(RenderProgressBar(s, 40).find("ETA"), std::string::npos);
  EXPECT_NE(RenderProgressBar(s, 25).find("250/1000"), std::string::npos);
  s.failed = 3;
  EXPECT_EQ(RenderStatusLine(s),
            "250/1000 items (25%), 3 failed, 25.0 mails/s, 0.50 MB/s, ETA 0:30");
  // What holds the run up goes before the rates, which are dropped first.
  s.note = "database unreachable, retrying in 4s";
  EXPECT_TRUE(RenderStatusLine(s).ends_with(", ETA 0:30, database unreachable, retrying in 4s"));
  EXPECT_NE(RenderProgressBar(s, 100).find("3 failed database unreachable, retrying in 4s"),
            std::string::npos)
      << RenderProgressBar(s, 100);
  EXPECT_EQ(FormatDuration(3725) + " " + FormatDuration(59.6), "1:02:05 1:00");
  s.folder = "INBOX.\"Q\"\\x";
  EXPECT_EQ(RenderStatusJson(s, "user 7", 1770091506, false),
            "{\"time\": \"2026-02-03T04:05:06Z\", \"finished\": false, \"account\": \"user 7\", "
            "\"folder\": \"INBOX.\\\"Q\\\"\\\\x\", \"done\": 250, \"total\": 1000, \"failed\": 3, "
            "\"bytes\": 5000000, \"seconds\": 10.0, \"mails_per_second\": 25.00, "
            "\"eta_seconds\": 30, \"note\": \"database unreachable, retrying in 4s\"}\n");
  EXPECT_EQ(ReportWriter::Quote("a,b") + ReportWriter::Quote("two\nlines"),
            "\"a,b\"\"two\nlines\"");
  // Slots one interval apart over all workers; an idle spell gives no burst.
  RatePacer pacer(4);
  std::vector<double> slots;
  for (double now : {100.0, 100.0, 100.1, 110.0, 110.0}) slots.push_back(pacer.Next(now));
  EXPECT_EQ(slots, (std::vector<double>{100.0, 100.25, 100.5, 110.0, 110.25}));
}

// The importer connects where the library does, through the library's
// reader and connection string, with server-side plans back on.
TEST(RegistryFile, TheStoreConnectionIsTheLibrarysWithServerSidePlans) {
  const std::string path = MakeScratchDirectory("registry") + "/a.reg";
  WriteFile(path,
            "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Other]\n\"DatabaseHost\"=\"wrong\"\n\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Nauvik\\Ostrel]\n\"databasehost\"=\"db.example\"\n"
            "\"DatabasePort\"=dword:0000152f\n\"DatabaseDriverName\"=\"PostgreSQL Unicode\"\n");
  std::string error;
  const std::string connection = StoreConnectionString(path, &error);
  EXPECT_EQ(connection,
            BuildPostgresConnectString(kDatabaseKeyPath, path) + "UseServerSidePrepare=1;");
  EXPECT_TRUE(connection.starts_with("DRIVER=PostgreSQL Unicode;DBQ=db.example:5423;"))
      << connection;
}

// Every field of every item, paths below `root`, one line an item.
std::string DumpItems(const std::vector<ImportItem>& items, const std::string& root) {
  std::string out;
  for (const auto& i : items) {
    const ItemSource& s = i.source;
    char line[512];
    snprintf(line, sizeof line, "%s|%lld|%llu|%s|%d%d%d|%s|%s|%s|k%d d%u u%u+%u o%u %llu %016llx\n",
             i.path.substr(root.size()).c_str(), static_cast<long long>(i.offset),
             static_cast<unsigned long long>(i.length), i.folder.c_str(), i.mbox, i.seen, i.draft,
             i.other_flags.c_str(), i.date.c_str(), i.skip_reason.c_str(),
             static_cast<int>(s.kind),
             s.directory_length ? s.directory_length - static_cast<uint32_t>(root.size()) : 0,
             s.unique_begin ? s.unique_begin - static_cast<uint32_t>(root.size()) : 0,
             s.unique_length, s.occurrence, static_cast<unsigned long long>(s.size),
             static_cast<unsigned long long>(s.hash));
    out += line;
  }
  return out;
}

// What the walk listed before it handed items out in windows.
constexpr const char* kVariedTreeItems =
    "/a.eml|-1|17|INBOX|000||Thu, 1 Jan 2026 00:00:00 +0000||k0 d0 u0+0 o0 0 0000000000000000\n"
    "/b/.hidden|-1|0|INBOX.b|000|||hidden directory|k0 d0 u0+0 o0 0 0000000000000000\n"
    "/b/c/deep.eml|-1|17|INBOX.b.c|000||Thu, 1 Jan 2026 00:00:00 +0000||k0 d0 u0+0 o0 0 0000000000000000\n"
    "/b/c/empty|-1|0|INBOX.b.c|000|||empty file|k0 d0 u0+0 o0 0 0000000000000000\n"
    "/b/crlf|0|57|INBOX.b.crlf|100||Thu, 5 Mar 2026 10:00:00 +0000||k2 d0 u0+0 o0 55 814e7bc86952cb27\n"
    "/b/crlf|57|56|INBOX.b.crlf|100||Thu, 5 Mar 2026 10:00:00 +0000||k2 d0 u0+0 o0 56 1f157fbaed57d465\n"
    "/b/dovecot.index|-1|1|INBOX.b|000|||not mail|k0 d0 u0+0 o0 0 0000000000000000\n"
    "/b/list.mbox|0|52|INBOX.b.list|100||Thu, 5 Mar 2026 10:00:00 +0000||k2 d0 u0+0 o0 51 ba1a5dabd3669a2f\n"
    "/b/list.mbox|52|51|INBOX.b.list|100||Thu, 5 Mar 2026 10:00:00 +0000||k2 d0 u0+0 o0 50 c41afd0139143840\n"
    "/b/list.mbox|103|52|INBOX.b.list|100||Thu, 5 Mar 2026 10:00:00 +0000||k2 d0 u0+0 o1 51 ba1a5dabd3669a2f\n"
    "/b/list.mbox|155|51|INBOX.b.list|100||Thu, 5 Mar 2026 10:00:00 +0000||k2 d0 u0+0 o2 51 ba1a5dabd3669a2f\n"
    "/b/single|-1|51|INBOX.b|000||Thu, 5 Mar 2026 10:00:00 +0000||k0 d0 u0+0 o0 0 0000000000000000\n"
    "/md/new/1700000001.M1.h|-1|17|INBOX.md|000||Tue, 14 Nov 2023 22:13:21 +0000||k1 d3 u8+15 o0 0 0000000000000000\n"
    "/md/cur/1700000002.M2.h:2,RS|-1|17|INBOX.md|010|R|Tue, 14 Nov 2023 22:13:22 +0000||k1 d3 u8+15 o0 0 0000000000000000\n"
    "/md/cur/1700000003.M3.h:2,DFa|-1|51|INBOX.md|001|Fa|Tue, 14 Nov 2023 22:13:23 +0000||k1 d3 u8+15 o0 0 0000000000000000\n"
    "/md/.A.B/new/1700000011.M11.h|-1|17|INBOX.md.A.B|000||Tue, 14 Nov 2023 22:13:31 +0000||k1 d8 u13+16 o0 0 0000000000000000\n"
    "/md/.A.B/cur/1700000012.M12.h:2,|-1|17|INBOX.md.A.B|000||Tue, 14 Nov 2023 22:13:32 +0000||k1 d8 u13+16 o0 0 0000000000000000\n"
    "/md/.Sent/new/1700000013.M13.h|-1|17|INBOX.md.Sent|000||Tue, 14 Nov 2023 22:13:33 +0000||k1 d9 u14+16 o0 0 0000000000000000\n";

// A tree with the inputs only the walk tells apart (the tool tests show the
// other skip reasons); every file dated 2026-01-01, the date of those without
// another.
TEST(ItemLister, WindowsListTheTreeInTheStableOrder) {
  const std::string root = MakeScratchDirectory("lister-varied");
  const std::string mail = "Subject: x\n\nbody\n";
  const std::string envelope = "From a@b Thu Mar  5 10:00:00 2026\n";
  for (const char* path : {"/a.eml", "/b/c/deep.eml", "/b/.hidden/x.eml", "/md/new/1700000001.M1.h",
                           "/md/cur/1700000002.M2.h:2,RS", "/md/.A.B/cur/1700000012.M12.h:2,",
                           "/md/.A.B/new/1700000011.M11.h", "/md/.Sent/new/1700000013.M13.h"}) {
    WriteFile(root + path, mail);
  }
  WriteFile(root + "/b/c/empty", "");
  WriteFile(root + "/b/dovecot.index", "x");
  WriteFile(root + "/b/single", envelope + mail);  // one message, no mbox name: a mail file
  WriteFile(root + "/b/list.mbox", envelope + mail + "\n" + envelope + "Subject: y\n\ntwo\n\n" +
                                       envelope + mail + "\n" + envelope + mail);
  WriteFile(root + "/b/crlf", Crlf(envelope + mail + "\n" + envelope + "Subject: z\n\nthree\n"));
  WriteFile(root + "/md/cur/1700000003.M3.h:2,DFa", envelope + mail);
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    const timespec times[2] = {{1767225600, 0}, {1767225600, 0}};
    utimensat(AT_FDCWD, entry.path().c_str(), times, 0);
  }
  std::vector<ImportItem> items;
  std::string error;
  ASSERT_TRUE(CollectItems(root, "INBOX", &items, &error)) << error;
  EXPECT_EQ(DumpItems(items, root), kVariedTreeItems);

  // Windows of any size, over several inputs, list the same items.
  std::vector<ImportItem> single;
  ASSERT_TRUE(CollectItems(root + "/b/list.mbox", "INBOX", &single, &error)) << error;
  const std::string expected = kVariedTreeItems + DumpItems(single, root);
  for (size_t w : {size_t{1}, size_t{2}, size_t{7}, size_t{1000}}) {
    ItemLister lister({root, root + "/b/list.mbox"}, "INBOX");
    std::vector<ImportItem> all, window;
    while (lister.Next(w, &window, &error)) {
      EXPECT_LE(window.size(), w);
      all.insert(all.end(), window.begin(), window.end());
    }
    EXPECT_EQ(error, "");
    EXPECT_EQ(DumpItems(all, root), expected) << "window " << w;
    EXPECT_LE(lister.peak(), w);
  }
  ItemLister wrong({root, root + "/missing"}, "INBOX");
  std::vector<ImportItem> window;
  EXPECT_FALSE(wrong.Next(5, &window, &error));
  EXPECT_TRUE(window.empty());
  EXPECT_NE(error.find("/missing: no such file or directory"), std::string::npos) << error;
}

}  // namespace
}  // namespace Nauvik::Import
