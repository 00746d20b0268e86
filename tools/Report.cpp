#include "tools/Report.h"

#include <sys/stat.h>

#include <iterator>
#include <string_view>

#include "foundation/Files.h"

namespace Nauvik::Import {
namespace {

constexpr const char* kHeader = "source,mbox_offset,folder,result,text,size,message_id,uid,run";

// The run of the report's last row; 0 when `path` is no report of this
// format (or not a regular file: a FIFO is never read).
int LastRun(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  std::ifstream in(path, std::ios::binary);
  std::string line, last;
  if (!std::getline(in, line) || line != std::string(kHeader) + "\r") return 0;
  while (std::getline(in, line)) {
    if (!line.empty()) last = line;
  }
  const size_t comma = last.rfind(',');
  int run = 1;
  if (comma != std::string::npos) {
    try {
      run = std::max(1, std::stoi(last.substr(comma + 1)));
    } catch (const std::exception&) {
    }
  }
  return run;
}

}  // namespace

bool ReportWriter::Open(const std::string& path, bool append) {
  const int last = append ? LastRun(path) : 0;
  KAVRO::CreateFileIfMissing(path);  // it names mail files: the owner's alone
  out_.open(path, std::ios::binary | (last > 0 ? std::ios::app : std::ios::trunc));
  if (!out_) return false;
  run_ = last + 1;
  if (last == 0) out_ << kHeader << "\r\n";
  out_ << std::flush;
  return true;
}

std::string ReportWriter::Quote(const std::string& text) {
  std::string field = text;
  if (!field.empty() && std::string_view("=+-@\t\r").find(field[0]) != std::string_view::npos) {
    field.insert(0, 1, '\'');
  }
  if (field.find_first_of(",\"\r\n") == std::string::npos) return field;
  std::string out = "\"";
  for (char c : field) {
    if (c == '"') out.push_back('"');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

void ReportWriter::Row(const std::string& source, int64_t offset, const std::string& folder,
                       const std::string& code, const std::string& text, uint64_t size,
                       const std::string& message_id, int64_t uid) {
  std::string line = Quote(source) + "," + (offset >= 0 ? std::to_string(offset) : "") + "," +
                     Quote(folder) + "," + code + "," + Quote(text) + "," + std::to_string(size) +
                     "," + Quote(message_id) + "," + (uid > 0 ? std::to_string(uid) : "") + "," +
                     std::to_string(run_) + "\r\n";
  std::lock_guard<std::mutex> lock(mu_);
  out_ << line << std::flush;
}

namespace {

// The records of a CSV text (RFC 4180: quoted fields may hold commas,
// quotes and line ends), each a list of fields.
std::vector<std::vector<std::string>> CsvRecords(const std::string& text) {
  std::vector<std::vector<std::string>> records;
  std::vector<std::string> fields(1);
  bool quoted = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
        fields.back() += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        fields.back() += c;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      fields.emplace_back();
    } else if (c == '\n') {
      if (!fields.back().empty() && fields.back().back() == '\r') fields.back().pop_back();
      records.push_back(std::move(fields));
      fields.assign(1, "");
    } else {
      fields.back() += c;
    }
  }
  if (fields.size() > 1 || !fields[0].empty()) records.push_back(std::move(fields));
  return records;
}

std::string Unguarded(std::string field) {
  if (field.size() > 1 && field[0] == '\'' &&
      std::string_view("=+-@\t\r").find(field[1]) != std::string_view::npos) {
    field.erase(0, 1);
  }
  return field;
}

}  // namespace

bool ReadReport(const std::string& path, std::vector<ReportRow>* rows, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read the report " + path;
    return false;
  }
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto records = CsvRecords(text);
  if (records.empty() || records[0].size() != 9 || records[0][7] != "uid") {
    *error = path + " is no report of this release (its first line is not " + kHeader + ")";
    return false;
  }
  for (size_t i = 1; i < records.size(); ++i) {
    const auto& f = records[i];
    if (f.size() != 9) {
      *error = path + ": record " + std::to_string(i + 1) + " has not 9 fields";
      return false;
    }
    ReportRow row;
    row.source = Unguarded(f[0]);
    row.offset = f[1].empty() ? -1 : std::strtoll(f[1].c_str(), nullptr, 10);
    row.folder = Unguarded(f[2]);
    row.result = f[3];
    row.text = Unguarded(f[4]);
    row.size = std::strtoull(f[5].c_str(), nullptr, 10);
    row.message_id = Unguarded(f[6]);
    row.uid = std::strtoll(f[7].c_str(), nullptr, 10);
    row.run = std::atoi(f[8].c_str());
    rows->push_back(std::move(row));
  }
  return true;
}

bool FlagsWriter::Open(const std::string& path) {
  KAVRO::CreateFileIfMissing(path);  // it names mail files: the owner's alone
  out_.open(path, std::ios::binary | std::ios::app);
  return static_cast<bool>(out_);
}

std::string FlagsWriter::FlagNames(const std::string& letters) {
  std::string names;
  for (char c : letters) {
    const std::string name = c == 'R'   ? "\\Answered"
                             : c == 'F' ? "\\Flagged"
                             : c == 'T' ? "\\Deleted"
                             : c == 'P' ? "$Forwarded"
                                        : "keyword:" + std::string(1, c);
    names += (names.empty() ? "" : " ") + name;
  }
  return names;
}

void FlagsWriter::Row(const std::string& source, int64_t offset, const std::string& folder,
                      int64_t uid, const std::string& letters) {
  std::string line;
  for (const std::string& field : {source, offset >= 0 ? std::to_string(offset) : std::string(),
                                   folder, uid > 0 ? std::to_string(uid) : std::string(),
                                   FlagNames(letters)}) {
    for (char c : field) line.push_back(c == '\t' || c == '\n' || c == '\r' ? ' ' : c);
    line.push_back('\t');
  }
  line.back() = '\n';
  std::lock_guard<std::mutex> lock(mu_);
  out_ << line << std::flush;
}

}  // namespace Nauvik::Import
