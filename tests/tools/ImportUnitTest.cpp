// The importer's own parts: line ends, mbox quoting, where mails begin and
// end, headers, dates, Maildir names, enumeration, the bytes given to the
// library, shards, journal, report, progress, options, registry.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <tuple>

#include "tests/tools/MailShapes.h"
#include "tests/tools/ToolRunner.h"
#include "tools/Importer.h"
#include "tools/Inputs.h"
#include "tools/Journal.h"
#include "tools/MailSource.h"
#include "tools/MailText.h"
#include "tools/Options.h"
#include "tools/Progress.h"
#include "tools/Report.h"
#include "tools/Store.h"
#include "db/Registry.h"

namespace Nauvik::Import {
namespace {

using Test::Bounce;
using Test::MakeScratchDirectory;
using Test::WithPatch;
using Test::WriteFile;

TEST(ConvertToCrlf, BareLineFeedsGainCarriageReturnsOthersStay) {
  const std::tuple<const char*, const char*, bool> cases[] = {
      {"a\nb\n", "a\r\nb\r\n", true},     {"a\r\nb\r\n", "a\r\nb\r\n", false},
      {"a\r\nb\nc", "a\r\nb\r\nc", true}, {"\n\n", "\r\n\r\n", true},
      {"lone\rcr", "lone\rcr", false},    {"", "", false},
  };
  for (const auto& [in, expected, changed] : cases) {
    std::string out;
    EXPECT_EQ(ConvertToCrlf(in, &out), changed) << in;
    EXPECT_EQ(out, expected);
  }
}

TEST(UnquoteMboxFrom, RemovesOneQuoteLevelOnlyFromFromLines) {
  const std::pair<const char*, const char*> cases[] = {
      {">From here\n", "From here\n"},
      {">>From here\r\n", ">From here\r\n"},
      {"> From here\n", "> From here\n"},
      {">Frome\n", ">Frome\n"},
      {"text >From inside\n", "text >From inside\n"},
      {"a\n>From b\nc", "a\nFrom b\nc"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(UnquoteMboxFrom(in), out) << in;
}

TEST(IsEnvelopeLine, OnlyFromASenderAndAnAsctimeDate) {
  const std::pair<const char*, bool> cases[] = {
      {"From a@b Thu Mar  5 10:00:00 2026", true},
      {"From MAILER-DAEMON Fri Jan  9 08:00:00 2026\r\n", true},
      {"From a@b Sat Jan 10 09:30:00 CET 2026", true},
      {"From 1a2b3c4d5e6f7a8b9c0d1e2f3a4b5c6d7e8f9a0b Mon Sep 17 00:00:00 2001", true},
      {"From  :<x@y>", false},
      {"From here on, all is well.", false},
      {"From: a@b", false},
      {">From a@b Thu Mar  5 10:00:00 2026", false},
  };
  for (const auto& [line, envelope] : cases) EXPECT_EQ(IsEnvelopeLine(line), envelope) << line;
}

TEST(ScanMbox, MessagesStartOnlyAtEnvelopeLinesAfterAnEmptyLine) {
  const std::string dir = MakeScratchDirectory("scan-mbox");
  for (const bool crlf : {false, true}) {
    const std::string envelopes[] = {"From a@b Thu Mar  5 10:00:00 2026\n",
                                     "From c@d Fri Mar  6 11:00:00 2026\n",
                                     "From e@f Sat Mar  7 12:00:00 2026\n"};
    const std::string bodies[] = {Bounce(), WithPatch(), "Subject: last\n\n>From quoted\n"};
    std::string mbox;
    std::vector<int64_t> offsets;
    for (size_t i = 0; i < 3; ++i) {
      offsets.push_back(static_cast<int64_t>(mbox.size()));
      std::string message = envelopes[i] + bodies[i] + "\n";
      if (crlf) ConvertToCrlf(std::string(message), &message);
      mbox += message;
    }
    const std::string path = dir + (crlf ? "/crlf" : "/lf");
    WriteFile(path, mbox);
    std::vector<ImportItem> items;
    std::string error;
    ASSERT_TRUE(ScanMbox(path, "INBOX", &items, &error)) << error;
    std::vector<int64_t> found;
    for (const auto& item : items) found.push_back(item.offset);
    EXPECT_EQ(found, offsets) << (crlf ? "CRLF" : "LF");
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[2].length, mbox.size() - static_cast<size_t>(offsets[2]));
    EXPECT_EQ(items[1].date, "Fri, 6 Mar 2026 11:00:00 +0000");
  }
}

// The bytes of a message, read back the way the library reads them: by path.
struct Loaded {
  std::string bytes, by_path;
  bool changed = false, in_memory = false, hash_ok = false;
};

Loaded Load(const ImportItem& item, bool keep_line_ends) {
  MailBytes mail;
  std::string error;
  EXPECT_TRUE(LoadMail(item, keep_line_ends, nullptr, &mail, &error)) << error;
  Loaded out{std::string(mail.bytes), Test::ReadFile(mail.path), mail.changed,
             mail.path.starts_with("/proc/self/fd/"), mail.hash == ContentHash(mail.bytes)};
  if (out.in_memory) {
    // Sealed: nothing can change the bytes after they were hashed.
    const int fd = open(mail.path.c_str(), O_RDWR);
    EXPECT_TRUE(fd < 0 || write(fd, "x", 1) < 0) << mail.path;
    if (fd >= 0) close(fd);
  }
  return out;
}

TEST(LoadMail, ASingleMailFileLosesOnlyItsEnvelopeLineAndIsNotSplit) {
  const std::string dir = MakeScratchDirectory("load-single");
  const std::string envelope = "From MAILER-DAEMON Mon Jan 12 10:00:00 2026\n";
  const std::string crlf_mail = "Subject: x\r\n\r\nbody\r\n";
  std::string crlf_patch;
  ConvertToCrlf(WithPatch(), &crlf_patch);
  // name, file content, keep line ends, expected bytes, changed
  const std::tuple<const char*, std::string, bool, std::string, bool> cases[] = {
      {"bounce.eml", envelope + Bounce() + "\n", true, Bounce(), true},
      {"cur/1.M1.h:2,S", envelope + WithPatch() + "\n", false, crlf_patch, true},
      // No ">From" unquoting outside an mbox: the line is the mail's own.
      {"q.eml", envelope + ">From me\n", true, ">From me\n", true},
      {"headerline", WithPatch(), true, WithPatch(), false},
      {"crlf.eml", crlf_mail, false, crlf_mail, false},
  };
  for (const auto& [name, content, keep, expected, changed] : cases) {
    WriteFile(dir + "/" + name, content);
    ImportItem item;
    item.path = dir + "/" + name;
    const Loaded got = Load(item, keep);
    EXPECT_EQ(got.bytes, expected) << name;
    EXPECT_EQ(got.by_path, expected) << name;
    EXPECT_EQ(got.changed, changed) << name;
    EXPECT_EQ(got.in_memory, changed) << name;
    EXPECT_TRUE(got.hash_ok) << name;
  }
}

TEST(LoadMail, AnMboxMessageIsUnquotedConvertedAndGivenFromMemory) {
  const std::string dir = MakeScratchDirectory("load-mbox");
  const std::string path = dir + "/box";
  WriteFile(path,
            "From a@b Thu Mar  5 10:00:00 2026\nSubject: one\n\n>From x\n>>From y\n\n"
            "From c@d Fri Mar  6 11:00:00 2026\r\nSubject: two\r\n\r\nbody\r\n");
  std::vector<ImportItem> items;
  std::string error;
  ASSERT_TRUE(ScanMbox(path, "INBOX", &items, &error)) << error;
  ASSERT_EQ(items.size(), 2u);
  const std::pair<bool, std::string> expected[] = {
      {true, "Subject: one\n\nFrom x\n>From y\n"},
      {false, "Subject: one\r\n\r\nFrom x\r\n>From y\r\n"},
  };
  for (const auto& [keep, bytes] : expected) {
    const Loaded got = Load(items[0], keep);
    EXPECT_EQ(got.bytes, bytes);
    EXPECT_EQ(got.by_path, bytes);
    EXPECT_TRUE(got.changed && got.in_memory && got.hash_ok);
  }
  EXPECT_EQ(Load(items[1], false).by_path, "Subject: two\r\n\r\nbody\r\n");
  // A file cut short since the scan is an error, not a shorter mail.
  WriteFile(path, "From a@b Thu Mar  5 10:00:00 2026\n");
  MailBytes mail;
  EXPECT_FALSE(LoadMail(items[1], false, nullptr, &mail, &error));
  EXPECT_NE(error.find("cut short"), std::string::npos) << error;
}

// Small mails are read into the heap, large ones mapped; both give the
// library the same bytes by path as the importer sees.
TEST(LoadMail, MailsEitherSideOfTheHeapLimitGiveTheSameBytes) {
  const std::string dir = MakeScratchDirectory("load-sizes");
  const std::string line(75, 'x');
  for (const size_t lines : {size_t{3}, size_t{13000}, size_t{40000}}) {  // 0.2 KB, 1 MB, 3 MB
    std::string lf = "Subject: size\n\n";
    for (size_t i = 0; i < lines; ++i) lf += line + std::to_string(i % 10) + "\n";
    std::string crlf;
    ConvertToCrlf(lf, &crlf);
    // file content, keep line ends, expected bytes, changed
    const std::tuple<std::string, bool, std::string, bool> cases[] = {
        {lf, false, crlf, true},
        {crlf, false, crlf, false},
        {lf, true, lf, false},
        {"From a@b Thu Mar  5 10:00:00 2026\n" + lf + "\n", false, crlf, true},
    };
    int n = 0;
    for (const auto& [content, keep, expected, changed] : cases) {
      const std::string name = std::to_string(lines) + "-" + std::to_string(n++);
      WriteFile(dir + "/" + name, content);
      ImportItem item;
      item.path = dir + "/" + name;
      const Loaded got = Load(item, keep);
      EXPECT_TRUE(got.bytes == expected) << name << ": " << got.bytes.size();
      EXPECT_TRUE(got.by_path == expected) << name << ": " << got.by_path.size();
      EXPECT_EQ(got.changed, changed) << name;
      EXPECT_TRUE(got.hash_ok) << name;
    }
  }
}

TEST(HeaderField, FindsUnfoldedFieldsInTheHeaderBlockOnly) {
  const std::string mail =
      "Received: x\r\nmessage-id:  <a@b>\r\nSubject: one\r\n two\r\n\tthree\r\n\r\nDate: not a "
      "header\r\n";
  EXPECT_EQ(HeaderField(mail, "Message-ID").value_or("?"), "<a@b>");
  EXPECT_EQ(HeaderField(mail, "subject").value_or("?"), "one two\tthree");
  EXPECT_FALSE(HeaderField(mail, "Date").has_value());
  EXPECT_EQ(HeaderField("Date: Thu, 1 Jan 2026\nX: y\n", "date").value_or("?"), "Thu, 1 Jan 2026");
}

TEST(Dates, EpochSecondsAndMboxFromLinesGiveRfc822Text) {
  EXPECT_EQ(Rfc822DateFromEpoch(951782400 + 3661), "Tue, 29 Feb 2000 01:01:01 +0000");
  const std::pair<const char*, const char*> cases[] = {
      {"From a@b Thu Mar  5 10:00:00 2026", "Thu, 5 Mar 2026 10:00:00 +0000"},
      {"From a@b Thu Mar 5 10:00:00 2026 +0100", "Thu, 5 Mar 2026 10:00:00 +0100"},
      {"From MAILER-DAEMON Fri Jan  9 08:00:00 2026", "Fri, 9 Jan 2026 08:00:00 +0000"},
      {"From \"Jo Doe\" Sat Jan 10 09:30:00 2026", "Sat, 10 Jan 2026 09:30:00 +0000"},
      {"From a@b Sat Jan 10 09:30:00 CET 2026", "Sat, 10 Jan 2026 09:30:00 CET"},
      {"From a@b", ""},
      {"From a@b yesterday", ""},
  };
  for (const auto& [line, date] : cases) EXPECT_EQ(DateFromMboxFromLine(line), date) << line;
}

TEST(MaildirNames, DeliveryTimeAndFlags) {
  EXPECT_EQ(MaildirDeliveryTime("1767261600.M1P2.host:2,S").value_or(-1), 1767261600);
  EXPECT_FALSE(MaildirDeliveryTime("msg.1767261600").has_value());
  EXPECT_FALSE(MaildirDeliveryTime("1767261600").has_value());
  const std::tuple<const char*, bool, bool, const char*> cases[] = {
      {"1.a.h:2,S", true, false, ""},     {"1.a.h:2,RS", true, false, "R"},
      {"1.a.h:2,DFT", false, true, "FT"}, {"1.a.h:2,Sab", true, false, "ab"},
      {"1.a.h:2,", false, false, ""},     {"1.a.h", false, false, ""},
  };
  for (const auto& [name, seen, draft, other] : cases) {
    const MaildirFlags f = ParseMaildirFlags(name);
    EXPECT_EQ(std::tie(f.seen, f.draft, f.other), std::make_tuple(seen, draft, std::string(other)))
        << name;
  }
}

TEST(DecodeModifiedUtf7, DecodesImapFolderNames) {
  const std::pair<const char*, const char*> cases[] = {
      // nullptr: not valid
      {"Sent", "Sent"},  // the samples of the end-to-end test hold two more
      {"A&-B", "A&B"},
      {"&2D3eAA-", "\xF0\x9F\x98\x80"},
      {"&ZeVnLIqe-.x", "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E.x"},
      {"&abc", nullptr},
      {"&$$-", nullptr},
      {"&2D0-", nullptr},  // a lone high surrogate
      {"caf\xC3\xA9", nullptr},
      {"&AAA-", nullptr},    // NUL, which would cut the name at the C API
      {"x&AC8-y", nullptr},  // an encoded "/": printable ASCII stands for itself
      {"&AB8-", nullptr},    // a control character
  };
  for (const auto& [in, out] : cases) {
    EXPECT_EQ(DecodeModifiedUtf7(in).value_or("<invalid>"), out ? out : "<invalid>") << in;
  }
}

std::vector<std::string> Describe(const std::vector<ImportItem>& items, const std::string& root) {
  std::vector<std::string> out;
  for (const auto& i : items) {
    std::string path = i.path.substr(root.size() + 1);
    std::string text = i.folder + " " + path;
    if (i.offset >= 0) text += "@" + std::to_string(i.offset);
    if (i.seen) text += " seen";
    if (i.draft) text += " draft";
    if (!i.other_flags.empty()) text += " +" + i.other_flags;
    if (!i.skip_reason.empty()) text += " SKIP(" + i.skip_reason + ")";
    out.push_back(text);
  }
  return out;
}

TEST(CollectItems, MaildirPlusPlusInStableOrderWithFoldersFlagsAndSkips) {
  const std::string md = MakeScratchDirectory("collect-maildir");  // Sent, UTF-7: end to end
  const std::string mail = "Subject: x\n\nbody\n";
  WriteFile(md + "/cur/1700000002.M2.h:2,RS", mail);
  WriteFile(md + "/new/1700000001.M1.h", mail);
  WriteFile(md + "/cur/1700000003.M3.h:2,DFa", mail);
  WriteFile(md + "/new/1700000004.M4.h", "");
  WriteFile(md + "/tmp/1700000005.M5.h", "partial");
  WriteFile(md + "/dovecot-uidlist", "x");
  WriteFile(md + "/maildirsize", "x");
  WriteFile(md + "/.A.B/cur/1700000012.M12.h:2,", mail);
  WriteFile(md + "/.notmaildir/file", mail);  // no cur/ or new/: not a folder

  std::vector<ImportItem> items;
  std::string error;
  ASSERT_TRUE(CollectItems(md, "INBOX", &items, &error)) << error;
  EXPECT_EQ(Describe(items, md), (std::vector<std::string>{
                                     "INBOX new/1700000001.M1.h",
                                     "INBOX cur/1700000002.M2.h:2,RS seen +R",
                                     "INBOX cur/1700000003.M3.h:2,DFa draft +Fa",
                                     "INBOX new/1700000004.M4.h SKIP(empty file)",
                                     "INBOX tmp/1700000005.M5.h SKIP(Maildir tmp/)",
                                     "INBOX.A.B .A.B/cur/1700000012.M12.h:2,",
                                     "INBOX .notmaildir SKIP(directory that is no Maildir folder)",
                                     "INBOX dovecot-uidlist SKIP(not mail)",
                                     "INBOX maildirsize SKIP(not mail)",
                                 }));
  EXPECT_EQ(items[0].date, Rfc822DateFromEpoch(1700000001));
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
    EXPECT_EQ(all.size(), items.size()) << n;
    for (const auto& item : items) EXPECT_EQ(all.count(item.path), 1u) << n;
  }
  auto first = SelectShard(items, 1, 3);
  ASSERT_GE(first.size(), 2u);
  EXPECT_EQ(first[0].path, "/m/1");
  EXPECT_EQ(first[1].path, "/m/5");
  for (const auto& item : SelectShard(items, 2, 3)) {
    EXPECT_NE(item.path, "/m/1");
    EXPECT_NE(item.path, "/m/5");
  }
}

TEST(Journal, ResumesImportedAndSkippedItemsRetriesFailedAndKnowsInDoubt) {
  const std::string dir = MakeScratchDirectory("journal");
  const std::string path = dir + "/run.journal";
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
  {
    Journal j;
    std::string error;
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
  std::string error;
  ASSERT_TRUE(j.Open(path, owner, &error));
  EXPECT_TRUE(j.IsComplete(a));
  EXPECT_FALSE(j.IsComplete(b)) << "failed items are tried again";
  EXPECT_TRUE(j.IsComplete(c));
  EXPECT_FALSE(j.IsComplete(d));
  EXPECT_FALSE(j.IsComplete(e));
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

// Lines of an earlier release name the item by path (and mbox offset); a
// Maildir file among them is found again after it moved to cur/.
TEST(Journal, ReadsTheLinesOfAnEarlierReleaseOnce) {
  const std::string dir = MakeScratchDirectory("journal-legacy");
  WriteFile(dir + "/old.journal", "done\t0\t-1\t10\t0000000000000abc\t" + dir +
                                      "/md/new/1001.host\ndone\t0\t120\t20\t1\t" + dir +
                                      "/box\n");
  Journal j;
  std::string error;
  ASSERT_TRUE(j.Open(dir + "/old.journal", {"s", "1", "2", "inbox"}, &error)) << error;
  ImportItem moved;
  moved.path = dir + "/md/cur/1001.host:2,S";
  moved.source.kind = ItemSource::Kind::kMaildir;
  moved.source.directory_length = static_cast<uint32_t>(dir.size() + 3);
  moved.source.unique_begin = static_cast<uint32_t>(dir.size() + 8);
  moved.source.unique_length = 9;
  ASSERT_TRUE(j.Find(moved).has_value());
  EXPECT_TRUE(j.Find(moved)->legacy);
  EXPECT_EQ(j.Find(moved)->hash, 0xabcu);
  ImportItem message;
  message.path = dir + "/box";
  message.offset = 120;
  message.source.kind = ItemSource::Kind::kMbox;
  EXPECT_TRUE(j.IsComplete(message));
  message.offset = 0;
  EXPECT_FALSE(j.IsComplete(message));
}

TEST(ReportWriter, QuotesFieldsAsSpreadsheetsExpect) {
  EXPECT_EQ(ReportWriter::Quote("plain"), "plain");
  EXPECT_EQ(ReportWriter::Quote("a,b"), "\"a,b\"");
  EXPECT_EQ(ReportWriter::Quote("say \"hi\""), "\"say \"\"hi\"\"\"");
  EXPECT_EQ(ReportWriter::Quote("two\nlines"), "\"two\nlines\"");
}

TEST(Progress, BarFitsTheWidthAndDropsTheLeastImportantParts) {
  ProgressState s{.done = 250,
                  .total = 1000,
                  .failed = 0,
                  .bytes = 5'000'000,
                  .seconds = 10,
                  .note = "",
                  .folder = ""};
  const std::string wide = RenderProgressBar(s, 100);
  for (const char* part : {"250/1000", "25%", "25.0 mails/s", "0.50 MB/s", "ETA 0:30", "[#"}) {
    EXPECT_NE(wide.find(part), std::string::npos) << wide;
  }
  for (int width : {100, 60, 40, 25, 12, 2}) {
    const std::string line = RenderProgressBar(s, width);
    EXPECT_LE(static_cast<int>(line.size()), std::max(width - 1, 0)) << line;
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
  EXPECT_EQ(FormatDuration(3725), "1:02:05");
  EXPECT_EQ(FormatDuration(59.6), "1:00");
  s.folder = "INBOX.\"Q\"\\x";
  EXPECT_EQ(RenderStatusJson(s, "user 7", 1770091506, false),
            "{\"time\": \"2026-02-03T04:05:06Z\", \"finished\": false, \"account\": \"user 7\", "
            "\"folder\": \"INBOX.\\\"Q\\\"\\\\x\", \"done\": 250, \"total\": 1000, \"failed\": 3, "
            "\"bytes\": 5000000, \"seconds\": 10.0, \"mails_per_second\": 25.00, "
            "\"eta_seconds\": 30, "
            "\"note\": \"database unreachable, retrying in 4s\"}\n");
}

// Folder names the store would merge: ASCII case, and levels that agree in
// their first 100 UTF-16 characters (one above the BMP counts two).
TEST(StoreFolderKey, MergesWhatTheStoreMerges) {
  const std::string a100(100, 'a');
  EXPECT_EQ(StoreFolderKey("INBOX.Sub"), StoreFolderKey("inbox.sub"));
  EXPECT_EQ(StoreFolderKey(a100 + "x.B"), StoreFolderKey(a100 + "y.b"));
  EXPECT_NE(StoreFolderKey(std::string(99, 'a') + "x"), StoreFolderKey(std::string(99, 'a') + "y"));
  const std::string emoji = "\xF0\x9F\x98\x80";  // two UTF-16 units
  EXPECT_EQ(StoreFolderKey(std::string(98, 'a') + emoji + "x"),
            StoreFolderKey(std::string(98, 'a') + emoji + "y"));
}

// --max-rate: the slots the workers get, one interval apart; an idle spell
// gives no burst afterwards.
TEST(RatePacer, SpacesCallsEvenlyOverAllThreads) {
  RatePacer pacer(4);
  EXPECT_EQ(pacer.Next(100.0), 100.0);
  EXPECT_EQ(pacer.Next(100.0), 100.25);
  EXPECT_EQ(pacer.Next(100.1), 100.5);
  EXPECT_EQ(pacer.Next(110.0), 110.0);
  EXPECT_EQ(pacer.Next(110.0), 110.25);
}

int Parse(std::vector<std::string> args, ImportOptions* o) {
  args.insert(args.begin(), "mailstorage-import");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  const int status = ParseOptions(static_cast<int>(argv.size()), argv.data(), o);
  testing::internal::GetCapturedStderr();
  testing::internal::GetCapturedStdout();
  return status;
}

TEST(ParseOptions, AcceptsGoodCommandLinesAndRejectsBadOnesWithStatus2) {
  const std::pair<std::vector<std::string>, int> cases[] = {
      // -1: go on and import
      {{"--user", "5", "--company", "6", "--shard", "2/3", "--threads", "4", "--date", "header",
        "--folder", "Archive.2024", "a", "b"},
       -1},
      {{"--help"}, 0},
      {{"--version"}, 0},
      {{"--company", "1", "x"}, 2},
      {{"--user", "1", "--company", "1"}, 2},
      {{"--user", "abc", "--company", "1", "x"}, 2},
      {{"--user", "0", "--company", "1", "x"}, 2},
      {{"--user", "1", "--company", "1", "--shard", "0/3", "x"}, 2},
      {{"--user", "1", "--company", "1", "--shard", "4/3", "x"}, 2},
      {{"--user", "1", "--company", "1", "--shard", "1-3", "x"}, 2},
      {{"--user", "1", "--company", "1", "--threads", "0", "x"}, 2},
      {{"--user", "1", "--company", "1", "--date", "sent", "x"}, 2},
      {{"--user", "1", "--company", "1", "--folder", "A..B", "x"}, 2},
      {{"--user", "1", "--company", "1", "--verify", "--no-check", "x"}, 2},
      {{"--user", "1", "--company", "1", "--bogus", "x"}, 2},
  };
  for (const auto& [args, status] : cases) {
    ImportOptions options;
    EXPECT_EQ(Parse(args, &options), status) << testing::PrintToString(args);
  }
}

TEST(RegistryFile, ReadsTheStoreKeyInEveryValueForm) {
  const std::string dir = MakeScratchDirectory("registry");
  setenv("MS_TEST_REG_HOME", "/srv/home", 1);
  WriteFile(
      dir + "/a.reg",
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Other]\r\n\"DatabaseHost\"=\"wrong\"\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Nauvik\\Ostrel]\r\n"
      "\"databasehost\"=\"db.example\"\r\n"
      "\"DatabasePassword\"=\"p\\\"w\\\\d\"\r\n"
      "\"DatabasePort\"=dword:0000152f\r\n"
      "\"DatabaseName\"=hex(2):25,00,4d,00,53,00,5f,00,54,00,45,00,53,00,54,00,5f,00,52,\\\r\n"
      "  00,45,00,47,00,5f,00,48,00,4f,00,4d,00,45,00,25,00,00,00\r\n"
      "\"DatabaseDriverName\"=\"PostgreSQL Unicode\"\r\n"
      "\"DatabaseUsername\"=\"ms\"\r\n");
  // The importer's connection is the library's, read by the library's reader:
  // a value form one of two readers took differently would connect the two
  // to different places.
  std::string error;
  const std::string connection = StoreConnectionString(dir + "/a.reg", &error);
  EXPECT_EQ(connection, BuildPostgresConnectString(kDatabaseKeyPath, dir + "/a.reg") +
                            "UseServerSidePrepare=1;");
  EXPECT_TRUE(connection.starts_with(
      "DRIVER=PostgreSQL Unicode;DBQ=db.example:5423//srv/home;DATABASE=/srv/home;"
      "SERVER=db.example;PORT=5423;UID=ms;PWD=p\"w\\d;"))
      << connection;
  WriteFile(dir + "/b.reg", "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Other]\n\"A\"=\"b\"\n");
  EXPECT_EQ(StoreConnectionString(dir + "/b.reg", &error), "");
  EXPECT_NE(error.find("has no key Software\\Nauvik\\Ostrel"), std::string::npos) << error;
  WriteFile(dir + "/c.reg", "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Nauvik\\Ostrel]\n\"DatabaseName\"=\"x\"\n");
  EXPECT_EQ(StoreConnectionString(dir + "/c.reg", &error), "");
  EXPECT_NE(error.find("names no DatabaseHost"), std::string::npos) << error;
  EXPECT_EQ(StoreConnectionString(dir + "/missing.reg", &error), "");
  EXPECT_NE(error.find("registry file missing"), std::string::npos) << error;
}

}  // namespace
}  // namespace Nauvik::Import

namespace Nauvik::Import {
namespace {

using Test::Crlf;
using Test::MakeScratchDirectory;
using Test::WriteFile;

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

// A tree with every kind of input the walk tells apart; every file dated
// 2026-01-01 so that dates taken from the file are the same each run.
std::string MakeVariedTree(const std::string& name) {
  const std::string root = MakeScratchDirectory(name);
  const std::string mail = "Subject: x\n\nbody\n";
  const std::string envelope = "From a@b Thu Mar  5 10:00:00 2026\n";
  WriteFile(root + "/a.eml", mail);
  WriteFile(root + "/b/c/deep.eml", mail);
  WriteFile(root + "/b/c/empty", "");
  WriteFile(root + "/b/.hidden/x.eml", mail);
  WriteFile(root + "/b/dovecot.index", "x");
  WriteFile(root + "/b/single", envelope + mail);  // one message, no mbox name: a mail file
  WriteFile(root + "/b/list.mbox", envelope + mail + "\n" + envelope + "Subject: y\n\ntwo\n\n" +
                                       envelope + mail + "\n" + envelope + mail);
  WriteFile(root + "/b/crlf", Crlf(envelope + mail + "\n" + envelope + "Subject: z\n\nthree\n"));
  WriteFile(root + "/md/cur/1700000002.M2.h:2,RS", mail);
  WriteFile(root + "/md/new/1700000001.M1.h", mail);
  WriteFile(root + "/md/cur/1700000003.M3.h:2,DFa", envelope + mail);
  WriteFile(root + "/md/new/1700000004.M4.h", "");
  WriteFile(root + "/md/tmp/1700000005.M5.h", "partial");
  WriteFile(root + "/md/maildirsize", "x");
  WriteFile(root + "/md/.A.B/cur/1700000012.M12.h:2,", mail);
  WriteFile(root + "/md/.A.B/new/1700000011.M11.h", mail);
  WriteFile(root + "/md/.Sent/new/1700000013.M13.h", mail);
  WriteFile(root + "/md/.plain/file", mail);  // no cur/ or new/: not a folder
  WriteFile(root + "/z/closed/inside.eml", mail);
  std::filesystem::create_symlink(root + "/nowhere", root + "/b/dangling");
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    const timespec times[2] = {{1767225600, 0}, {1767225600, 0}};
    utimensat(AT_FDCWD, entry.path().c_str(), times, AT_SYMLINK_NOFOLLOW);
  }
  std::filesystem::permissions(root + "/z/closed", std::filesystem::perms::none);
  return root;
}

// Root reads every directory: the walk then runs as nobody, for whom the
// closed one is closed.
class AsNobody {
 public:
  AsNobody() : root_(geteuid() == 0) {
    if (root_) {
      EXPECT_EQ(seteuid(65534), 0);
    }
  }
  ~AsNobody() {
    if (root_) {
      EXPECT_EQ(seteuid(0), 0);
    }
  }

