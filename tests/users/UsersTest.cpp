#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>

#include "db/ConnectionManager.h"
#include "db/DBTable.h"
#include "foundation/ResultCodes.h"
#include "tests/blob/BlobTestSupport.h"
#include "users/FolderRights.h"
#include "users/VelmoraUser.h"

namespace Nauvik {
namespace {

// Ids of this binary; no other test uses 80100-80599.
constexpr uint64_t kUser = 80101;         // vessel user, member of kGroup
constexpr uint64_t kDeletedUser = 80102;  // USR_ROWSTATUS 1
constexpr uint64_t kShoreUser = 80103;    // USR_VESSELUSER 0 with a vessel id
constexpr uint64_t kColleague = 80104;    // same company, no group
constexpr uint64_t kStranger = 80105;     // another company
constexpr uint64_t kCompany = 80201;
constexpr uint64_t kOtherCompany = 80202;
constexpr uint64_t kGroup = 80301;
constexpr uint64_t kFolderUserAndGroup = 80401;
constexpr uint64_t kFolderCompany = 80402;
constexpr uint64_t kFolderTwo = 80403;
constexpr uint64_t kFolderNone = 80404;
constexpr uint64_t kFolderNew = 80405;

using testing::LogCapture;
using testing::Sql;
using Lines = std::vector<LogCapture::Line>;

std::string Id(uint64_t id) { return std::to_string(id); }

// Every test runs in a transaction that is rolled back: the rows below exist
// only inside it.
class UsersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(std::getenv("MAILSTORAGE_REGISTRY"), nullptr) << "run through ctest";
    txn_.emplace();
    const auto user = [](uint64_t id, uint64_t company, int status, int vessel_user,
                         const std::string& name) {
      Sql("INSERT INTO NS_USER (USR_USERID, COM_COMPANYID, VES_VESSELID, USR_NAME, USR_EMAIL, "
          "USR_PHONENR, USR_ROWSTATUS, USR_VESSELUSER) VALUES (" +
          Id(id) + ", " + Id(company) + ", " + (vessel_user ? "7" : "9") + ", '" + name + "', 'u" +
          Id(id) + "@example.invalid', '+47 555 0" + Id(id % 100) + "', " +
          (status < 0 ? std::string("NULL") : std::to_string(status)) + ", " +
          std::to_string(vessel_user) + ")");
    };
    // 8-bit SQL text is ISO-8859-1.
    user(kUser, kCompany, -1, 1,
         "\xC5se \xD8"
         "deg\xE5rd");
    user(kDeletedUser, kCompany, 1, 1, "Gone");
    user(kShoreUser, kCompany, 0, 0, "Shore");
    user(kColleague, kCompany, 0, 1, "Colleague");
    user(kStranger, kOtherCompany, 0, 1, "Stranger");
    Sql("INSERT INTO NS_USERGROUPMEMBER (USG_USERGROUPID, USR_USERID) VALUES (" + Id(kGroup) +
        ", " + Id(kUser) + ")");
    for (uint64_t folder :
         {kFolderUserAndGroup, kFolderCompany, kFolderTwo, kFolderNone, kFolderNew}) {
      Sql("INSERT INTO NS_IMAPFOLDER (IMF_IMAPFOLDERID, USR_USERID, IMF_FOLDERNAME) VALUES (" +
          Id(folder) + ", " + Id(kUser) + ", 'f" + Id(folder) + "')");
    }
  }
  void TearDown() override { txn_.reset(); }

  // A grant row: user, group or company (0 for NULL), and the right columns
  // given as "COLUMN = value" pairs.
  void Grant(uint64_t folder, uint64_t user, uint64_t group, uint64_t company,
             const std::vector<std::pair<std::string, int>>& rights) {
    std::string columns =
        "IFA_IMAPFOLDERACCESSID, IMF_IMAPFOLDERID, USR_USERID, "
        "USG_USERGROUPID, COM_COMPANYID";
    const auto null_or = [](uint64_t id) { return id == 0 ? std::string("NULL") : Id(id); };
    std::string values = Id(++next_grant_) + ", " + Id(folder) + ", " + null_or(user) + ", " +
                         null_or(group) + ", " + null_or(company);
    for (const auto& [column, value] : rights) {
      columns += ", " + column;
      values += ", " + std::to_string(value);
    }
    Sql("INSERT INTO NS_IMAPFOLDERACCESS (" + columns + ") VALUES (" + values + ")");
  }

  std::optional<ManualCommit> txn_;
  uint64_t next_grant_ = 80500;
};

TEST_F(UsersTest, LookupById) {
  VelmoraUser user;
  ASSERT_TRUE(user.lookupUserById(Id(kUser)));
  EXPECT_EQ(user.GetUserId(), kUser);
  EXPECT_EQ(user.GetCompanyId(), kCompany);
  EXPECT_EQ(user.GetName(), u"Åse Ødegård");
  EXPECT_EQ(user.GetEmail(), "u80101@example.invalid");
  EXPECT_EQ(user.GetPhoneNumber(), "+47 555 01");
  EXPECT_TRUE(user.IsVesselUser());
  EXPECT_EQ(user.GetVesselId(), 7u);
  EXPECT_FALSE(user.IsModified());

  // A shore user keeps the vessel id of the earlier lookup.
  ASSERT_TRUE(user.lookupUserById(Id(kShoreUser)));
  EXPECT_EQ(user.GetUserId(), kShoreUser);
  EXPECT_FALSE(user.IsVesselUser());
  EXPECT_EQ(user.GetVesselId(), 7u);
}

