#pragma once

// The --report file: one CSV row per item (RFC 4180 quoting), for a
// spreadsheet. Thread-safe; rows appear in completion order.

#include <cstdint>
#include <fstream>
#include <mutex>
#include <string>

namespace Nauvik::Import {

class ReportWriter {
 public:
  // Creates (truncates) `path` and writes the header row. False when it
  // cannot be created.
  bool Open(const std::string& path);

  // `code` is empty for an item that was not given to the library.
  void Row(const std::string& source, int64_t offset, const std::string& folder,
           const std::string& code, const std::string& text, uint64_t size,
           const std::string& message_id);

  static std::string Quote(const std::string& field);

 private:
  std::mutex mu_;
  std::ofstream out_;  // guarded by mu_
};

}  // namespace Nauvik::Import