 private:
  const bool root_;
};

// What the walk listed before it handed items out in windows.
constexpr const char* kVariedTreeItems =
    "/a.eml|-1|17|INBOX|000||Thu, 1 Jan 2026 00:00:00 +0000||k0 d0 u0+0 o0 0 0000000000000000\n"
    "/b/.hidden|-1|0|INBOX.b|000|||hidden directory|k0 d0 u0+0 o0 0 0000000000000000\n"
    "/b/c/deep.eml|-1|17|INBOX.b.c|000||Thu, 1 Jan 2026 00:00:00 +0000||k0 d0 u0+0 o0 0 0000000000000000\n"
    "/b/c/empty|-1|0|INBOX.b.c|000|||empty file|k0 d0 u0+0 o0 0 0000000000000000\n"
    "/b/crlf|0|57|INBOX.b.crlf|100||Thu, 5 Mar 2026 10:00:00 +0000||k2 d0 u0+0 o0 55 814e7bc86952cb27\n"
    "/b/crlf|57|56|INBOX.b.crlf|100||Thu, 5 Mar 2026 10:00:00 +0000||k2 d0 u0+0 o0 56 1f157fbaed57d465\n"
    "/b/dangling|-1|0|INBOX.b|000|||dangling symbolic link|k0 d0 u0+0 o0 0 0000000000000000\n"
    "/b/dovecot.index|-1|1|INBOX.b|000|||not mail|k0 d0 u0+0 o0 0 0000000000000000\n"
    "/b/list.mbox|0|52|INBOX.b.list|100||Thu, 5 Mar 2026 10:00:00 +0000||k2 d0 u0+0 o0 51 ba1a5dabd3669a2f\n"
    "/b/list.mbox|52|51|INBOX.b.list|100||Thu, 5 Mar 2026 10:00:00 +0000||k2 d0 u0+0 o0 50 c41afd0139143840\n"
    "/b/list.mbox|103|52|INBOX.b.list|100||Thu, 5 Mar 2026 10:00:00 +0000||k2 d0 u0+0 o1 51 ba1a5dabd3669a2f\n"
    "/b/list.mbox|155|51|INBOX.b.list|100||Thu, 5 Mar 2026 10:00:00 +0000||k2 d0 u0+0 o2 51 ba1a5dabd3669a2f\n"
    "/b/single|-1|51|INBOX.b|000||Thu, 5 Mar 2026 10:00:00 +0000||k0 d0 u0+0 o0 0 0000000000000000\n"
    "/md/new/1700000001.M1.h|-1|17|INBOX.md|000||Tue, 14 Nov 2023 22:13:21 +0000||k1 d3 u8+15 o0 0 0000000000000000\n"
    "/md/cur/1700000002.M2.h:2,RS|-1|17|INBOX.md|010|R|Tue, 14 Nov 2023 22:13:22 +0000||k1 d3 u8+15 o0 0 0000000000000000\n"
    "/md/cur/1700000003.M3.h:2,DFa|-1|51|INBOX.md|001|Fa|Tue, 14 Nov 2023 22:13:23 +0000||k1 d3 u8+15 o0 0 0000000000000000\n"
    "/md/new/1700000004.M4.h|-1|0|INBOX.md|000|||empty file|k0 d0 u0+0 o0 0 0000000000000000\n"
    "/md/tmp/1700000005.M5.h|-1|7|INBOX.md|000|||Maildir tmp/|k0 d0 u0+0 o0 0 0000000000000000\n"
    "/md/.A.B/new/1700000011.M11.h|-1|17|INBOX.md.A.B|000||Tue, 14 Nov 2023 22:13:31 +0000||k1 d8 u13+16 o0 0 0000000000000000\n"
    "/md/.A.B/cur/1700000012.M12.h:2,|-1|17|INBOX.md.A.B|000||Tue, 14 Nov 2023 22:13:32 +0000||k1 d8 u13+16 o0 0 0000000000000000\n"
    "/md/.Sent/new/1700000013.M13.h|-1|17|INBOX.md.Sent|000||Tue, 14 Nov 2023 22:13:33 +0000||k1 d9 u14+16 o0 0 0000000000000000\n"
    "/md/.plain|-1|0|INBOX.md|000|||directory that is no Maildir folder|k0 d0 u0+0 o0 0 0000000000000000\n"
    "/md/maildirsize|-1|1|INBOX.md|000|||not mail|k0 d0 u0+0 o0 0 0000000000000000\n"
    "/z/closed|-1|0|INBOX.z.closed|000|||unreadable directory (Permission denied)|k0 d0 u0+0 o0 0 0000000000000000\n";

TEST(ItemLister, WindowsListTheTreeInTheStableOrder) {
  const std::string root = MakeVariedTree("lister-varied");
  std::vector<ImportItem> items;
  std::string error;
  {
    AsNobody nobody;
    ASSERT_TRUE(CollectItems(root, "INBOX", &items, &error)) << error;
  }
  EXPECT_EQ(DumpItems(items, root), kVariedTreeItems);

  // Windows of any size, over several inputs, list the same items.
  std::vector<ImportItem> single;
  ASSERT_TRUE(CollectItems(root + "/b/list.mbox", "INBOX", &single, &error)) << error;
  const std::string expected = kVariedTreeItems + DumpItems(single, root);
  for (size_t w : {size_t{1}, size_t{2}, size_t{7}, size_t{1000}}) {
    AsNobody nobody;
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

// What the lister holds does not grow with the mails it lists.
TEST(ItemLister, HoldsAWindowNotTheTree) {
  const std::string root = MakeScratchDirectory("lister-many");
  for (int d = 0; d < 20; ++d) {
    const std::string dir = root + "/d" + std::to_string(d);
    std::filesystem::create_directories(dir);
    for (int f = 0; f < 1000; ++f) {
      std::ofstream(dir + "/" + std::to_string(f) + ".eml") << "Subject: x\n\nbody\n";
    }
  }
  ItemLister lister({root}, "INBOX");
  std::vector<ImportItem> window;
  std::string error;
  size_t listed = 0;
  while (lister.Next(100, &window, &error)) listed += window.size();
  EXPECT_EQ(listed, 20000u);
  EXPECT_LE(lister.peak(), 100u);
}

}  // namespace
}  // namespace Nauvik::Import
