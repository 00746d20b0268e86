#include "db/Registry.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace Nauvik {

namespace {

constexpr const char* kRootNames[] = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER",
                                      "HKEY_LOCAL_MACHINE", "HKEY_USERS"};

std::string Upper(std::string s) {
  for (char& c : s) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return s;
}

// Short root names that regedit also accepts.
std::string CanonicalRoot(const std::string& upper_root) {
  if (upper_root == "HKLM") return "HKEY_LOCAL_MACHINE";
  if (upper_root == "HKCU") return "HKEY_CURRENT_USER";
  if (upper_root == "HKCR") return "HKEY_CLASSES_ROOT";
  if (upper_root == "HKU") return "HKEY_USERS";
  return upper_root;
}

// Upper-cases a key path, collapses repeated separators and spells out the root.
std::string NormalizeKey(const std::string& path) {
  std::string out;
  std::string part;
  std::vector<std::string> parts;
  for (char c : path) {
    if (c == '\\') {
      if (!part.empty()) parts.push_back(part);
      part.clear();
    } else {
      part += c;
    }
  }
  if (!part.empty()) parts.push_back(part);
  for (size_t i = 0; i < parts.size(); ++i) {
    std::string p = Upper(parts[i]);
    if (i == 0) p = CanonicalRoot(p);
    if (!out.empty()) out += '\\';
    out += p;
  }
  return out;
}

