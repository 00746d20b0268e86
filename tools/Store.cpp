#include "tools/Store.h"

#include <sql.h>
#include <sqlext.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "db/Registry.h"
#include "tools/MailText.h"

namespace Nauvik::Import {
namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string Utf16ToUtf8(const uint16_t* units, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    uint32_t cp = units[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < n && units[i + 1] >= 0xDC00 &&
        units[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (units[++i] - 0xDC00);
    }
    AppendUtf8(cp, &out);
  }
  return out;
}

std::u16string Utf8ToUtf16(const std::string& s) {
  std::u16string out;
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    uint32_t cp = c;
    int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
    if (extra > 0) cp = c & (0x3F >> extra);
    ++i;
    for (int k = 0; k < extra && i < s.size(); ++k, ++i) {
      cp = (cp << 6) | (static_cast<unsigned char>(s[i]) & 0x3F);
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::string Diagnostics(SQLSMALLINT type, SQLHANDLE handle) {
  std::string text;
  SQLCHAR state[6];
  SQLCHAR message[1024];
  SQLINTEGER native = 0;
  SQLSMALLINT len = 0;
  for (SQLSMALLINT i = 1;
       SQLGetDiagRec(type, handle, i, state, &native, message, sizeof message, &len) == SQL_SUCCESS;
       ++i) {
    if (!text.empty()) text += "; ";
    text += std::string(reinterpret_cast<char*>(state)) + " " +
            std::string(reinterpret_cast<char*>(message));
  }
  return text.empty() ? "unknown ODBC error" : text;
}

}  // namespace

std::string StoreConnectionString(const std::string& path, std::string* error) {
  if (!std::ifstream(path, std::ios::binary)) {
    *error = "registry file missing: " + path;
    return "";
  }
  Registry registry(2, path);
  if (registry.Get(kDatabaseKeyPath, "DatabaseHost").empty()) {
    // Get says "Failed to open registry entry" when the key is not there.
    *error = registry.LastError().starts_with("Failed to open")
                 ? path + " has no key Software\\Nauvik\\Ostrel"
                 : path + " names no DatabaseHost: no database is configured";
    return "";
  }
  // The library's string, with server-side plans back on: unlike the
  // library's statements, the importer's already-stored check runs once per
  // mail with the same text, and a kept plan saves the server a parse each
  // time (the driver takes the last value of a keyword).
  return BuildPostgresConnectString(kDatabaseKeyPath, path) + "UseServerSidePrepare=1;";
}

struct StoreDatabase::Handles {
  SQLHENV env = SQL_NULL_HENV;
  SQLHDBC dbc = SQL_NULL_HDBC;
  bool connected = false;
  // Statements prepared once and run again with new parameters, by SQL text.
  std::map<std::string, SQLHSTMT> prepared;
};

StoreDatabase::StoreDatabase() : h_(std::make_unique<Handles>()) {}

StoreDatabase::~StoreDatabase() {
  for (auto& [sql, stmt] : h_->prepared) SQLFreeHandle(SQL_HANDLE_STMT, stmt);
  if (h_->connected) SQLDisconnect(h_->dbc);
  if (h_->dbc != SQL_NULL_HDBC) SQLFreeHandle(SQL_HANDLE_DBC, h_->dbc);
  if (h_->env != SQL_NULL_HENV) SQLFreeHandle(SQL_HANDLE_ENV, h_->env);
}

bool StoreDatabase::Connect(const std::string& connection_string, std::string* error) {
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &h_->env)) ||
      !SQL_SUCCEEDED(SQLSetEnvAttr(h_->env, SQL_ATTR_ODBC_VERSION,
                                   reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0)) ||
      !SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, h_->env, &h_->dbc))) {
    *error = "cannot set up ODBC";
    return false;
  }
  SQLRETURN rc = SQLDriverConnect(
      h_->dbc, nullptr, reinterpret_cast<SQLCHAR*>(const_cast<char*>(connection_string.c_str())),
      SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
  if (!SQL_SUCCEEDED(rc)) {
    *error = Diagnostics(SQL_HANDLE_DBC, h_->dbc);
    return false;
  }
  h_->connected = true;
  return true;
}

