#pragma once

// Access rights of users on IMAP folders. A folder's grants are rows of the
// folder access table, each given to one user, to a user group, or (both of
// those NULL) to a whole company. A user holds the union of the rights
// granted to the user, to every group the user belongs to, and to the user's
// company. A right column grants its right only when it holds exactly 1.
//
// Both functions use the calling thread's database connection.

#include <cstdint>
#include <string>

namespace Nauvik {

// One bit per right column, in column order (mirroring the IMAP access
// rights).
using FolderRights = uint32_t;
inline constexpr FolderRights kRightLookup = 1;           // IFA_AR_LOOKUP
inline constexpr FolderRights kRightRead = 2;             // IFA_AR_READ
inline constexpr FolderRights kRightKeep = 4;             // IFA_AR_KEEP (seen flag)
inline constexpr FolderRights kRightWrite = 8;            // IFA_AR_WRITE
inline constexpr FolderRights kRightInsert = 16;          // IFA_AR_INSERT
inline constexpr FolderRights kRightPost = 32;            // IFA_AR_POST
inline constexpr FolderRights kRightCreate = 64;          // IFA_AR_CREATE
inline constexpr FolderRights kRightDeleteMbox = 128;     // IFA_AR_DELETE_MBOX
inline constexpr FolderRights kRightDeleteMessage = 256;  // IFA_AR_DELETE_MESSAGE
inline constexpr FolderRights kRightExpunge = 512;        // IFA_AR_PERFORM_EXPUNGE
inline constexpr FolderRights kRightAdminister = 1024;    // IFA_AR_ADMINISTER
inline constexpr FolderRights kAllRights = 2047;

// The WHERE text that selects the grants of a user (directly, through a
// group, or company-wide) on a folder; with use_views false it names the
// NS_ tables.
std::string FolderRightsCondition(bool use_views, uint64_t user, uint64_t company, uint64_t folder);

// The rights of the user on the folder; 0 when nothing is granted.
// Database failures raise DBException.
[[nodiscard]] FolderRights GetFolderRights(bool use_views, uint64_t user, uint64_t company,
                                           uint64_t folder);

// Writes the grant that gives the user every right on the folder (done when
// a folder is created). Returns 0, 1023 (kImapInvalidInput) when either id is
// 0 (nothing written), 1001 (kImapOracleError) when the database failed; the
// thread's connections are then closed. Never raises.
[[nodiscard]] int32_t AddFolderRightToUser(bool use_views, uint64_t user, uint64_t folder);

}  // namespace Nauvik
