#pragma once
// The backup folder as the server sees it. The server's service account, not
// the user, writes the backup file; a folder it cannot create or write makes
// every backup fail at night. So when the settings are saved, the server
// itself creates the folder (xp_create_subdir, as maintenance plans do) and
// proves that it can write there by writing a backup of the small "model"
// database into a scratch file, which it then deletes.
#include <string>

#include "server/ServerSession.h"

namespace bakwyn {

struct FolderCheck {
  enum class Outcome {
    Writable,    // created when missing, and written
    Refused,     // the server can never create or write it (access denied, no such path): `reason` says why
    Doubtful,    // the server could not write there now (a full disk, the scratch file held by another
                 // program): the settings may still be saved, with `reason` as a warning
    NotChecked,  // the check could not run (the login may not, the server does not offer it): nothing is known
  };
  Outcome outcome = Outcome::Writable;
  std::string reason;  // the server's message(s), as DescribeFailure words them
  std::string note;    // something worth a log line even when writable (the scratch file stayed)
};

// The name of the scratch file, inside the folder. Not ".bak": the cleanup and
// the "newest backup" rule never take it for a backup.
inline constexpr char kFolderCheckFile[] = "Bakwyn写入检查.tmp";

// `folder` as the user typed it, with or without the trailing "\".
FolderCheck CheckBackupFolder(ServerSession& session, const std::string& folder);

// The statements, for the tests and for the record.
std::string CreateFolderStatement(const std::string& folder);
std::string WriteProofStatement(const std::string& file);
std::string DeleteProofStatement(const std::string& file);

}  // namespace bakwyn
