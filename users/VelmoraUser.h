#pragma once

// The system's in-memory view of one row of the user table: enough of a user
// to name folders and decide on shared access. Filled from any SQL condition
// (LookupUser) or from a user id (lookupUserById). Plain data, one thread at
// a time.

#include <cstdint>
#include <string>

namespace Nauvik {

class VelmoraUser {
 public:
  VelmoraUser() = default;

  // Fills the object from the single row of NS_USER matching `condition`
  // (SQL text placed after WHERE). False for an empty condition or no row;
  // the object then keeps its earlier contents. Two matching rows: the object
  // holds the first, and std::runtime_error "Database inconsistency. Two rows
  // in user table with equal ID." is raised. Database failures raise
  // DBException.
  [[nodiscard]] bool LookupUser(const std::string& condition);

  // Looks up a live user (USR_ROWSTATUS 0 or NULL) by its decimal id text.
  // Text that does not start with a non-zero number is refused without a
  // query. The text goes into the condition as given, so callers pass ids
  // they formatted themselves. Raises as LookupUser does.
  [[nodiscard]] bool lookupUserById(const std::string& id_text);

  std::u16string GetName() const { return name_; }
  uint64_t GetUserId() const { return user_id_; }
  uint64_t GetCompanyId() const { return company_id_; }
  const std::string& GetEmail() const { return email_; }
  const std::string& GetPhoneNumber() const { return phone_; }
  bool IsVesselUser() const { return vessel_user_; }
  // Set only from a row with USR_VESSELUSER 1; otherwise the earlier value.
  uint64_t GetVesselId() const { return vessel_id_; }
  // True while the object holds values that were not read from the user
  // table; no operation here sets it, every successful lookup clears it.
  bool IsModified() const { return modified_; }

 private:
  uint64_t user_id_ = 0;      // USR_USERID
  uint64_t company_id_ = 0;   // COM_COMPANYID
  std::u16string name_;       // USR_NAME
  std::string email_;         // USR_EMAIL
  std::string phone_;         // USR_PHONENR
  bool vessel_user_ = false;  // USR_VESSELUSER == 1
  uint64_t vessel_id_ = 0;    // VES_VESSELID, vessel users only
  bool modified_ = false;
};

}  // namespace Nauvik
