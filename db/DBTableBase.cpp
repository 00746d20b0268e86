#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "db/DBTable.h"
#include "db/Registry.h"
#include "foundation/NTime.h"
#include "log/Log.h"

namespace Nauvik {

static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "UTF-16 statements need a 2-byte SQLWCHAR");
static_assert(sizeof(SQLLEN) == sizeof(int64_t), "indicators are kept as int64_t");

namespace {

constexpr char kTruncating[] = "Truncating string field before input to database";

// The database's 8-bit text is ISO-8859-1, whose code points are the first
// 256 of UTF-16: widening and narrowing are exact. Everything goes to the
// driver in UTF-16 (its 8-bit calls assume the client's multibyte encoding).
std::u16string Widen(std::string_view text) {
  std::u16string out(text.size(), u'\0');
  for (size_t i = 0; i < text.size(); ++i) out[i] = static_cast<unsigned char>(text[i]);
  return out;
}

// Characters outside ISO-8859-1 become the substitute byte 0x1A.
std::string Narrow(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char16_t c = text[i];
    if (c < 0x100) {
      out += static_cast<char>(c);
    } else {
      out += '\x1A';
      if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
          text[i + 1] < 0xE000) {
        ++i;
      }
    }
  }
  return out;
}

SQLWCHAR* W(std::u16string& s) { return reinterpret_cast<SQLWCHAR*>(s.data()); }

bool Ok(SQLRETURN rc) { return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO; }

std::string Quoted(std::string value) {
  std::string out = "'";
  for (char c : value) {
    out += c;
    if (c == '\'') out += '\'';
  }
  return out + "'";
}

std::u16string QuotedW(const std::u16string& value) {
  std::u16string out = u"'";
  for (char16_t c : value) {
    out += c;
    if (c == u'\'') out += u'\'';
  }
  return out + u"'";
}

std::string Seconds(const KAVRO::NTime& start) {
  KAVRO::NTime now;
  return std::to_string(KAVRO::ElapsedTime(start, now).Milliseconds() / 1000.0);
}

}  // namespace

