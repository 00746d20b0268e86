#pragma once

// Read-only access to the configuration, kept in a registry export file (the
// ".reg" text format of "regedit": "Windows Registry Editor Version 5.00" in
// UTF-16LE or UTF-8/ASCII, or "REGEDIT4"). The file is the one named by the
// environment variable MAILSTORAGE_REGISTRY, else /etc/mailstorage/registry.reg;
// a missing or unreadable file reads as a missing key. Key and value names
// compare without regard to case.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace Nauvik {

// Value types, numbered as the registry numbers them.
inline constexpr uint32_t kRegNone = 0;
inline constexpr uint32_t kRegSz = 1;
inline constexpr uint32_t kRegExpandSz = 2;
inline constexpr uint32_t kRegBinary = 3;
inline constexpr uint32_t kRegDword = 4;
inline constexpr uint32_t kRegMultiSz = 7;
inline constexpr uint32_t kRegQword = 11;

// One value as the file holds it: its type and raw bytes (REG_SZ as 8-bit
// text without terminator; REG_EXPAND_SZ / REG_MULTI_SZ as in the file: UTF-16LE
// bytes in version 5 files, 8-bit bytes in REGEDIT4 files; DWORD and QWORD
// little-endian).
struct RegistryValue {
  uint32_t type = kRegNone;
  std::vector<unsigned char> data;
};

// Parsed content of one .reg file: full key path (upper-cased, "\"
// separated, root spelled out as HKEY_...) -> upper-cased value name -> value.
// "@" is the default value. Later definitions replace earlier ones; a
// "[-KEY]" section deletes the key; "NAME"=- deletes a value.
struct RegistryFile {
  bool loaded = false;
  std::string error;  // why the file could not be read or parsed
  std::map<std::string, std::map<std::string, RegistryValue>> keys;
};

// Parses .reg file bytes (either encoding; a UTF-16LE file starts with the
// byte order mark FF FE). Lines end in CRLF or LF; a line ending in "\"
// continues on the next. Unparseable lines are skipped. Never throws.
RegistryFile ParseRegistryFile(const std::string& bytes);

// The path of the configuration file: $MAILSTORAGE_REGISTRY or
// /etc/mailstorage/registry.reg.
std::string RegistryFilePath();

// The registry reader. One object reads one file, loaded on its first Get.
// Not thread-safe; cheap to create.
class Registry {
 public:
  // root: 0 HKEY_CLASSES_ROOT, 1 HKEY_CURRENT_USER, 2 HKEY_LOCAL_MACHINE,
  // 3 HKEY_USERS; used when a key path does not name its root.
  explicit Registry(int32_t root = 2);
  // Reads `file_path` instead of RegistryFilePath().
  Registry(int32_t root, std::string file_path);

  // The value as text; empty when the key or value cannot be read (the
  // reason is then in LastError()). REG_SZ: the text up to its first zero
  // byte; REG_EXPAND_SZ: with %VAR% expanded from the environment (the
  // unexpanded text when expansion yields nothing); REG_DWORD: signed 32-bit
  // decimal; REG_QWORD: 64-bit decimal; REG_BINARY: the raw bytes. Any other
  // type: "Value type not recognized by the Registry Get function: " + type.
  std::string Get(const std::string& key_path, const std::string& value_name);

  const std::string& LastError() const { return last_error_; }
  uint32_t LastType() const { return last_type_; }
  uint32_t LastSize() const { return last_size_; }

 private:
  bool Load();

  std::string last_error_;
  int32_t root_;
  std::string file_path_;
  RegistryFile file_;
  std::string open_key_;  // full upper-cased key of the last successful open
  std::string open_path_;
  uint32_t last_type_ = kRegNone;
  uint32_t last_size_ = 0;
};

// Expands %VAR% from the process environment; unknown variables stay as they
// are (the Windows rule). "%%" stays "%%".
std::string ExpandEnvironmentText(const std::string& text);

// The configuration key of the mail system's database.
inline constexpr char kDatabaseKeyPath[] = "Software\\Nauvik\\Ostrel";

// The two connection strings, byte for byte. Both are empty when
// "DatabaseHost" is empty.
std::string BuildOracleConnectString(const std::string& key_path);
std::string BuildPostgresConnectString(const std::string& key_path);
// The same, read from the registry file at `file_path`.
std::string BuildPostgresConnectString(const std::string& key_path, const std::string& file_path);

// The default provider from "DatabaseProvider" under `key_path`: "1"/"Oracle"
// give 1, "2"/"PostgreSQL" give 2 (case-insensitive, text or DWORD); missing
// or empty gives 1; anything else gives 0 (no provider).
int32_t ReadDefaultProvider(const std::string& key_path);

}  // namespace Nauvik
