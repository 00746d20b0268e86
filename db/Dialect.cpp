#include "db/Dialect.h"

#include "db/ConnectionManager.h"
#include "db/DBException.h"
#include "foundation/NTime.h"

namespace Nauvik {

namespace {

constexpr char kDateFormat[] = "'yyyy/mm/dd hh24:mi:ss'";
constexpr char kDateValueTokens[] = "'$YEAR/$MONTH/$DAY $HOUR:$MIN:$SEC'";
constexpr char kFolderUidMax[] = "4294967295";

class OracleDialect final : public Dialect {
 public:
  int32_t Provider() const override { return kProviderOracle; }
  std::string SequenceExpression(const std::string& table_name) const override {
    return table_name + "_SEQ.NEXTVAL";
  }
  std::string NextValueStatement(const std::string& sequence) const override {
    return "SELECT " + sequence + " FROM DUAL";
  }
  std::string NextValueInStatement(const std::string& sequence) const override {
    return sequence;
  }
  std::string NextValuesSource(const std::string& sequence, size_t count) const override {
    return "(SELECT " + sequence + " AS NEXT_VALUE FROM DUAL CONNECT BY LEVEL <= " +
           std::to_string(count) + ") S";
  }
  std::string FromNoTable() const override { return " FROM DUAL"; }
  std::string FolderUidNextValue(int64_t folder_id) const override {
    return FolderUidSequenceName(folder_id) + ".NEXTVAL";
  }
  std::string CreateFolderUidSequence(int64_t folder_id) const override {
    return "CREATE SEQUENCE " + FolderUidSequenceName(folder_id) + " MINVALUE 1" + " MAXVALUE " +
           kFolderUidMax + " START WITH 1 " + " INCREMENT BY 1 " + " NOCACHE";
  }
  std::string DateLiteral(const KAVRO::NTime& time) const override {
    return "to_date(" + time.Format(kDateValueTokens) + "," + kDateFormat + ")";
  }
  std::string CurrentUtcTime() const override {
    return "TO_DATE(TO_CHAR(SYS_EXTRACT_UTC(SYSTIMESTAMP), 'DD.MM.YYYY HH24:MI:SS'),"
           "'DD.MM.YYYY HH24:MI:SS')";
  }
  std::string NvlFunction() const override { return "NVL"; }
  std::string LikeText(std::string_view text) const override { return std::string(text); }
  std::string EmptyTextLiteral() const override { return "''"; }
  std::u16string LikeText(std::u16string_view text) const override {
    return std::u16string(text);
  }
};

// PostgreSQL: one NS_ sequence per table (no synonyms), nextval('name'),
// to_timestamp for literals with a time of day, and LIKE without its default
// "\" escape.
class PostgresDialect final : public Dialect {
 public:
  int32_t Provider() const override { return kProviderPostgres; }
  std::string SequenceExpression(const std::string& table_name) const override {
    if (table_name.size() > 3 && (table_name.compare(0, 3, "NV_") == 0 ||
                                  table_name.compare(0, 3, "nv_") == 0)) {
      return "NS_" + table_name.substr(3) + "_SEQ";
    }
    return table_name + "_SEQ";
  }
  std::string NextValueStatement(const std::string& sequence) const override {
    return "SELECT nextval('" + sequence + "')";
  }
  std::string NextValueInStatement(const std::string& sequence) const override {
    return "nextval('" + sequence + "')";
  }
  std::string NextValuesSource(const std::string& sequence, size_t count) const override {
    return "(SELECT nextval('" + sequence + "') AS NEXT_VALUE FROM generate_series(1, " +
           std::to_string(count) + ")) S";
  }
  std::string FromNoTable() const override { return ""; }
  std::string FolderUidNextValue(int64_t folder_id) const override {
    return "nextval('" + FolderUidSequenceName(folder_id) + "')";
  }
  std::string CreateFolderUidSequence(int64_t folder_id) const override {
    return "CREATE SEQUENCE " + FolderUidSequenceName(folder_id) + " MINVALUE 1" + " MAXVALUE " +
           kFolderUidMax + " START WITH 1 " + " INCREMENT BY 1 " + " NO CYCLE";
  }
  std::string DateLiteral(const KAVRO::NTime& time) const override {
    return "to_timestamp(" + time.Format(kDateValueTokens) + "," + kDateFormat + ")";
  }
  std::string CurrentUtcTime() const override {
    return "date_trunc('second', statement_timestamp() AT TIME ZONE 'UTC')";
  }
  std::string NvlFunction() const override { return "COALESCE"; }
  std::string LikeText(std::string_view text) const override {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
      out += c;
      if (c == '\\') out += '\\';
    }
    return out;
  }
  std::u16string LikeText(std::u16string_view text) const override {
    std::u16string out;
    out.reserve(text.size());
    for (char16_t c : text) {
      out += c;
      if (c == u'\\') out += u'\\';
    }
    return out;
  }
  std::string EmptyTextLiteral() const override { return "NULL"; }
};

const OracleDialect kOracle;
const PostgresDialect kPostgres;

}  // namespace

std::string Dialect::FolderUidSequenceName(int64_t folder_id) {
  return "IMAPFOLDER_" + std::to_string(folder_id);
}

std::string Dialect::DropFolderUidSequence(int64_t folder_id) const {
  return "DROP SEQUENCE " + FolderUidSequenceName(folder_id);
}

std::string Dialect::DateSelect(const std::string& column) {
  return "to_char(" + column + ", " + kDateFormat + ")";
}

std::string Dialect::Nvl(const std::string& a, const std::string& b) const {
  return NvlFunction() + "(" + a + "," + b + ")";
}

const Dialect& DialectFor(int32_t provider) {
  if (provider == kProviderOracle) return kOracle;
  if (provider == kProviderPostgres) return kPostgres;
  throw DBException("Unknown database provider: " + std::to_string(provider));
}

const Dialect& DefaultDialect() {
  int32_t provider = ConnectionManager::Instance().GetDefaultProvider();
  if (provider == kProviderDefault) throw DBException("Database Provider not properly set");
  return DialectFor(provider);
}

}  // namespace Nauvik