TEST_F(UsersTest, RefusedAndMissingIdsLeaveTheObjectAlone) {
  VelmoraUser user;
  ASSERT_TRUE(user.lookupUserById(Id(kColleague)));
  // Refused without a query, or not found (the deleted user among them).
  for (const std::string& text : {std::string("0"), std::string(""), std::string("abc"),
                                  std::string(" x1"), Id(kDeletedUser), std::string("80199")}) {
    EXPECT_FALSE(user.lookupUserById(text)) << text;
    EXPECT_EQ(user.GetUserId(), kColleague) << text;
  }
  LogCapture log(kLogInfo);
  EXPECT_FALSE(user.lookupUserById("abc"));
  EXPECT_FALSE(user.lookupUserById("80199"));
  EXPECT_EQ(
      log.Take(),
      (Lines{{kLogWarning, "VelmoraUser::lookupUserById(): Invalid user ID in input."},
             {kLogInfo, "VelmoraUser::lookupUserById(): Unable to find user with ID: 80199"}}));
  EXPECT_FALSE(user.LookupUser(""));
  EXPECT_FALSE(user.LookupUser("USR_USERID = 80199"));
  EXPECT_EQ(user.GetName(), u"Colleague");
}

TEST_F(UsersTest, ADeletedUserIsFoundOnlyByAPlainCondition) {
  VelmoraUser user;
  EXPECT_FALSE(user.lookupUserById(Id(kDeletedUser)));
  ASSERT_TRUE(user.LookupUser("USR_USERID = " + Id(kDeletedUser)));
  EXPECT_EQ(user.GetUserId(), kDeletedUser);
  EXPECT_EQ(user.GetName(), u"Gone");
}

TEST_F(UsersTest, TwoMatchingRowsRaise) {
  VelmoraUser user;
  try {
    (void)user.LookupUser("USR_USERID IN (80103, 80104)");
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Database inconsistency. Two rows in user table with equal ID.");
  }
  // Filled from the first row before the second was seen.
  EXPECT_TRUE(user.GetUserId() == kShoreUser || user.GetUserId() == kColleague);
}

TEST_F(UsersTest, RightsFromEachGrantFormAndTheirUnion) {
  // User READ + group INSERT on one folder.
  Grant(kFolderUserAndGroup, kUser, 0, 0, {{"IFA_AR_READ", 1}});
  Grant(kFolderUserAndGroup, 0, kGroup, 0, {{"IFA_AR_INSERT", 1}});
  // Company-wide LOOKUP; a row naming the company and another user is that
  // user's grant, not the company's.
  Grant(kFolderCompany, 0, 0, kCompany, {{"IFA_AR_LOOKUP", 1}});
  Grant(kFolderCompany, kStranger, 0, kCompany, {{"IFA_AR_ADMINISTER", 1}});
  Grant(kFolderCompany, 0, kGroup + 1, kCompany, {{"IFA_AR_POST", 1}});
  // Values other than 1 grant nothing.
  Grant(kFolderTwo, kUser, 0, 0,
        {{"IFA_AR_LOOKUP", 1}, {"IFA_AR_READ", 2}, {"IFA_AR_KEEP", 0}, {"IFA_AR_WRITE", -1}});
  Grant(kFolderTwo, 0, kGroup, 0, {{"IFA_AR_ADMINISTER", 1}, {"IFA_AR_PERFORM_EXPUNGE", 1}});

  struct Case {
    uint64_t user;
    uint64_t company;
    uint64_t folder;
    FolderRights rights;
  } cases[] = {
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
    for (const Case& c : cases) {
      EXPECT_EQ(GetFolderRights(use_views, c.user, c.company, c.folder), c.rights)
          << c.user << " on " << c.folder << (use_views ? " views" : " tables");
    }
  }
}

TEST_F(UsersTest, ANewFolderGrantGivesEveryRight) {
  ASSERT_EQ(AddFolderRightToUser(true, kUser, kFolderNew), IMAP::kImapOk);
  EXPECT_EQ(GetFolderRights(true, kUser, kCompany, kFolderNew), kAllRights);
  EXPECT_EQ(GetFolderRights(true, kColleague, kCompany, kFolderNew), 0u);
  ASSERT_EQ(AddFolderRightToUser(false, kColleague, kFolderNew), IMAP::kImapOk);
  EXPECT_EQ(GetFolderRights(false, kColleague, kCompany, kFolderNew), kAllRights);

  DbSimpleAccess grants("NS_IMAPFOLDERACCESS");
  EXPECT_EQ(grants.Count("IMF_IMAPFOLDERID = " + Id(kFolderNew) +
                         " AND USG_USERGROUPID IS NULL AND COM_COMPANYID IS NULL"),
            2);
  EXPECT_EQ(AddFolderRightToUser(true, 0, kFolderNone), IMAP::kImapInvalidInput);
  EXPECT_EQ(AddFolderRightToUser(false, kUser, 0), IMAP::kImapInvalidInput);
  EXPECT_EQ(grants.Count("IMF_IMAPFOLDERID = " + Id(kFolderNone)), 0);
}

// The database refuses a grant on a folder that does not exist; the thread's
// connection is closed and the next access opens a new one.
TEST_F(UsersTest, ADatabaseErrorBecomesOracleError) {
  LogCapture log(kLogWarning);
  EXPECT_EQ(AddFolderRightToUser(true, kUser, 80499), IMAP::kImapOracleError);
  const Lines lines = log.Take();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].first, kLogWarning);
  EXPECT_TRUE(lines[0].second.starts_with("AddFolderRightToUser(): Oracle error: "))
      << lines[0].second;
  DbSimpleAccess creators("NS_FILECREATOR");
  EXPECT_EQ(creators.Count("FIC_FILECREATORID = 11"), 1);
}

}  // namespace
}  // namespace Nauvik