namespace {

// Binds `params` as text; `wide` and `lengths` keep what the driver reads
// until the statement has run.
void BindText(SQLHSTMT stmt, const std::vector<std::string>& params,
              std::vector<std::u16string>* wide, std::vector<SQLLEN>* lengths) {
  wide->clear();
  wide->reserve(params.size());
  lengths->assign(params.size(), 0);
  for (size_t i = 0; i < params.size(); ++i) {
    wide->push_back(Utf8ToUtf16(params[i]));
    std::u16string& w = wide->back();
    (*lengths)[i] = static_cast<SQLLEN>(w.size() * 2);
    SQLBindParameter(stmt, static_cast<SQLUSMALLINT>(i + 1), SQL_PARAM_INPUT, SQL_C_WCHAR,
                     SQL_WVARCHAR, w.size() + 1, 0, w.data(), static_cast<SQLLEN>(w.size() * 2),
                     &(*lengths)[i]);
  }
}

// Reads every row of the result of `stmt` as UTF-8 text. False with `error`.
bool FetchRows(SQLHSTMT stmt, std::vector<StoreDatabase::Row>* rows, std::string* error) {
  SQLSMALLINT columns = 0;
  SQLNumResultCols(stmt, &columns);
  if (columns == 0) return true;
  while (true) {
    SQLRETURN rc = SQLFetch(stmt);
    if (rc == SQL_NO_DATA) break;
    if (!SQL_SUCCEEDED(rc)) {
      *error = Diagnostics(SQL_HANDLE_STMT, stmt);
      return false;
    }
    StoreDatabase::Row row;
    for (SQLSMALLINT c = 1; c <= columns; ++c) {
      std::vector<uint16_t> text;
      uint16_t buf[2048];
      while (true) {
        SQLLEN got = 0;
        rc = SQLGetData(stmt, static_cast<SQLUSMALLINT>(c), SQL_C_WCHAR, buf, sizeof buf, &got);
        if (rc == SQL_NO_DATA || got == SQL_NULL_DATA) break;
        if (!SQL_SUCCEEDED(rc)) {
          *error = Diagnostics(SQL_HANDLE_STMT, stmt);
          return false;
        }
        const size_t cap = sizeof buf / 2 - 1;
        size_t n = (got == SQL_NO_TOTAL || static_cast<size_t>(got) / 2 > cap)
                       ? cap
                       : static_cast<size_t>(got) / 2;
        text.insert(text.end(), buf, buf + n);
        if (rc == SQL_SUCCESS) break;
      }
      row.push_back(Utf16ToUtf8(text.data(), text.size()));
    }
    rows->push_back(std::move(row));
  }
  return true;
}

}  // namespace

bool StoreDatabase::Query(const std::string& sql, const std::vector<std::string>& params,
                          std::vector<Row>* rows, std::string* error) {
  rows->clear();
  SQLHSTMT stmt = SQL_NULL_HSTMT;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, h_->dbc, &stmt))) {
    *error = Diagnostics(SQL_HANDLE_DBC, h_->dbc);
    return false;
  }
  struct Free {
    SQLHSTMT s;
    ~Free() { SQLFreeHandle(SQL_HANDLE_STMT, s); }
  } guard{stmt};
  std::vector<std::u16string> wide;
  std::vector<SQLLEN> lengths;
  BindText(stmt, params, &wide, &lengths);
  SQLRETURN rc =
      SQLExecDirect(stmt, reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())), SQL_NTS);
  if (rc == SQL_NO_DATA) return true;
  if (!SQL_SUCCEEDED(rc)) {
    *error = Diagnostics(SQL_HANDLE_STMT, stmt) + " [" + sql + "]";
    return false;
  }
  return FetchRows(stmt, rows, error);
}

