// mailstorage-import --bulk against the per-mail import: the same mails go
// into two private stores, once per mail through the library and once in
// batches, and every row of every table must come out the same (generated
// ids mapped through their order, import times left out), with the same
// result codes, report rows and log lines.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "tests/tools/PrivateStore.h"
#include "tests/tools/ToolRunner.h"

namespace {

namespace fs = std::filesystem;
using Nauvik::Import::Test::MakeScratchDirectory;
using Nauvik::Import::Test::ReadFile;
using Nauvik::Import::Test::RunTool;
using Nauvik::Import::Test::ToolResult;
using Nauvik::Import::Test::WriteFile;

// Every row of the store, one line each, sorted: ids replaced by their rank
// in their table (both runs store in mail order, so ranks name the same
// rows), import times left out (a mail without a date is sent "now"); a
// blob row ends in its file's path, which the test replaces by the file's
// bytes.
constexpr char kStoreRows[] = R"SQL(
WITH f AS (SELECT FIS_FILESTORAGEID id, rank() OVER (ORDER BY FIS_FILESTORAGEID) r FROM NS_FILESTORAGE),
m AS (SELECT IMM_IMAPMESSAGEID id, rank() OVER (ORDER BY IMM_IMAPMESSAGEID) r FROM NS_IMAPMESSAGE),
b AS (SELECT IMB_IMAPBODYPARTID id, rank() OVER (ORDER BY IMB_IMAPBODYPARTID) r FROM NS_IMAPBODYPART),
d AS (SELECT IMF_IMAPFOLDERID id, rank() OVER (ORDER BY IMF_IMAPFOLDERID) r FROM NS_IMAPFOLDER)
SELECT 'fis', f.r, (to_jsonb(s) - 'fis_filestorageid' - 'fis_location' - 'fis_created')::text,
       h.FSH_HOSTPATH || replace(s.FIS_LOCATION, E'\\', '/')
  FROM NS_FILESTORAGE s JOIN f ON f.id = s.FIS_FILESTORAGEID
  JOIN NS_FILESTORAGEHOST h USING (FSH_FILESTORAGEHOSTID)
UNION ALL SELECT 'imm', m.r, (to_jsonb(s) - 'imm_imapmessageid' - 'fis_filestorageid' -
       CASE WHEN s.IMM_SENT > now() - interval '1 day' THEN 'imm_sent' ELSE '' END)::text, f.r::text
  FROM NS_IMAPMESSAGE s JOIN m ON m.id = s.IMM_IMAPMESSAGEID JOIN f ON f.id = s.FIS_FILESTORAGEID
UNION ALL SELECT 'imb', b.r,
       (to_jsonb(s) - 'imb_imapbodypartid' - 'imm_imapmessageid' - 'imb_parentid')::text,
       m.r || '/' || coalesce(p.r::text, '-')
  FROM NS_IMAPBODYPART s JOIN b ON b.id = s.IMB_IMAPBODYPARTID JOIN m ON m.id = s.IMM_IMAPMESSAGEID
  LEFT JOIN b p ON p.id = s.IMB_PARENTID
UNION ALL SELECT 'imf', d.r,
       (to_jsonb(s) - 'imf_imapfolderid' - 'imf_imapfolderid_parent' - 'imf_uid')::text,
       coalesce(p.r::text, '-')
  FROM NS_IMAPFOLDER s JOIN d ON d.id = s.IMF_IMAPFOLDERID
  LEFT JOIN d p ON p.id = s.IMF_IMAPFOLDERID_PARENT
UNION ALL SELECT 'mif', rank() OVER (ORDER BY s.MIF_IMAPMSGINFOLDERID),
       (to_jsonb(s) - 'mif_imapmsginfolderid' - 'imm_imapmessageid' - 'imf_imapfolderid')::text,
       d.r || '/' || m.r
  FROM NS_IMAPMSGINFOLDER s JOIN d ON d.id = s.IMF_IMAPFOLDERID JOIN m ON m.id = s.IMM_IMAPMESSAGEID
UNION ALL SELECT 'ims', rank() OVER (ORDER BY s.IMS_IMAPSUBSCRIPTIONID),
       (to_jsonb(s) - 'ims_imapsubscriptionid')::text, ''
  FROM NS_IMAPSUBSCRIPTION s
UNION ALL SELECT 'ifa', rank() OVER (ORDER BY s.IFA_IMAPFOLDERACCESSID),
       (to_jsonb(s) - 'ifa_imapfolderaccessid' - 'imf_imapfolderid')::text, d.r::text
  FROM NS_IMAPFOLDERACCESS s JOIN d ON d.id = s.IMF_IMAPFOLDERID
ORDER BY 1, 2
)SQL";

