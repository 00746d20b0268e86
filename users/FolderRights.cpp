#include "users/FolderRights.h"

#include <exception>

#include "db/ConnectionManager.h"
#include "db/DBTable.h"
#include "db/Rows.h"
#include "foundation/ResultCodes.h"
#include "log/Log.h"

namespace Nauvik {

std::string FolderRightsCondition(bool use_views, uint64_t user, uint64_t company,
                                  uint64_t folder) {
  const std::string u = std::to_string(user);
  std::string where = "( USR_USERID = " + u +
                      " OR USG_USERGROUPID IN (SELECT USG_USERGROUPID FROM NV_USERGROUPMEMBER "
                      "WHERE USR_USERID = " +
                      u + ") OR ( COM_COMPANYID = " + std::to_string(company) +
                      " AND USR_USERID IS NULL AND USG_USERGROUPID IS NULL ) ) AND "
                      "IMF_IMAPFOLDERID = " +
                      std::to_string(folder);
  if (!use_views) {
    for (size_t at = where.find("NV_"); at != std::string::npos; at = where.find("NV_", at + 3)) {
      where.replace(at, 3, "NS_");
    }
  }
  return where;
}

FolderRights GetFolderRights(bool use_views, uint64_t user, uint64_t company, uint64_t folder) {
  DBTable<NV_IMAPFOLDERACCESS> grants;
  if (!use_views) grants.SetTableName("NS_IMAPFOLDERACCESS", true);
  FolderRights rights = 0;
  if (!grants.Select(FolderRightsCondition(use_views, user, company, folder), "")) return rights;
  while (grants.Fetch()) {
    // Column order is bit order; only the value 1 grants.
    const int16_t columns[] = {
        grants.IFA_AR_LOOKUP,          grants.IFA_AR_READ,        grants.IFA_AR_KEEP,
        grants.IFA_AR_WRITE,           grants.IFA_AR_INSERT,      grants.IFA_AR_POST,
        grants.IFA_AR_CREATE,          grants.IFA_AR_DELETE_MBOX, grants.IFA_AR_DELETE_MESSAGE,
        grants.IFA_AR_PERFORM_EXPUNGE, grants.IFA_AR_ADMINISTER,
    };
    FolderRights bit = 1;
    for (int16_t value : columns) {
      if (value == 1) rights |= bit;
      bit <<= 1;
    }
  }
  return rights;
}

int32_t AddFolderRightToUser(bool use_views, uint64_t user, uint64_t folder) {
  if (folder == 0 || user == 0) return IMAP::kImapInvalidInput;
  try {
    DBTable<NV_IMAPFOLDERACCESS> grants;
    if (!use_views) grants.SetTableName("NS_IMAPFOLDERACCESS", true);
    const uint64_t id = grants.GetNextSequenceValue();
    grants.SetValue("IFA_IMAPFOLDERACCESSID", std::to_string(id), true);
    grants.SetValue("IMF_IMAPFOLDERID", std::to_string(folder), true);
    grants.SetValue("USR_USERID", std::to_string(user), true);
    for (const char* column :
         {"IFA_AR_LOOKUP", "IFA_AR_READ", "IFA_AR_KEEP", "IFA_AR_WRITE", "IFA_AR_INSERT",
          "IFA_AR_POST", "IFA_AR_CREATE", "IFA_AR_DELETE_MBOX", "IFA_AR_DELETE_MESSAGE",
          "IFA_AR_PERFORM_EXPUNGE", "IFA_AR_ADMINISTER"}) {
      grants.SetLiteral(column, "1");
    }
    // A "success with information" answer still wrote the row.
    (void)grants.Insert();
    return IMAP::kImapOk;
  } catch (const std::exception& e) {
    if (LogLevelAtLeast(kLogWarning)) {
      Log(kLogWarning, false, std::string("AddFolderRightToUser(): Oracle error: ") + e.what());
    }
    CloseThreadDatabases();
    return IMAP::kImapOracleError;
  }
}

}  // namespace Nauvik