bool StoreDatabase::QueryPrepared(const std::string& sql, const std::vector<std::string>& params,
                                  std::vector<Row>* rows, std::string* error) {
  rows->clear();
  auto it = h_->prepared.find(sql);
  if (it == h_->prepared.end()) {
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, h_->dbc, &stmt))) {
      *error = Diagnostics(SQL_HANDLE_DBC, h_->dbc);
      return false;
    }
    if (!SQL_SUCCEEDED(SQLPrepare(stmt, reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())),
                                  SQL_NTS))) {
      *error = Diagnostics(SQL_HANDLE_STMT, stmt) + " [" + sql + "]";
      SQLFreeHandle(SQL_HANDLE_STMT, stmt);
      return false;
    }
    it = h_->prepared.emplace(sql, stmt).first;
  }
  SQLHSTMT stmt = it->second;
  // Closes the cursor and drops the bindings of this run, whatever its end.
  struct Close {
    SQLHSTMT s;
    ~Close() {
      SQLFreeStmt(s, SQL_CLOSE);
      SQLFreeStmt(s, SQL_RESET_PARAMS);
    }
  } guard{stmt};
  std::vector<std::u16string> wide;
  std::vector<SQLLEN> lengths;
  BindText(stmt, params, &wide, &lengths);
  SQLRETURN rc = SQLExecute(stmt);
  if (rc == SQL_NO_DATA) return true;
  if (!SQL_SUCCEEDED(rc)) {
    *error = Diagnostics(SQL_HANDLE_STMT, stmt) + " [" + sql + "]";
    return false;
  }
  return FetchRows(stmt, rows, error);
}

bool StoreDatabase::Execute(const std::string& sql, std::string* error) {
  std::vector<Row> rows;
  return Query(sql, {}, &rows, error);
}

std::string FolderKey(const std::string& folder) { return Lower(folder); }

std::string StoreQueries::Name(const char* table) const {
  return std::string(views_ ? "NV_" : "NS_") + table;
}

std::optional<StoreQueries::UserState> StoreQueries::User(int64_t user_id, std::string* error) {
  std::vector<StoreDatabase::Row> rows;
  if (!db_->Query("SELECT COALESCE(USR_ROWSTATUS, 0) FROM " + Name("USER") +
                      " WHERE USR_USERID = " + std::to_string(user_id),
                  {}, &rows, error)) {
    return std::nullopt;
  }
  if (rows.empty()) return UserState::kUnknown;
  return rows[0][0] == "0" ? UserState::kLive : UserState::kDeleted;
}

std::optional<std::map<std::string, int64_t>> StoreQueries::Folders(int64_t user_id,
                                                                    std::string* error) {
  std::vector<StoreDatabase::Row> rows;
  if (!db_->Query("SELECT IMF_IMAPFOLDERID, COALESCE(IMF_IMAPFOLDERID_PARENT, 0), "
                  "COALESCE(IMF_INBOX, 0), IMF_FOLDERNAME FROM " +
                      Name("IMAPFOLDER") + " WHERE USR_USERID = " + std::to_string(user_id),
                  {}, &rows, error)) {
    return std::nullopt;
  }
  struct Folder {
    int64_t parent;
    std::string name;
  };
  std::map<int64_t, Folder> by_id;
  for (const auto& r : rows) {
    by_id[std::stoll(r[0])] = {std::stoll(r[1]), r[2] == "1" ? "INBOX" : r[3]};
  }
  std::map<std::string, int64_t> out;
  for (const auto& [id, f] : by_id) {
    std::string full = f.name;
    int64_t parent = f.parent;
    for (int depth = 0; parent != 0 && depth < 100; ++depth) {
      auto it = by_id.find(parent);
      if (it == by_id.end()) break;
      full = it->second.name + "." + full;
      parent = it->second.parent;
    }
    out[FolderKey(full)] = id;
  }
  return out;
}