std::string Mail(const std::string& headers, const std::string& body) {
  return "From: a@example.invalid\r\nDate: Tue, 3 Mar 2026 10:00:00 +0000\r\n" + headers + "\r\n" +
         body;
}

// A tree of several folders whose mails the batches must treat as the
// per-mail path does: copies within one batch and across batches, ids with
// LIKE wildcards that match other ids, ids too long to be found again, mails
// without an id, nested and broken MIME, hostile bytes, refused mails.
void WriteTree(const std::string& root) {
  std::string every_byte;
  for (int c = 0; c < 256; ++c) every_byte += static_cast<char>(c);
  std::vector<std::pair<std::string, std::string>> mails;  // folder, bytes
  for (int i = 0; i < 40; ++i) {
    const std::string n = std::to_string(i);
    const std::string folder = i % 3 == 0 ? "alpha" : i % 3 == 1 ? "beta/gamma" : "Клиенты";
    // Every fifth mail repeats an earlier one: its copy is only linked.
    const std::string id = i % 5 == 4 ? std::to_string(i - 2) : n;
    mails.emplace_back(folder, Mail("Message-ID: <m" + id + "@t>\r\nSubject: mail " + id +
                                        "\r\nTo: b" + id + "@example.invalid\r\n",
                                    "body " + id + "\r\n"));
  }
  // Some twice in a row: the copy finds the first.
  const std::string long_id = "<" + std::string(200, 'l') + "@t>";
  for (const auto& [folder, mail, times] : std::vector<std::tuple<std::string, std::string, int>>{
           {"alpha", Mail("Message-ID: <x_y%z@t>\r\nSubject: wild\r\n", "wild\r\n"), 2},
           {"alpha", Mail("Message-ID: <xAyBBz@t>\r\nSubject: wild\r\n", "wild\r\n"), 1},
           {"alpha", Mail("Message-ID: <x_y%@t>\r\nSubject: wild\r\n", "wild!\r\n"), 1},
           {"alpha", Mail("Message-ID: <'q\\\\b@t>\r\nSubject: q\r\n", "q\r\n"), 2},
           {"beta", Mail("Message-ID: " + long_id + "\r\n", "long\r\n"), 2},
           {"beta", Mail("Subject: no id\r\n", "none\r\n"), 2},
           {"beta", Mail("Message-ID:\r\nSubject: empty id\r\n", "empty\r\n"), 2}}) {
    for (int i = 0; i < times; ++i) mails.emplace_back(folder, mail);
  }
  for (const int depth : {60, 3}) {
    std::string open, close;
    for (int i = 0; i < depth; ++i) {
      open += "--b" + std::to_string(i) + "\r\nContent-Type: multipart/mixed; boundary=b" +
              std::to_string(i + 1) + "\r\n\r\n";
      close = "--b" + std::to_string(i) + "--\r\n" + close;
    }
    mails.emplace_back(
        "beta",
        Mail("Message-ID: <nested" + std::to_string(depth) +
                 "@t>\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; "
                 "boundary=b0\r\n",
             open + "Content-Type: text/plain; charset=iso-8859-1\r\n\r\ndeep\r\n" + close));
  }
  mails.emplace_back("beta", Mail("Message-ID: <never@t>\r\nMIME-Version: 1.0\r\n"
                                  "Content-Type: multipart/mixed; boundary=never\r\n",
                                  "--never\r\nContent-Type: text/plain\r\n\r\nno end\r\n"));
  mails.emplace_back("beta", Mail("Message-ID: <8bit@t>\r\nSubject: \xe4\xf6\xfc\xff\r\nX-Raw: " +
                                      every_byte.substr(128) + "\r\n",
                                  every_byte + "\r\n"));
  mails.emplace_back("beta", Mail(std::string("Subject: a\0b\r\nX-N\0l: v\r\n", 24), "nul\r\n"));
  mails.emplace_back("beta", Mail("Subject: =?utf-8?B?YQBi?= =?x-none?B?aGVsbG8=?=\r\n", "e\r\n"));
  mails.emplace_back("beta", "");   // refused: empty
  mails.emplace_back("beta", "x");  // one byte
  mails.emplace_back("beta", Mail("Subject: " + std::string(3000, 's') + "\r\n", "cut\r\n"));
  for (size_t i = 0; i < mails.size(); ++i) {
    char name[32];
    snprintf(name, sizeof name, "%03zu.eml", i);
    WriteFile(root + "/" + mails[i].first + "/" + name, mails[i].second);
  }
  fs::copy(std::string(getenv("MS_SOURCE_DIR")) + "/samples", root + "/samples",
           fs::copy_options::recursive);
}