// UTF-16LE bytes to UTF-8 (the .reg reader only needs the text form).
std::string Utf16LeToUtf8(const unsigned char* p, size_t n) {
  std::string out;
  size_t i = 0;
  while (i + 1 < n) {
    uint32_t c = p[i] | (p[i + 1] << 8);
    i += 2;
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < n) {
      uint32_t d = p[i] | (p[i + 1] << 8);
      if (d >= 0xDC00 && d < 0xE000) {
        c = 0x10000 + ((c - 0xD800) << 10) + (d - 0xDC00);
        i += 2;
      }
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

bool ParseHexBytes(const std::string& text, std::vector<unsigned char>* out) {
  out->clear();
  std::string digits;
  for (char c : text) {
    if (c == ',' || c == ' ' || c == '\t') {
      if (!digits.empty()) {
        if (digits.size() > 2) return false;
        out->push_back(static_cast<unsigned char>(std::strtoul(digits.c_str(), nullptr, 16)));
        digits.clear();
      }
      continue;
    }
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    digits += c;
  }
  if (!digits.empty()) {
    if (digits.size() > 2) return false;
    out->push_back(static_cast<unsigned char>(std::strtoul(digits.c_str(), nullptr, 16)));
  }
  return true;
}

// Reads a quoted string starting at text[*pos] == '"'. The format's only
// escapes are \\ and \"; a backslash before anything else stays as written.
bool ReadQuoted(const std::string& text, size_t* pos, std::string* out) {
  out->clear();
  size_t i = *pos + 1;
  while (i < text.size()) {
    char c = text[i];
    if (c == '\\' && i + 1 < text.size() && (text[i + 1] == '\\' || text[i + 1] == '"')) {
      out->push_back(text[i + 1]);
      i += 2;
      continue;
    }
    if (c == '"') {
      *pos = i + 1;
      return true;
    }
    out->push_back(c);
    ++i;
  }
  return false;
}

void ParseValueLine(const std::string& line, bool version5,
                    std::map<std::string, RegistryValue>* values) {
  std::string name;
  size_t pos = 0;
  if (line[0] == '@') {
    name = "@";
    pos = 1;
  } else if (!ReadQuoted(line, &pos, &name)) {
    return;
  }
  while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
  if (pos >= line.size() || line[pos] != '=') return;
  ++pos;
  while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
  std::string rest = line.substr(pos);
  std::string key = Upper(name);
  if (rest == "-") {
    values->erase(key);
    return;
  }
  RegistryValue value;
  if (!rest.empty() && rest[0] == '"') {
    std::string text;
    size_t p = 0;
    if (!ReadQuoted(rest, &p, &text)) return;
    value.type = kRegSz;
    value.data.assign(text.begin(), text.end());
  } else if (Upper(rest.substr(0, 6)) == "DWORD:") {
    std::string hex = rest.substr(6);
    if (hex.empty() || hex.size() > 8) return;
    for (char c : hex) {
      if (!std::isxdigit(static_cast<unsigned char>(c))) return;
    }
    uint32_t v = static_cast<uint32_t>(std::strtoul(hex.c_str(), nullptr, 16));
    value.type = kRegDword;
    for (int i = 0; i < 4; ++i) value.data.push_back(static_cast<unsigned char>(v >> (8 * i)));
  } else if (Upper(rest.substr(0, 3)) == "HEX") {
    size_t colon = rest.find(':');
    if (colon == std::string::npos) return;
    std::string kind = rest.substr(3, colon - 3);
    uint32_t type = kRegBinary;
    if (!kind.empty()) {
      if (kind.size() < 3 || kind.front() != '(' || kind.back() != ')') return;
      type = static_cast<uint32_t>(std::strtoul(kind.substr(1, kind.size() - 2).c_str(), nullptr, 16));
    }
    if (!ParseHexBytes(rest.substr(colon + 1), &value.data)) return;
    value.type = type;
    // Texts in hex form are UTF-16LE in version 5 files; keep them as 8-bit
    // (UTF-8) text so that every text value reads the same way.
    if (version5 && (type == kRegExpandSz || type == kRegMultiSz || type == kRegSz)) {
      std::string text = Utf16LeToUtf8(value.data.data(), value.data.size());
      value.data.assign(text.begin(), text.end());
    }
  } else {
    return;
  }
  (*values)[key] = std::move(value);
}

}  // namespace

RegistryFile ParseRegistryFile(const std::string& raw) {
  RegistryFile file;
  std::string text;
  if (raw.size() >= 2 && static_cast<unsigned char>(raw[0]) == 0xFF &&
      static_cast<unsigned char>(raw[1]) == 0xFE) {
    text = Utf16LeToUtf8(reinterpret_cast<const unsigned char*>(raw.data()) + 2, raw.size() - 2);
  } else if (raw.size() >= 3 && raw.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    text = raw.substr(3);
  } else {
    text = raw;
  }

  // Split into logical lines: CRLF or LF; a trailing "\" joins the next line.
  std::vector<std::string> lines;
  std::string current;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!current.empty()) {
      size_t start = line.find_first_not_of(" \t");
      line = start == std::string::npos ? std::string() : line.substr(start);
    }
    // Only value lists continue over lines ("hex:..,\"): a quoted text
    // always ends in its closing quote, a key in "]", and a comment ends
    // with its line whatever its last character.
    const size_t first = line.find_first_not_of(" \t");
    const bool comment = current.empty() && first != std::string::npos && line[first] == ';';
    if (!comment && !line.empty() && line.back() == '\\') {
      current += line.substr(0, line.size() - 1);
      continue;
    }
    current += line;
    lines.push_back(current);
    current.clear();
  }
  if (!current.empty()) lines.push_back(current);

  bool header_seen = false;
  bool version5 = true;
  std::map<std::string, RegistryValue>* section = nullptr;
  for (std::string& l : lines) {
    size_t start = l.find_first_not_of(" \t");
    if (start == std::string::npos) continue;
    l = l.substr(start);
    if (!header_seen) {
      if (l == "REGEDIT4") {
        version5 = false;
      } else if (l.rfind("Windows Registry Editor Version 5.00", 0) == 0) {
        version5 = true;
      } else {
        file.error = "Not a registry file: the first line is neither REGEDIT4 nor "
                     "\"Windows Registry Editor Version 5.00\"";
        return file;
      }
      header_seen = true;
      continue;
    }
    if (l[0] == ';') continue;
    if (l[0] == '[') {
      size_t end = l.rfind(']');
      if (end == std::string::npos) {
        section = nullptr;
        continue;
      }
      std::string path = l.substr(1, end - 1);
      if (!path.empty() && path[0] == '-') {
        std::string key = NormalizeKey(path.substr(1));
        for (auto it = file.keys.begin(); it != file.keys.end();) {
          if (it->first == key || it->first.rfind(key + "\\", 0) == 0) {
            it = file.keys.erase(it);
          } else {
            ++it;
          }
        }
        section = nullptr;
        continue;
      }
      section = &file.keys[NormalizeKey(path)];
      continue;
    }
    if (section != nullptr && (l[0] == '"' || l[0] == '@')) ParseValueLine(l, version5, section);
  }
  if (!header_seen) {
    file.error = "Empty registry file";
    return file;
  }
  file.loaded = true;
  return file;
}

