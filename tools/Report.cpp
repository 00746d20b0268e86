#include "tools/Report.h"

#include "foundation/Files.h"

namespace Nauvik::Import {

bool ReportWriter::Open(const std::string& path) {
  KAVRO::CreateFileIfMissing(path);  // it names mail files: the owner's alone
  out_.open(path, std::ios::binary | std::ios::trunc);
  if (!out_) return false;
  out_ << "source,mbox_offset,folder,result,text,size,message_id\r\n" << std::flush;
  return true;
}

std::string ReportWriter::Quote(const std::string& field) {
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
                       const std::string& message_id) {
  std::string line = Quote(source) + "," + (offset >= 0 ? std::to_string(offset) : "") + "," +
                     Quote(folder) + "," + code + "," + Quote(text) + "," + std::to_string(size) +
                     "," + Quote(message_id) + "\r\n";
  std::lock_guard<std::mutex> lock(mu_);
  out_ << line << std::flush;
}

}  // namespace Nauvik::Import