bool ColumnNameLess::operator()(const std::string& a, const std::string& b) const {
  // ASCII folding: column names are ASCII, and this runs for every column of
  // every table object.
  auto fold = [](char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return u >= 'a' && u <= 'z' ? u - ('a' - 'A') : u;
  };
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    unsigned x = fold(a[i]);
    unsigned y = fold(b[i]);
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

DBTableBase::DBTableBase() = default;

DBTableBase::~DBTableBase() {
  if (public_id_ == 0) return;
  try {
    CODBCDatabase* db = CODBCDatabase::FindDB(connect_string_, provider_);
    if (db != nullptr) db->FreeStmtHandle(public_id_);
  } catch (...) {
    // The connection table cannot resolve our string any more: nothing to free.
  }
}

// ------------------------------------------------------------------ set-up

void DBTableBase::InitTable() {
  ConnectionManager& manager = ConnectionManager::Instance();
  provider_ = manager.GetDefaultProvider();
  connect_string_ = manager.GetConnectString(provider_);
  if (sequence_.empty() && !table_name_.empty() && provider_ != kProviderDefault) {
    sequence_ = DialectFor(provider_).SequenceExpression(table_name_);
  }
}

void DBTableBase::SetProvider(int32_t provider) {
  ConnectionManager& manager = ConnectionManager::Instance();
  provider_ = provider == kProviderDefault ? manager.GetDefaultProvider() : provider;
  connect_string_ = manager.GetConnectString(provider_);
  if (!table_name_.empty() && provider_ != kProviderDefault) {
    sequence_ = DialectFor(provider_).SequenceExpression(table_name_);
  }
}

const Dialect& DBTableBase::GetDialect() const {
  if (provider_ != kProviderDefault) return DialectFor(provider_);
  return DefaultDialect();
}

void DBTableBase::SetTableName(const std::string& name, bool with_sequence) {
  table_name_ = name;
  if (with_sequence) sequence_ = GetDialect().SequenceExpression(name);
}

void DBTableBase::AddColumn(int16_t value_type, int32_t buffer_size, void* buffer,
                            const std::string& name, int32_t is_date) {
  ColumnDescriptor c;
  c.value_type = value_type;
  c.indicator = SQL_NULL_DATA;
  c.buffer_size = buffer_size;
  c.bind_size = buffer_size;
  c.buffer = buffer;
  c.name = name;
  c.is_date = is_date;
  c.select_expression = is_date ? Dialect::DateSelect(name) : name;
  column_index_[name] = columns_.size();
  columns_.push_back(std::move(c));
  latin1_shadow_.emplace_back();
}

void DBTableBase::AddColumn(int16_t value_type, int32_t buffer_size, void* buffer,
                            const std::string& alias, const std::string& name) {
  AddColumn(value_type, buffer_size, buffer, alias.empty() ? name : alias + "." + name, 0);
}

void DBTableBase::ResetColumns() {
  columns_.clear();
  latin1_shadow_.clear();
  column_index_.clear();
}

void DBTableBase::RemoveColumn(const std::string& name) {
  auto it = column_index_.find(name);
  if (it == column_index_.end()) return;
  size_t pos = it->second;
  columns_.erase(columns_.begin() + static_cast<std::ptrdiff_t>(pos));
  latin1_shadow_.erase(latin1_shadow_.begin() + static_cast<std::ptrdiff_t>(pos));
  column_index_.clear();
  for (size_t i = 0; i < columns_.size(); ++i) column_index_[columns_[i].name] = i;
}

void DBTableBase::SetConnectString(const std::string& connect_string) {
  connect_string_ = connect_string;
}

void DBTableBase::SetRegEntry(const std::string& key_path) {
  if (provider_ == kProviderOracle) {
    connect_string_ = BuildOracleConnectString(key_path);
  } else if (provider_ == kProviderPostgres) {
    connect_string_ = BuildPostgresConnectString(key_path);
  } else {
    throw DBException("DBTableBase::SetRegEntry: Operation illegal on unknown provider");
  }
}

void DBTableBase::ClearBuffers() {
  for (size_t i = 0; i < columns_.size(); ++i) {
    ColumnDescriptor& c = columns_[i];
    if (c.buffer_size > 0 && c.buffer != nullptr) {
      std::memset(c.buffer, 0, static_cast<size_t>(c.buffer_size < 8 ? c.buffer_size : 8));
    }
    if (c.latin1 && !latin1_shadow_[i].empty()) latin1_shadow_[i][0] = u'\0';
    c.indicator = SQL_NULL_DATA;
  }
}

void DBTableBase::QuoteColumnNames() {
  for (ColumnDescriptor& c : columns_) {
    if (!c.name.empty() && c.name[0] == '"') continue;
    c.name = "\"" + c.name + "\"";
    c.select_expression = c.is_date ? Dialect::DateSelect(c.name) : c.name;
  }
}

// ------------------------------------------------------------------ values

int32_t DBTableBase::BufferSizeOf(const std::string& column) const {
  auto it = column_index_.find(column);
  if (it == column_index_.end()) return 0;
  // Every known column cuts a value literal to its buffer, whatever its
  // type: a number column's value cannot be longer than its buffer either.
  return columns_[it->second].buffer_size;
}

void DBTableBase::SetNarrowLiteral(const std::string& column, const std::string& value, bool raw) {
  bound_.erase(column);
  wide_literals_.erase(column);
  literals_[column] = value;
  (void)raw;
}

void DBTableBase::SetValue(const std::string& column, const std::u16string& value, bool raw) {
  bound_.erase(column);
  literals_.erase(column);
  if (raw) {
    wide_literals_[column] = value;
    return;
  }
  int32_t size = BufferSizeOf(column);
  std::u16string v = value;
  if (size >= 1 && 2 * v.size() > static_cast<size_t>(size)) {
    Log(kLogError, true, kTruncating);
    v.resize(static_cast<size_t>(size) / 2);
  }
  if (v.empty()) {
    const std::string empty = GetDialect().EmptyTextLiteral();
    wide_literals_[column] = std::u16string(empty.begin(), empty.end());
    return;
  }
  wide_literals_[column] = QuotedW(v);
}

void DBTableBase::SetValue(const std::string& column, const char16_t* value, bool raw) {
  SetValue(column, std::u16string(value == nullptr ? u"" : value), raw);
}

void DBTableBase::SetValue(const std::string& column, const std::string& value, bool raw) {
  if (raw) {
    SetNarrowLiteral(column, value, true);
    return;
  }
  int32_t size = BufferSizeOf(column);
  std::string v = value;
  if (size >= 1 && v.size() > static_cast<size_t>(size)) {
    Log(kLogError, true, kTruncating);
    v.resize(static_cast<size_t>(size));
  }
  if (v.empty()) {
    SetNarrowLiteral(column, GetDialect().EmptyTextLiteral(), false);
    return;
  }
  SetNarrowLiteral(column, Quoted(v), false);
}

void DBTableBase::SetValue(const std::string& column, const char* value, bool raw) {
  SetValue(column, std::string(value == nullptr ? "" : value), raw);
}

void DBTableBase::SetDateValue(const std::string& column, const KAVRO::NTime& time) {
  SetNarrowLiteral(column, GetDialect().DateLiteral(time), true);
}

void DBTableBase::SetLiteral(const std::string& column, const std::string& sql) {
  SetNarrowLiteral(column, sql, true);
}

void DBTableBase::SetBinaryParameter(const std::string& column, const void* data,
                                     int64_t length) {
  literals_.erase(column);
  wide_literals_.erase(column);
  bound_[column] = BoundValue{data, length, kSqlCBinary, SQL_LONGVARBINARY};
}

void DBTableBase::SetWideTextParameter(const std::string& column, const std::u16string& value) {
  literals_.erase(column);
  wide_literals_.erase(column);
  bound_[column] = BoundValue{value.data(), static_cast<int64_t>(2 * value.size()), kSqlCWChar,
                              SQL_LONGVARCHAR};
}

void DBTableBase::SetTextParameter(const std::string& column, const std::string& value) {
  literals_.erase(column);
  wide_literals_.erase(column);
  bound_[column] = BoundValue{value.data(), static_cast<int64_t>(value.size()), kSqlCChar,
                              SQL_LONGVARCHAR};
}

void DBTableBase::ClearValues() {
  bound_.clear();
  literals_.clear();
  wide_literals_.clear();
}

// ------------------------------------------------------------------ texts

std::string DBTableBase::SelectText(const std::string& where, const std::string& order_by) const {
  std::string s = "SELECT ";
  for (size_t i = 0; i < columns_.size(); ++i) {
    if (i > 0) s += ", ";
    s += columns_[i].select_expression;
  }
  s += " FROM " + table_name_;
  if (!where.empty()) s += " WHERE " + where;
  if (!order_by.empty()) s += " ORDER BY " + order_by;
  if (!group_by_.empty()) s += " GROUP BY " + group_by_;
  return s;
}

std::string DBTableBase::CountText(const std::string& where) const {
  std::string s = "SELECT COUNT(*) FROM " + table_name_;
  if (!where.empty()) s += " WHERE " + where;
  return s;
}

std::string DBTableBase::DeleteText(const std::string& where) const {
  std::string s = "DELETE  FROM " + table_name_;
  if (!where.empty()) s += " WHERE " + where;
  return s;
}

std::string DBTableBase::InsertText() const {
  std::string names, values;
  auto add = [&](const std::string& name, const std::string& value) {
    if (!names.empty()) {
      names += ", ";
      values += ", ";
    }
    names += name;
    values += value;
  };
  for (const auto& [name, bound] : bound_) add(name, "?");
  for (const auto& [name, literal] : literals_) add(name, literal);
  return "INSERT INTO " + table_name_ + " (" + names + ") VALUES (" + values + ")";
}

std::u16string DBTableBase::InsertTextW() const {
  // Narrow and wide literals form one group, in column-name order.
  std::map<std::string, std::u16string> all;
  for (const auto& [name, literal] : literals_) all[name] = Widen(literal);
  for (const auto& [name, literal] : wide_literals_) all[name] = literal;
  std::u16string names, values;
  auto add = [&](const std::string& name, const std::u16string& value) {
    if (!names.empty()) {
      names += u", ";
      values += u", ";
    }
    names += Widen(name);
    values += value;
  };
  for (const auto& [name, bound] : bound_) add(name, u"?");
  for (const auto& [name, literal] : all) add(name, literal);
  return u"INSERT INTO " + Widen(table_name_) + u" (" + names + u") VALUES (" + values + u")";
}

std::string DBTableBase::UpdateText(const std::string& where) const {
  std::string s = "UPDATE " + table_name_ + " SET ";
  bool first = true;
  for (const auto& [name, bound] : bound_) {
    s += (first ? "" : ", ") + name + " = ?";
    first = false;
  }
  for (const auto& [name, literal] : literals_) {
    s += (first ? "" : ", ") + name + " = " + literal;
    first = false;
  }
  if (!where.empty()) s += " WHERE " + where;
  return s;
}

std::u16string DBTableBase::UpdateTextW(const std::u16string& where) const {
  std::map<std::string, std::u16string> all;
  for (const auto& [name, literal] : literals_) all[name] = Widen(literal);
  for (const auto& [name, literal] : wide_literals_) all[name] = literal;
  std::u16string s = u"UPDATE " + Widen(table_name_) + u" SET ";
  bool first = true;
  for (const auto& [name, bound] : bound_) {
    s += (first ? u"" : u", ") + Widen(name) + u" = ?";
    first = false;
  }
  for (const auto& [name, literal] : all) {
    s += (first ? u"" : u", ") + Widen(name) + u" = " + literal;
    first = false;
  }
  if (!where.empty()) s += u" WHERE " + where;
  return s;
}

std::string DBTableBase::NextValueText() const {
  if (sequence_.empty()) return std::string();
  return GetDialect().NextValueStatement(sequence_);
}

std::string DBTableBase::SequenceNextValueSql() const {
  return GetDialect().NextValueInStatement(sequence_);
}

// ------------------------------------------------------------------ execution

CODBCDatabase* DBTableBase::EnsureConnection() {
  if (provider_ == kProviderDefault) {
    provider_ = ConnectionManager::Instance().GetDefaultProvider();
  }
  CODBCDatabase* db = CODBCDatabase::GetDB(connect_string_, provider_);
  if (db == nullptr) throw DBException("Failed to allocate Database for this thread. DB Down?");
  if (public_id_ == 0) {
    public_id_ = ConnectionManager::Instance().NextPublicStatementId();
    if (public_id_ == 0) throw DBException("Failed to obtain public statement handle");
  }
  return db;
}

OdbcHandle DBTableBase::Statement(CODBCDatabase* db) {
  OdbcHandle h = db->GetStmtHandle(public_id_);
  if (h == nullptr) {
    throw DBException("Internal NULL pointer Error in DbTable Module. Statement Handle is NULL");
  }
  return h;
}

void DBTableBase::Prepare() {
  EnsureConnection();
  CloseCursor();
  ClearBuffers();
}

bool DBTableBase::CloseCursor() {
  if (public_id_ == 0) return true;
  CODBCDatabase* db = CODBCDatabase::FindDB(connect_string_, provider_);
  if (db == nullptr) return true;
  OdbcHandle h = db->GetStmtHandle(public_id_);
  // A statement without an open cursor says so; that is no failure here.
  if (h != nullptr) SQLFreeStmt(h, SQL_CLOSE);
  return true;
}

void DBTableBase::Check(int16_t rc, const std::string& query) {
  if (rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO) return;
  CODBCDatabase* db = CODBCDatabase::FindDB(connect_string_, provider_);
  if (db == nullptr) throw DBException("Internal Error: Database Handle is NULL");
  OdbcHandle h = public_id_ != 0 ? db->GetStmtHandle(public_id_) : nullptr;
  if (h == nullptr) {
    throw DBException("Internal NULL pointer Error in DbTable Module. Statement Handle is NULL");
  }
  std::string text = CODBCDatabase::GetDiagText(SQL_HANDLE_STMT, h);
  if (!query.empty()) text += ". Query: " + query;
  db->FreeStmtHandle(public_id_);
  throw DBException(text);
}

bool DBTableBase::DbExecute(const std::string& sql, int64_t* rows) {
  std::u16string wide = Widen(sql);
  CODBCDatabase* db = EnsureConnection();
  SQLHSTMT h = Statement(db);
  bool timing = LogLevelAtLeast(kLogDebug2);
  KAVRO::NTime start(uint64_t{0});
  if (timing) {
    Log(kLogDebug2, false, "DbExecute: " + sql);
    start = KAVRO::NTime();
  }
  SQLRETURN rc = sql.empty() ? SQLExecute(h) : SQLExecDirectW(h, W(wide), SQL_NTS);
  if (rc == SQL_NO_DATA) return true;
  if (rc != SQL_SUCCESS) Check(rc, sql);
  if (rows != nullptr) {
    SQLLEN n = 0;
    *rows = Ok(SQLRowCount(h, &n)) ? n : 0;
  }
  if (timing) Log(kLogDebug2, false, "DbExecute done: " + Seconds(start) + " sec.");
  return true;
}

bool DBTableBase::DbExecuteW(const std::u16string& sql, int64_t* rows) {
  std::u16string text = sql;
  CODBCDatabase* db = EnsureConnection();
  SQLHSTMT h = Statement(db);
  bool timing = LogLevelAtLeast(kLogDebug2);
  KAVRO::NTime start(uint64_t{0});
  if (timing) {
    Log(kLogDebug2, false, "DbExecuteW: " + Narrow(sql));
    start = KAVRO::NTime();
  }
  SQLRETURN rc = text.empty() ? SQLExecute(h) : SQLExecDirectW(h, W(text), SQL_NTS);
  if (rc == SQL_NO_DATA) return true;
  if (rc != SQL_SUCCESS) Check(rc, Narrow(sql));
  if (rows != nullptr) {
    SQLLEN n = 0;
    *rows = Ok(SQLRowCount(h, &n)) ? n : 0;
  }
  if (timing) Log(kLogDebug2, false, "DbExecuteW done: " + Seconds(start) + " sec.");
  return true;
}

bool DBTableBase::BindColumns() {
  CODBCDatabase* db = EnsureConnection();
  SQLHSTMT h = Statement(db);
  SQLFreeStmt(h, SQL_UNBIND);
  for (size_t i = 0; i < columns_.size(); ++i) {
    ColumnDescriptor& c = columns_[i];
    SQLRETURN rc;
    SQLLEN* indicator = reinterpret_cast<SQLLEN*>(&c.indicator);
    if (c.latin1) {
      std::u16string& shadow = latin1_shadow_[i];
      shadow.assign(static_cast<size_t>(c.bind_size), u'\0');
      rc = SQLBindCol(h, static_cast<SQLUSMALLINT>(i + 1), SQL_C_WCHAR, shadow.data(),
                      static_cast<SQLLEN>(2 * shadow.size()), indicator);
    } else {
      rc = SQLBindCol(h, static_cast<SQLUSMALLINT>(i + 1), c.value_type, c.buffer,
                      c.bind_size > 0 ? c.bind_size : c.buffer_size, indicator);
    }
    if (!Ok(rc)) return false;
  }
  return true;
}

bool DBTableBase::Select(const std::string& where, const std::string& order_by) {
  Prepare();
  std::string text = SelectText(where, order_by);
  if (!BindColumns()) return false;
  return DbExecute(text, nullptr);
}

bool DBTableBase::SelectW(const std::u16string& where, const std::u16string& order_by) {
  Prepare();
  std::u16string text = Widen(SelectText("", ""));
  if (!where.empty()) text += u" WHERE " + where;
  if (!order_by.empty()) text += u" ORDER BY " + order_by;
  if (!group_by_w_.empty()) text += u" GROUP BY " + group_by_w_;
  if (!BindColumns()) return false;
  return DbExecuteW(text, nullptr);
}

bool DBTableBase::SelectWhereEquals(const std::pair<std::string, std::string>& column_value,
                                    const std::string& order_by) {
  return Select(column_value.first + "=" + column_value.second, order_by);
}

int64_t DBTableBase::SelectAll(const std::string& where, const std::string& order_by,
                               const std::function<bool(DBTableBase&)>& visitor) {
  if (!Select(where, order_by)) return 0;
  int64_t n = 0;
  while (Fetch()) {
    ++n;
    if (!visitor(*this)) break;
  }
  return n;
}

int64_t DBTableBase::SelectAllW(const std::u16string& where, const std::u16string& order_by,
                                const std::function<bool(DBTableBase&)>& visitor) {
  if (!SelectW(where, order_by)) return 0;
  int64_t n = 0;
  while (Fetch()) {
    ++n;
    if (!visitor(*this)) break;
  }
  return n;
}

int64_t DBTableBase::SelectEach(const std::vector<std::string>& wheres,
                                const std::function<bool(DBTableBase&)>& visitor) {
  int64_t n = 0;
  for (const std::string& where : wheres) {
    if (!Select(where, "")) continue;
    while (Fetch()) {
      ++n;
      if (!visitor(*this)) return n;
    }
  }
  return n;
}

bool DBTableBase::Fetch() {
  ClearBuffers();
  CODBCDatabase* db = CODBCDatabase::GetDB(connect_string_, provider_);
  if (db == nullptr) {
    throw DBException("Internal Error or allocation trouble: No Database Available for this thread");
  }
  if (db->Handle() == nullptr) throw DBException("Internal Error: Database Handle is NULL");
  if (public_id_ == 0) {
    throw DBException("Internal NULL pointer Error in DbTable Module. Statement Handle is NULL");
  }
  SQLHSTMT h = Statement(db);
  SQLRETURN rc = SQLFetch(h);
  if (rc == SQL_NO_DATA) return false;
  if (!Ok(rc)) {
    SQLCHAR state[6] = {};
    SQLINTEGER native = 0;
    SQLCHAR message[2048] = {};
    SQLSMALLINT length = 0;
    SQLRETURN drc = SQLGetDiagRec(SQL_HANDLE_STMT, h, 1, state, &native, message,
                                  sizeof message, &length);
    if (Ok(drc)) {
      throw DBException("SQLFetch error: SQL State: " + std::string(reinterpret_cast<char*>(state)) +
                        "; Native Error: " + std::to_string(native) + "; Error Text: " +
                        std::string(reinterpret_cast<char*>(message)));
    }
    throw DBException("SQLFetch Unknown Error. SQLFetch return: " + std::to_string(rc));
  }
  for (size_t i = 0; i < columns_.size(); ++i) {
    ColumnDescriptor& c = columns_[i];
    if (!c.latin1) continue;
    char* out = static_cast<char*>(c.buffer);
    if (c.indicator == SQL_NULL_DATA) {
      out[0] = '\0';
      continue;
    }
    std::string narrow = Narrow(latin1_shadow_[i].c_str());
    size_t n = std::min(narrow.size(), static_cast<size_t>(c.bind_size - 1));
    std::memcpy(out, narrow.data(), n);
    out[n] = '\0';
    c.indicator = static_cast<int64_t>(n);
  }
  return true;
}

int64_t DBTableBase::CountRun(const std::string& text, const std::u16string* wide) {
  Prepare();
  SQLHSTMT h = Statement(EnsureConnection());
  SQLFreeStmt(h, SQL_UNBIND);
  if (wide != nullptr) {
    DbExecuteW(*wide, nullptr);
  } else {
    DbExecute(text, nullptr);
  }
  SQLRETURN rc = SQLFetch(h);
  if (rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO) Check(rc, text);
  char value[64] = {};
  SQLLEN indicator = 0;
  rc = SQLGetData(h, 1, SQL_C_CHAR, value, sizeof value, &indicator);
  if (rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO) Check(rc, text);
  SQLFreeStmt(h, SQL_CLOSE);
  return std::strtoll(value, nullptr, 10);
}

int64_t DBTableBase::Count(const std::string& where) {
  return CountRun(CountText(where), nullptr);
}

int64_t DBTableBase::CountW(const std::u16string& where) {
  std::u16string text = Widen(CountText(""));
  if (!where.empty()) text += u" WHERE " + where;
  return CountRun(Narrow(text), &text);
}

int64_t DBTableBase::DeleteRun(const std::u16string& text) {
  Prepare();
  int64_t rows = 0;
  DbExecuteW(text, &rows);
  return rows;
}

int64_t DBTableBase::Delete(const std::string& where) {
  Prepare();
  int64_t rows = 0;
  DbExecute(DeleteText(where), &rows);
  return rows;
}

int64_t DBTableBase::DeleteW(const std::u16string& where) {
  std::u16string text = Widen(DeleteText(""));
  if (!where.empty()) text += u" WHERE " + where;
  return DeleteRun(text);
}

// Prepares `text`, binds the bound values in column-name order and executes.
// `what` is "Insert", "Insert(W)", "Update" or "Update(W)" for the log lines.
bool DBTableBase::RunPrepared(const std::u16string& text, const std::string& what,
                              int64_t* rows) {
  Prepare();
  SQLHSTMT h = Statement(EnsureConnection());
  const std::string kind = what.substr(0, 6);  // "Insert" / "Update"
  bool timing = LogLevelAtLeast(kLogDebug2);
  KAVRO::NTime start(uint64_t{0});
  if (timing) {
    Log(kLogDebug2, false, "SQL " + what + " statement: " + Narrow(text));
    start = KAVRO::NTime();
  }
  std::u16string statement = text;
  SQLRETURN rc = SQLPrepareW(h, W(statement), SQL_NTS);
  if (rc != SQL_SUCCESS) Check(rc, "SQLPrepare: " + Narrow(text));

  // Parameters: lengths and UTF-16 copies of 8-bit texts live until the
  // statement has run.
  SQLFreeStmt(h, SQL_RESET_PARAMS);
  std::vector<SQLLEN> lengths;
  std::vector<std::u16string> widened;
  lengths.reserve(bound_.size());
  widened.reserve(bound_.size());
  SQLUSMALLINT number = 1;
  for (const auto& [name, value] : bound_) {
    SQLSMALLINT c_type = value.value_type;
    const void* data = value.data;
    SQLLEN length = static_cast<SQLLEN>(value.length);
    if (c_type == kSqlCChar) {
      widened.push_back(Widen(std::string_view(static_cast<const char*>(data),
                                               static_cast<size_t>(length))));
      data = widened.back().data();
      length = static_cast<SQLLEN>(2 * widened.back().size());
      c_type = SQL_C_WCHAR;
    }
    lengths.push_back(length);
    rc = SQLBindParameter(h, number++, SQL_PARAM_INPUT, c_type, value.sql_type,
                          static_cast<SQLULEN>(length), 0, const_cast<void*>(data), length,
                          &lengths.back());
    if (rc != SQL_SUCCESS) Check(rc, "SQLBindParameter: " + Narrow(text));
  }

  rc = SQLExecute(h);
  if (rc == SQL_NO_DATA) {
    if (rows != nullptr) *rows = 0;
    return true;
  }
  if (rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO) Check(rc, "SQLExecute: " + Narrow(text));
  if (rows != nullptr) {
    SQLLEN n = 0;
    *rows = Ok(SQLRowCount(h, &n)) ? n : 0;
  }
  SQLFreeStmt(h, SQL_RESET_PARAMS);
  if (rc == SQL_SUCCESS_WITH_INFO) return false;
  if (timing) Log(kLogDebug2, false, "SQL " + kind + " done: " + Seconds(start) + " sec.");
  return true;
}

bool DBTableBase::Insert() {
  if (HasWideLiterals()) return RunPrepared(InsertTextW(), "Insert(W)", nullptr);
  return RunPrepared(Widen(InsertText()), "Insert", nullptr);
}

int64_t DBTableBase::Update(const std::string& where) {
  int64_t rows = 0;
  if (HasWideLiterals()) {
    RunPrepared(UpdateTextW(Widen(where)), "Update(W)", &rows);
  } else {
    RunPrepared(Widen(UpdateText(where)), "Update", &rows);
  }
  return rows;
}

int64_t DBTableBase::UpdateW(const std::u16string& where) {
  int64_t rows = 0;
  RunPrepared(UpdateTextW(where), "Update(W)", &rows);
  return rows;
}

uint64_t DBTableBase::GetNextSequenceValue() {
  Prepare();
  if (sequence_.empty()) return 0;
  if (provider_ != kProviderOracle && provider_ != kProviderPostgres) return 0;
  std::string text = NextValueText();
  SQLHSTMT h = Statement(EnsureConnection());
  SQLFreeStmt(h, SQL_UNBIND);
  DbExecute(text, nullptr);
  SQLRETURN rc = SQLFetch(h);
  if (rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO) Check(rc, text);
  char value[64] = {};
  SQLLEN indicator = 0;
  rc = SQLGetData(h, 1, SQL_C_CHAR, value, sizeof value, &indicator);
  if (rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO) Check(rc, text);
  SQLFreeStmt(h, SQL_CLOSE);
  return std::strtoull(value, nullptr, 10);
}

bool DBTableBase::ExecuteDirect(const std::string& sql) {
  Prepare();
  return DbExecute(sql, nullptr);
}

bool DBTableBase::ExecuteDirectW(const std::u16string& sql) {
  Prepare();
  return DbExecuteW(sql, nullptr);
}

}  // namespace Nauvik
