#include "db/Rows.h"

#include <cstdlib>

namespace Nauvik {

namespace {

// The link/message/blob join on the base tables.
constexpr char kBaseTableJoin[] =
    "NS_IMAPMSGINFOLDER MIF INNER JOIN NS_IMAPMESSAGE IMM ON MIF.IMM_IMAPMESSAGEID = "
    "IMM.IMM_IMAPMESSAGEID INNER JOIN NS_FILESTORAGE FIS ON IMM.FIS_FILESTORAGEID = "
    "FIS.FIS_FILESTORAGEID";

// The link/message/blob join on the views.
constexpr char kViewJoin[] =
    "NV_IMAPMSGINFOLDER MIF INNER JOIN NV_IMAPMESSAGE IMM ON MIF.IMM_IMAPMESSAGEID = "
    "IMM.IMM_IMAPMESSAGEID INNER JOIN NV_FILESTORAGE FIS ON IMM.FIS_FILESTORAGEID = "
    "FIS.FIS_FILESTORAGEID";

const char* LinkJoin(bool use_views) { return use_views ? kViewJoin : kBaseTableJoin; }

}  // namespace

int64_t IdOf(const char* text) {
  if (text == nullptr) return 0;
  return std::strtoll(text, nullptr, 10);
}

std::string IdText(int64_t id) { return std::to_string(id); }

std::string TextOf(const char* text) { return text == nullptr ? std::string() : std::string(text); }

std::u16string WTextOf(const char16_t* text) {
  return text == nullptr ? std::u16string() : std::u16string(text);
}

KAVRO::NTime DateOf(const char* text) { return KAVRO::NTime::FromDatabaseText(TextOf(text)); }

bool HasDate(const char* text) { return text != nullptr && text[0] != '\0'; }

// The column helper each column kind is bound with (db/Rows.def lists them).
#define NAUVIK_ROW_COLUMN_ID(m, a) Id(m, #m, a);
#define NAUVIK_ROW_COLUMN_TEXT(m, n) Text(m, #m);
#define NAUVIK_ROW_COLUMN_WTEXT(m, n) WText(m, #m);
#define NAUVIK_ROW_COLUMN_DATE(m, a) Date(m, #m);
#define NAUVIK_ROW_COLUMN_S16(m, a) Short(&m, 2, #m);
#define NAUVIK_ROW_COLUMN_S16IN4(m, a) Short(&m, 4, #m);
#define NAUVIK_ROW_COLUMN_I32(m, a) Long(&m, 4, #m, a);
#define NAUVIK_ROW_COLUMN_I32IN8(m, a) Long(&m, 8, #m);

#define ROW(Name, table)            \
  void Name::DefineColumns() {      \
    SetTableName(table, false);
#define LINK_ROW(Name)                                                   \
  void Name::UseViews(bool use_views) {                                  \
    use_views_ = use_views;                                              \
    ResetColumns();                                                      \
    DefineColumns();                                                     \
  }                                                                      \
  void Name::DefineColumns() {                                           \
    SetTableName(LinkJoin(use_views_), false);                           \
    DefineListedColumns();                                               \
    if (!use_views_) Id(MRP_MAILRECIPIENTID, "MRP_MAILRECIPIENTID");     \
  }                                                                      \
  void Name::DefineListedColumns() {
#define COLUMN(kind, member, arg) NAUVIK_ROW_COLUMN_##kind(member, arg)
#define END_ROW }
#include "db/Rows.def"
#undef ROW
#undef LINK_ROW
#undef COLUMN
#undef END_ROW

}  // namespace Nauvik
