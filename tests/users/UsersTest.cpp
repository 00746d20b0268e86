#include <stdexcept>
#include <tuple>

#include "foundation/ResultCodes.h"
#include "tests/blob/BlobTestSupport.h"
#include "users/FolderRights.h"
#include "users/VelmoraUser.h"

namespace Nauvik {
namespace {

using testing::Sql;

// Ids of this binary; no other test uses 80100-80599. 80102 has USR_ROWSTATUS 1.
constexpr uint64_t kUser = 80101, kColleague = 80104, kStranger = 80105;
constexpr uint64_t kCompany = 80201, kOtherCompany = 80202;
constexpr uint64_t kFolderUserAndGroup = 80401, kFolderCompany = 80402, kFolderTwo = 80403;
constexpr uint64_t kFolderNone = 80404, kFolderNew = 80405;

// One transaction, rolled back at the end: the rows exist only inside it. 8-bit SQL text is
// ISO-8859-1.
TEST(Users, LookupsGrantsAndRights) {
  ASSERT_NE(testing::StoreDir(), "/nonexistent-test-store");
  ManualCommit txn;
  Sql("INSERT INTO NS_USER (USR_USERID, COM_COMPANYID, VES_VESSELID, USR_NAME, USR_EMAIL, "
      "USR_PHONENR, USR_ROWSTATUS, USR_VESSELUSER) VALUES "
      "(80101, 80201, 7, '\305se \330deg\345rd', 'a@b.invalid', '+47 555 01', NULL, 1), "
      "(80102, 80201, 7, 'Gone', NULL, NULL, 1, 1), "
      "(80104, 80201, 7, 'Colleague', NULL, NULL, 0, 1), "
      "(80105, 80202, 7, 'Stranger', NULL, NULL, 0, 1)");
  Sql("INSERT INTO NS_USERGROUPMEMBER (USG_USERGROUPID, USR_USERID) VALUES (80301, 80101)");
  Sql("INSERT INTO NS_IMAPFOLDER (IMF_IMAPFOLDERID, USR_USERID, IMF_FOLDERNAME) "
      "SELECT i, 80101, 'f' || i FROM generate_series(80401, 80405) i");
  VelmoraUser user;
  ASSERT_TRUE(user.lookupUserById(std::to_string(kUser)));
  EXPECT_EQ(std::tuple(user.GetUserId(), user.GetCompanyId(), user.GetName(), user.GetEmail(),
                       user.GetPhoneNumber(), user.IsVesselUser(), user.GetVesselId()),
            std::tuple(kUser, kCompany, std::u16string(u"Åse Ødegård"), std::string("a@b.invalid"),
                       std::string("+47 555 01"), true, uint64_t{7}));
  // Refused without a query, or not found (the deleted user too): the object keeps its values.
  for (const char* text : {"0", "", "abc", " x1", "80102", "80199"}) {
    EXPECT_FALSE(user.lookupUserById(text)) << text;
    EXPECT_EQ(user.GetUserId(), kUser) << text;
  }
  EXPECT_FALSE(user.LookupUser(""));
  EXPECT_FALSE(user.LookupUser("USR_USERID = 80199"));
  ASSERT_TRUE(user.LookupUser("USR_USERID = 80102"));  // a plain condition finds the deleted user
  EXPECT_EQ(user.GetName(), u"Gone");
  EXPECT_THROW((void)user.LookupUser("USR_USERID IN (80104, 80105)"), std::runtime_error);
  // The rights of each grant form and their union: {folder, "user, group, company", rights, values}
  const std::tuple<uint64_t, std::string, std::string, std::string> grants[] = {
      {kFolderUserAndGroup, "80101, NULL, NULL", "IFA_AR_READ", "1"},
      {kFolderUserAndGroup, "NULL, 80301, NULL", "IFA_AR_INSERT", "1"},
      // Company-wide LOOKUP; a row naming the company and a user (or a group) is that user's
      // (group's) grant, not the company's.
      {kFolderCompany, "NULL, NULL, 80201", "IFA_AR_LOOKUP", "1"},
      {kFolderCompany, "80105, NULL, 80201", "IFA_AR_ADMINISTER", "1"},
      {kFolderCompany, "NULL, 80302, 80201", "IFA_AR_POST", "1"},
      // Values other than 1 grant nothing.
      {kFolderTwo, "80101, NULL, NULL", "IFA_AR_LOOKUP, IFA_AR_READ, IFA_AR_KEEP, IFA_AR_WRITE",
       "1, 2, 0, -1"},
      {kFolderTwo, "NULL, 80301, NULL", "IFA_AR_ADMINISTER, IFA_AR_PERFORM_EXPUNGE", "1, 1"},
  };
  for (const auto& [folder, who, rights, values] : grants) {
    Sql("INSERT INTO NS_IMAPFOLDERACCESS (IFA_IMAPFOLDERACCESSID, IMF_IMAPFOLDERID, USR_USERID, "
        "USG_USERGROUPID, COM_COMPANYID, " +
        rights + ") VALUES (nextval('NS_IMAPFOLDERACCESS_SEQ'), " + std::to_string(folder) + ", " +
        who + ", " + values + ")");
  }
  const std::tuple<uint64_t, uint64_t, uint64_t, FolderRights> cases[] = {
      {kUser, kCompany, kFolderUserAndGroup, 18},
      {kColleague, kCompany, kFolderUserAndGroup, 0},
      {kUser, kCompany, kFolderCompany, kRightLookup},
      {kColleague, kCompany, kFolderCompany, kRightLookup},
      {kStranger, kOtherCompany, kFolderCompany, kRightAdminister},
      {kUser, kCompany, kFolderTwo, kRightLookup | kRightAdminister | kRightExpunge},
      {kUser, kCompany, kFolderNone, 0},
      {kUser, kOtherCompany, kFolderCompany, 0},
  };
  for (bool use_views : {true, false}) {
    for (const auto& [member, company, folder, rights] : cases) {
      EXPECT_EQ(GetFolderRights(use_views, member, company, folder), rights)
          << member << " on " << folder << (use_views ? " views" : " tables");
    }
  }
  // A new folder's grant gives its user every right. The database refuses a grant on a folder
  // that does not exist: the thread's connection is closed and the next access opens a new one.
  ASSERT_EQ(AddFolderRightToUser(true, kUser, kFolderNew), IMAP::kImapOk);
  EXPECT_EQ(GetFolderRights(true, kUser, kCompany, kFolderNew), kAllRights);
  EXPECT_EQ(GetFolderRights(true, kColleague, kCompany, kFolderNew), 0u);
  ASSERT_EQ(AddFolderRightToUser(false, kColleague, kFolderNew), IMAP::kImapOk);
  EXPECT_EQ(GetFolderRights(false, kColleague, kCompany, kFolderNew), kAllRights);
  const std::string own = "IMF_IMAPFOLDERID = 80405 AND USG_USERGROUPID IS NULL";
  EXPECT_EQ(testing::CountRows("NS_IMAPFOLDERACCESS", own + " AND COM_COMPANYID IS NULL"), 2);
  EXPECT_EQ(AddFolderRightToUser(true, 0, kFolderNone), IMAP::kImapInvalidInput);
  EXPECT_EQ(AddFolderRightToUser(false, kUser, 0), IMAP::kImapInvalidInput);
  testing::LogCapture log(kLogWarning);
  EXPECT_EQ(AddFolderRightToUser(true, kUser, 80499), IMAP::kImapOracleError);
  const testing::Lines lines = log.Take();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].first, kLogWarning);
  EXPECT_TRUE(lines[0].second.starts_with("AddFolderRightToUser(): Oracle error: "))
      << lines[0].second;
  EXPECT_EQ(testing::CountRows("NS_FILECREATOR", "FIC_FILECREATORID = 11"), 1);
}

}  // namespace
}  // namespace Nauvik