std::optional<std::vector<StoreQueries::Link>> StoreQueries::Links(int64_t folder_id,
                                                                   std::string* error,
                                                                   int64_t after_uid) {
  std::vector<StoreDatabase::Row> rows;
  // Asked after every call into a folder for the links it made: the UID
  // index reads only those.
  const std::string sql =
      "SELECT MIF.MIF_IMAPMSGINFOLDERID, MIF.MIF_UID, FIS.FIS_SIZE, FSH.FSH_HOSTPATH, "
      "FIS.FIS_LOCATION FROM " +
      Name("IMAPMSGINFOLDER") + " MIF INNER JOIN " + Name("IMAPMESSAGE") +
      " IMM ON MIF.IMM_IMAPMESSAGEID = IMM.IMM_IMAPMESSAGEID INNER JOIN " + Name("FILESTORAGE") +
      " FIS ON IMM.FIS_FILESTORAGEID = FIS.FIS_FILESTORAGEID INNER JOIN " +
      Name("FILESTORAGEHOST") +
      " FSH ON FIS.FSH_FILESTORAGEHOSTID = FSH.FSH_FILESTORAGEHOSTID WHERE MIF.IMF_IMAPFOLDERID "
      "= CAST(? AS BIGINT) AND MIF.MIF_UID > CAST(? AS BIGINT) ORDER BY MIF.MIF_UID";
  if (!db_->QueryPrepared(sql, {std::to_string(folder_id), std::to_string(after_uid)}, &rows,
                          error)) {
    return std::nullopt;
  }
  std::vector<Link> links;
  for (const auto& r : rows) {
    Link l;
    l.link_id = std::stoll(r[0]);
    l.uid = std::stoll(r[1]);
    l.size = std::stoull(r[2]);
    l.blob_path = r[3] + r[4];
    for (char& c : l.blob_path) {
      if (c == '\\') c = '/';
    }
    links.push_back(std::move(l));
  }
  return links;
}

std::optional<int64_t> StoreQueries::LastUid(int64_t folder_id, std::string* error) {
  std::vector<StoreDatabase::Row> rows;
  if (!db_->QueryPrepared("SELECT MAX(MIF_UID) FROM " + Name("IMAPMSGINFOLDER") +
                              " WHERE IMF_IMAPFOLDERID = CAST(? AS BIGINT)",
                          {std::to_string(folder_id)}, &rows, error)) {
    return std::nullopt;
  }
  return rows.empty() || rows[0][0].empty() ? 0 : std::stoll(rows[0][0]);
}

std::optional<std::map<std::string, int64_t>> StoreQueries::LastUids(int64_t user_id,
                                                                     std::string* error) {
  auto folders = Folders(user_id, error);
  if (!folders) return std::nullopt;
  std::vector<StoreDatabase::Row> rows;
  if (!db_->Query("SELECT MIF.IMF_IMAPFOLDERID, MAX(MIF.MIF_UID) FROM " + Name("IMAPMSGINFOLDER") +
                      " MIF INNER JOIN " + Name("IMAPFOLDER") +
                      " IMF ON MIF.IMF_IMAPFOLDERID = IMF.IMF_IMAPFOLDERID WHERE IMF.USR_USERID = " +
                      std::to_string(user_id) + " GROUP BY MIF.IMF_IMAPFOLDERID",
                  {}, &rows, error)) {
    return std::nullopt;
  }
  std::map<int64_t, int64_t> by_id;
  for (const auto& r : rows) by_id[std::stoll(r[0])] = std::stoll(r[1]);
  std::map<std::string, int64_t> out;
  for (const auto& [key, id] : *folders) {
    if (auto it = by_id.find(id); it != by_id.end()) out[key] = it->second;
  }
  return out;
}

std::optional<bool> StoreQueries::MessageStored(const std::string& message_id, uint64_t size,
                                                std::string* error) {
  std::vector<StoreDatabase::Row> rows;
  // The store keeps the Message-ID text cut to 95 bytes; an equality test on
  // the column lets the database use its index.
  const std::string sql = "SELECT COUNT(*) FROM " + Name("IMAPMESSAGE") + " IMM INNER JOIN " +
                          Name("FILESTORAGE") +
                          " FIS ON IMM.FIS_FILESTORAGEID = FIS.FIS_FILESTORAGEID WHERE "
                          "IMM.IMM_MESSAGEID = ? AND FIS.FIS_SIZE = CAST(? AS BIGINT) AND "
                          "FIS.FIS_DELETED IS NULL";
  // Asked once per mail: the server parses it once per connection.
  if (!db_->QueryPrepared(sql, {message_id.substr(0, 95), std::to_string(size)}, &rows, error)) {
    return std::nullopt;
  }
  return !rows.empty() && rows[0][0] != "0";
}

}  // namespace Nauvik::Import
