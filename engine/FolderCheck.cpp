#include "engine/FolderCheck.h"

#include <algorithm>
#include <string>

#include "base/SqlText.h"
#include "engine/BackupEngine.h"

namespace bakwyn {
namespace {

// The system's error number in a backup device message: "Operating system
// error 5(Access is denied.)" (3201) or "failed: 112(There is not enough
// space on the disk.)" (3202); -1 when none is given.
long OsError(const std::string& message) {
  for (const char* marker : {"Operating system error ", "failed: "}) {
    const size_t at = message.find(marker);
    if (at == std::string::npos) continue;
    size_t i = at + std::char_traits<char>::length(marker);
    long number = 0;
    const size_t first = i;
    while (i < message.size() && message[i] >= '0' && message[i] <= '9' && number < 1000000)
      number = number * 10 + (message[i++] - '0');
    if (i > first) return number;
  }
  return -1;
}

// Only an answer that proves the folder can never be written stops a save:
// it could not be created (22048, with the system's error), or the server was
// denied the file there or found no such path (3201 with errors 3, 5, 123).
// A full disk (3202, error 112) or a scratch file held by another program
// (error 32) says nothing about the folder itself: the save goes on, with a
// warning, so that a user can still save fewer days to keep, to free space.
// Anything else (the login may not run the check, a server that does not
// offer it) leaves the folder unchecked.
FolderCheck::Outcome Classify(const std::exception& error) {
  const auto* server = dynamic_cast<const ServerError*>(&error);
  if (!server) return FolderCheck::Outcome::NotChecked;
  bool doubtful = false;
  for (const Diagnostic& d : server->records()) {
    if (d.nativeError == 22048) return FolderCheck::Outcome::Refused;
    if (d.nativeError == 3201 || d.nativeError == 3202) {
      const long os = OsError(d.message);
      if (d.nativeError == 3201 && (os == 3 || os == 5 || os == 123)) return FolderCheck::Outcome::Refused;
      doubtful = true;
    }
  }
  return doubtful ? FolderCheck::Outcome::Doubtful : FolderCheck::Outcome::NotChecked;
}

std::string Trimmed(const std::string& folder) {
  std::string out = folder;
  // "D:\备份\" -> "D:\备份"; a drive's root keeps its separator ("C:\").
  while (out.size() > 3 && (out.back() == '\\' || out.back() == '/')) out.pop_back();
  return out;
}

// DescribeFailure's line without its "原因: " label.
std::string Reason(const std::exception& error) {
  std::string text = DescribeFailure(error);
  const std::string label = "原因: ";
  if (text.compare(0, label.size(), label) == 0) text.erase(0, label.size());
  return text;
}

}  // namespace

std::string CreateFolderStatement(const std::string& folder) {
  return "EXEC master.dbo.xp_create_subdir " + SqlTextLiteral(Trimmed(folder));
}

std::string WriteProofStatement(const std::string& file) {
  return "BACKUP DATABASE [model] TO DISK = " + SqlTextLiteral(file) + " WITH COPY_ONLY, INIT";
}

std::string DeleteProofStatement(const std::string& file) {
  return "EXEC master.dbo.xp_delete_file 0, " + SqlTextLiteral(file);
}

FolderCheck CheckBackupFolder(ServerSession& session, const std::string& folder) {
  FolderCheck check;
  const std::string dir = Trimmed(folder);
  const std::string file = dir + (dir.back() == '\\' ? "" : "\\") + kFolderCheckFile;
  try {
    session.execute(CreateFolderStatement(dir));
    session.execute(WriteProofStatement(file));
  } catch (const std::exception& e) {
    check.outcome = Classify(e);
    check.reason = Reason(e);
    return check;
  }
  try {
    session.execute(DeleteProofStatement(file));
  } catch (const std::exception& e) {
    check.note = "检查文件未能删除: " + file + " (" + Reason(e) + ")";
  }
  return check;
}

}  // namespace bakwyn