std::string RegistryFilePath() {
  const char* env = std::getenv("MAILSTORAGE_REGISTRY");
  if (env != nullptr && env[0] != '\0') return env;
  return "/etc/mailstorage/registry.reg";
}

std::string ExpandEnvironmentText(const std::string& text) {
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] != '%') {
      out += text[i++];
      continue;
    }
    size_t end = text.find('%', i + 1);
    if (end == std::string::npos) {
      out += text.substr(i);
      break;
    }
    std::string name = text.substr(i + 1, end - i - 1);
    const char* value = name.empty() ? nullptr : std::getenv(name.c_str());
    if (value != nullptr) {
      out += value;
      i = end + 1;
    } else {
      // Unknown: stays as it is; the closing "%" may open the next name.
      out += text.substr(i, end - i);
      i = end;
    }
  }
  return out;
}

Registry::Registry(int32_t root) : root_(root), file_path_(RegistryFilePath()) {}

Registry::Registry(int32_t root, std::string file_path)
    : root_(root), file_path_(std::move(file_path)) {}

bool Registry::Load() {
  if (file_.loaded) return true;
  std::ifstream in(file_path_, std::ios::binary);
  if (!in) {
    file_.error = file_path_ + ": " + std::strerror(errno);
    return false;
  }
  std::ostringstream bytes;
  bytes << in.rdbuf();
  file_ = ParseRegistryFile(bytes.str());
  if (!file_.loaded) file_.error = file_path_ + ": " + file_.error;
  return file_.loaded;
}

std::string Registry::Get(const std::string& key_path, const std::string& value_name) {
  last_type_ = kRegNone;
  last_size_ = 0;
  if (open_path_ != key_path || open_key_.empty()) {
    open_key_.clear();
    open_path_.clear();
    // A path that names its root uses it; otherwise the reader's root.
    std::string first = key_path.substr(0, key_path.find('\\'));
    std::string upper_first = CanonicalRoot(Upper(first));
    bool has_root = false;
    for (const char* root : kRootNames) has_root = has_root || upper_first == root;
    std::string full = key_path;
    if (!has_root) {
      const char* root = root_ >= 0 && root_ < 4 ? kRootNames[root_] : "HKEY_LOCAL_MACHINE";
      full = std::string(root) + "\\" + key_path;
    }
    std::string key = NormalizeKey(full);
    if (!Load() || file_.keys.find(key) == file_.keys.end()) {
      last_error_ = "Failed to open registry entry: " + key_path + ". Reason: " +
                    (file_.loaded ? std::string("The system cannot find the file specified.")
                                  : file_.error);
      return std::string();
    }
    open_key_ = key;
    open_path_ = key_path;
  }
  const auto& values = file_.keys[open_key_];
  auto it = values.find(Upper(value_name));
  if (it == values.end()) {
    last_error_ = "Registry query failed: The system cannot find the file specified.";
    return std::string();
  }
  const RegistryValue& v = it->second;
  last_type_ = v.type;
  last_size_ = static_cast<uint32_t>(v.data.size());
  std::string raw(v.data.begin(), v.data.end());
  switch (v.type) {
    case kRegSz:
      return raw.substr(0, raw.find('\0'));
    case kRegExpandSz: {
      std::string text = raw.substr(0, raw.find('\0'));
      std::string expanded = ExpandEnvironmentText(text);
      return expanded.empty() ? text : expanded;
    }
    case kRegDword: {
      if (v.data.size() < 4) return std::string();
      uint32_t u = 0;
      for (int i = 0; i < 4; ++i) u |= static_cast<uint32_t>(v.data[i]) << (8 * i);
      return std::to_string(static_cast<int32_t>(u));
    }
    case kRegQword: {
      if (v.data.size() < 8) return std::string();
      uint64_t u = 0;
      for (int i = 0; i < 8; ++i) u |= static_cast<uint64_t>(v.data[i]) << (8 * i);
      return std::to_string(u);
    }
    case kRegBinary:
      return raw;
    default:
      last_error_ =
          "Value type not recognized by the Registry Get function: " + std::to_string(v.type);
      return std::string();
  }
}