// The lines of `text` without their line ends, each edited by `edit`; sorted
// and joined, so that a mismatch shows as a diff of lines.
std::string SortedLines(const std::string& text,
                        const std::function<std::string(std::string)>& edit) {
  std::vector<std::string> lines;
  for (std::string line : mstest::Lines(text)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(edit(line));
  }
  std::sort(lines.begin(), lines.end());
  std::string joined;
  for (const std::string& line : lines) joined += line + "\n";
  return joined;
}

// `text` with each run of `prefix` and the `tail` characters after it as `with`.
std::string Alike(std::string text, const std::string& prefix, const char* tail,
                  const std::string& with) {
  for (size_t at = 0; (at = text.find(prefix, at)) != std::string::npos; at += with.size()) {
    text.replace(at, text.find_first_not_of(tail, at + prefix.size()) - at, with);
  }
  return text;
}

// A log line as level and text (no time stamp, no thread), with in-memory
// file names and store names made alike.
std::string LogLine(std::string line) {
  const size_t level = line.find(' ') + 1, thread = line.find(": ", level);
  const size_t text = thread == std::string::npos ? thread : line.find(": ", thread + 2);
  if (level > 0 && text != std::string::npos) {
    line = line.substr(level, thread - level) + " " + line.substr(text + 2);
  }
  line = Alike(line, "/proc/self/fd/", "0123456789", "/proc/self/fd/N");
  return Alike(line, "ms_bulk_", "abcdefghijklmnopqrstuvwxyz0123456789_", "STORE");
}

// A report row without the run column and without the note whether the mail
// was linked again: the per-mail mode guesses that from its own look-up
// before the call, the bulk mode knows it from the store.
std::string ReportRow(const std::string& row) {
  return Alike(row.substr(0, row.rfind(',')), ",OK (linked again: stored already)", "", ",OK");
}

// Imports the tree into a store of its own, with a copy of the tool in a
// directory of its own (the log goes beside the executable). Returns what a
// per-mail and a bulk run must agree on: the summary's count of failed mails
// (the rest holds time, rate and the guess of new and linked mails), the
// rows, the report and the log.
std::string Import(const std::string& name, const std::string& tree,
                   std::vector<std::string> extra) {
  const mstest::PrivateStore store(name);
  const std::string dir = MakeScratchDirectory(name + "-tool");
  const std::string tool = dir + "/mailstorage-import";
  fs::copy_file(MS_IMPORT_TOOL, tool);
  extra.insert(extra.begin(),
               {"--registry", store.Registry(), "--user", "1", "--company", "1", "--folder",
                "INBOX", "--library", MS_MAILSTORAGE_LIBRARY, "--report", dir + "/report.csv",
                "--journal", dir + "/journal", "--quiet", tree});
  const ToolResult r = RunTool(tool, extra);
  EXPECT_EQ(r.status, 0) << name << "\n" << r.err;
  std::string failed;
  for (const std::string& line : mstest::Lines(r.out)) {
    if (line.find("failed") != std::string::npos) failed += line + "\n";
  }
  // A blob row ends in its file's path, which its bytes stand for.
  const std::string rows = SortedLines(store.Sql(kStoreRows), [](std::string row) {
    const size_t path = row.rfind('|') + 1;
    if (!row.starts_with("fis|")) return row;
    return row.replace(path, std::string::npos,
                       std::to_string(std::hash<std::string>{}(ReadFile(row.substr(path)))));
  });
  EXPECT_GT(std::count(rows.begin(), rows.end(), '\n'), 300) << name;
  std::string log;
  std::error_code ec;
  for (const auto& entry : fs::recursive_directory_iterator(dir + "/LogDir", ec)) {
    if (entry.is_regular_file()) log += ReadFile(entry.path().string());
  }
  EXPECT_NE(log, "") << name;
  return failed + rows + SortedLines(ReadFile(dir + "/report.csv"), ReportRow) +
         SortedLines(log, LogLine);
}

TEST(BulkImport, SameRowsCodesReportAndLogAsPerMail) {
  const std::string tree = MakeScratchDirectory("bulk-tree");
  WriteTree(tree);
  // Batches of 7: copies fall within one batch and across batches, and
  // folders get their first mail in the middle of a batch.
  EXPECT_EQ(Import("bulk_single", tree, {}),
            Import("bulk_batches", tree, {"--bulk", "--batch-mails", "7"}));
}

}  // namespace
