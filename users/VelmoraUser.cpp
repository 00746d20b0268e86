#include "users/VelmoraUser.h"

#include <stdexcept>

#include "db/DBTable.h"
#include "db/Dialect.h"
#include "db/Rows.h"
#include "log/Log.h"

namespace Nauvik {

bool VelmoraUser::LookupUser(const std::string& condition) {
  if (LogLevelAtLeast(kLogDebug4)) Log(kLogDebug4, false, "VelmoraUser::LookupUser() start.");
  if (condition.empty()) {
    Log(kLogWarning, true,
        "VelmoraUser::LookupUser(): Unable to look up user with empty where condition.");
    return false;
  }
  if (LogLevelAtLeast(kLogDebug3)) {
    Log(kLogDebug3, false, "VelmoraUser::LookupUser(): SQL: " + condition);
  }
  DBTable<NV_USER> users;
  users.SetTableName("NS_USER", true);
  if (!users.Select(condition, "") || !users.Fetch()) {
    if (LogLevelAtLeast(kLogDebug)) {
      Log(kLogDebug, false, "VelmoraUser::LookupUser(): No user found with SQL: " + condition);
    }
    return false;
  }
  user_id_ = static_cast<uint64_t>(IdOf(users.USR_USERID));
  company_id_ = static_cast<uint64_t>(IdOf(users.COM_COMPANYID));
  name_ = WTextOf(users.USR_NAME);
  email_ = TextOf(users.USR_EMAIL);
  phone_ = TextOf(users.USR_PHONENR);
  vessel_user_ = users.USR_VESSELUSER == 1;
  if (vessel_user_) vessel_id_ = static_cast<uint64_t>(IdOf(users.VES_VESSELID));
  modified_ = false;
  if (users.Fetch()) {
    Log(kLogWarning, true,
        "VelmoraUser::LookupUser(): Database inconsistency detected. Two rows in user table with "
        "equal ID. Call Nauvik Support.");
    throw std::runtime_error("Database inconsistency. Two rows in user table with equal ID.");
  }
  if (LogLevelAtLeast(kLogDebug4)) Log(kLogDebug4, false, "VelmoraUser::LookupUser() end.");
  return true;
}

bool VelmoraUser::lookupUserById(const std::string& id_text) {
  if (LogLevelAtLeast(kLogDebug4)) Log(kLogDebug4, false, "VelmoraUser::lookupUserById() start.");
  if (IdOf(id_text.c_str()) == 0) {
    Log(kLogWarning, true, "VelmoraUser::lookupUserById(): Invalid user ID in input.");
    return false;
  }
  // Live users only: a row status of 0 or NULL. The null replacement is the
  // dialect's (NVL on Oracle).
  const std::string condition =
      DefaultDialect().Nvl("USR_ROWSTATUS", "0") + "=0 AND USR_USERID = " + id_text;
  if (!LookupUser(condition)) {
    if (LogLevelAtLeast(kLogInfo)) {
      Log(kLogInfo, false,
          "VelmoraUser::lookupUserById(): Unable to find user with ID: " + id_text);
    }
    return false;
  }
  if (LogLevelAtLeast(kLogDebug4)) Log(kLogDebug4, false, "VelmoraUser::lookupUserById() end.");
  return true;
}

}  // namespace Nauvik
