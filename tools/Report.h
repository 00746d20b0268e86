#pragma once

// The --report file: one CSV row per item (RFC 4180 quoting), for a
// spreadsheet. Thread-safe; rows appear in completion order. A resumed run
// appends to the report of the runs before it, its rows numbered with the
// next run, so that the last file covers the whole import.

#include <cstdint>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

namespace Nauvik::Import {

class ReportWriter {
 public:
  // Creates `path` with the header row, or with `append` adds to a report
  // of this format that is there already. False when it cannot be written.
  bool Open(const std::string& path, bool append = false);

  // `code` is empty for an item that was not given to the library, `uid`
  // the UID the mail got in its folder, if known.
  void Row(const std::string& source, int64_t offset, const std::string& folder,
           const std::string& code, const std::string& text, uint64_t size,
           const std::string& message_id, int64_t uid = 0);

  // A field as a CSV cell; one that a spreadsheet would take for a formula
  // (=, +, -, @ first) gets a ' in front, so that it is shown, never run.
  static std::string Quote(const std::string& field);

  int run() const { return run_; }

 private:
  std::mutex mu_;
  std::ofstream out_;  // guarded by mu_
  int run_ = 1;
};

// One row of a report, as ReadReport gives it back.
struct ReportRow {
  std::string source;
  int64_t offset = -1;
  std::string folder;
  std::string result;  // "" for an item not given to the library
  std::string text;
  uint64_t size = 0;
  std::string message_id;
  int64_t uid = 0;
  int run = 0;
};

// Reads a report of this format (formula guards taken off again). False with
// `error` when the file cannot be read or is no such report.
bool ReadReport(const std::string& path, std::vector<ReportRow>* rows, std::string* error);

// The --flags-file: the flags an imported mail had at its source that the
// store cannot take (answered, flagged, deleted, passed, keywords), one
// tab-separated line per mail: source, mbox offset, stored folder, UID,
// flags as IMAP names ("\\Answered \\Flagged", a Maildir keyword letter as
// "keyword:a"), for a fix-up after the import. Appended to. Thread-safe.
class FlagsWriter {
 public:
  bool Open(const std::string& path);
  void Row(const std::string& source, int64_t offset, const std::string& folder, int64_t uid,
           const std::string& letters);
  // "\\Answered \\Flagged keyword:a" for the Maildir letters "RFa".
  static std::string FlagNames(const std::string& letters);

 private:
  std::mutex mu_;
  std::ofstream out_;  // guarded by mu_
};

}  // namespace Nauvik::Import