namespace {

struct DatabaseValues {
  std::string host, driver, name, user, password, port;
};

// Reads the six values; only "DatabaseHost" when it is empty.
bool ReadDatabaseValues(const std::string& key_path, const std::string& file_path,
                        DatabaseValues* v) {
  Registry reg(2, file_path);
  v->host = reg.Get(key_path, "DatabaseHost");
  if (v->host.empty()) return false;
  v->driver = reg.Get(key_path, "DatabaseDriverName");
  v->name = reg.Get(key_path, "DatabaseName");
  v->user = reg.Get(key_path, "DatabaseUsername");
  v->password = reg.Get(key_path, "DatabasePassword");
  v->port = reg.Get(key_path, "DatabasePort");
  return true;
}

std::string OracleFormat(const DatabaseValues& v) {
  std::string s = "DRIVER=" + v.driver + ";";
  s += "DBQ=" + v.host;
  if (!v.port.empty()) s += ":" + v.port;
  if (!v.name.empty()) s += "/" + v.name;
  s += ";";
  s += "DATABASE=" + v.name + ";";
  s += "SERVER=" + v.host + ";";
  s += "PORT=" + v.port + ";";
  s += "UID=" + v.user + ";";
  s += "PWD=" + v.password + ";";
  return s;
}

}  // namespace

// Appended after the fixed options (the driver takes the last value of a
// keyword), these change only what the driver sends around our statements:
// - UseServerSidePrepare=0: a prepared statement is sent as one query with
//   its parameters in place, instead of a parse, an execute and a DEALLOCATE
//   of a named plan that the store never runs twice;
// - Protocol=7.4-0: no SAVEPOINT before and RELEASE after every statement
//   inside a transaction. The store never goes on with a transaction after
//   a failed statement: every failure raises, and the transaction is rolled
//   back or its connection closed, so undoing the single statement bought
//   nothing.
const char kPostgresTrafficOptions[] = "UseServerSidePrepare=0;Protocol=7.4-0;";

std::string BuildOracleConnectString(const std::string& key_path) {
  DatabaseValues v;
  if (!ReadDatabaseValues(key_path, RegistryFilePath(), &v)) return std::string();
  return OracleFormat(v);
}

std::string BuildPostgresConnectString(const std::string& key_path) {
  return BuildPostgresConnectString(key_path, RegistryFilePath());
}

std::string BuildPostgresConnectString(const std::string& key_path, const std::string& file_path) {
  DatabaseValues v;
  if (!ReadDatabaseValues(key_path, file_path, &v)) return std::string();
  return OracleFormat(v) +
         "ReadOnly=0;Protocol=6.4;FakeOidIndex=0;ShowOidColumn=0;RowVersioning=0;"
         "ShowSystemTables=1;Fetch=100;Socket=4096;MaxVarcharSize=254;MaxLongVarcharSize=8190;"
         "Debug=0;CommLog=0;Optimizer=1;Ksqo=1;UseDeclareFetch=0;TextAsLongVarchar=1;"
         "UnknownsAsLongVarchar=0;BoolsAsChar=1;Parse=0;CancelAsFreeStmt=0;"
         "ExtraSysTablePrefixes=dd_;LFConversion=1;UpdatableCursors=1;DisallowPremature=0;"
         "TrueIsMinus1=0;" +
         kPostgresTrafficOptions;
}

int32_t ReadDefaultProvider(const std::string& key_path) {
  Registry reg(2);
  std::string v = Upper(reg.Get(key_path, "DatabaseProvider"));
  if (v.empty() || v == "1" || v == "ORACLE") return 1;
  if (v == "2" || v == "POSTGRESQL") return 2;
  return 0;
}

}  // namespace Nauvik
