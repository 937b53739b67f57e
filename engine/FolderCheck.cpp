#include "engine/FolderCheck.h"

#include <algorithm>

#include "engine/BackupEngine.h"

namespace bakwyn {
namespace {

std::string Literal(const std::string& text) {
  std::string out = "N'";
  for (char c : text) {
    out += c;
    if (c == '\'') out += '\'';
  }
  return out + "'";
}

// Only a clear answer about the folder stops a save: the folder could not be
// created (22048, with the system's error) or the backup file could not be
// opened or written there (3201, 3202). Anything else (the login may not run
// the check, a server that does not offer it) leaves the folder unchecked.
bool FolderRefused(const std::exception& error) {
  const auto* server = dynamic_cast<const ServerError*>(&error);
  if (!server) return false;
  for (const Diagnostic& d : server->records()) {
    if (d.nativeError == 22048 || d.nativeError == 3201 || d.nativeError == 3202) return true;
  }
  return false;
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
  return "EXEC master.dbo.xp_create_subdir " + Literal(Trimmed(folder));
}

std::string WriteProofStatement(const std::string& file) {
  return "BACKUP DATABASE [model] TO DISK = " + Literal(file) + " WITH COPY_ONLY, INIT";
}

std::string DeleteProofStatement(const std::string& file) {
  return "EXEC master.dbo.xp_delete_file 0, " + Literal(file);
}

FolderCheck CheckBackupFolder(ServerSession& session, const std::string& folder) {
  FolderCheck check;
  const std::string dir = Trimmed(folder);
  const std::string file = dir + (dir.back() == '\\' ? "" : "\\") + kFolderCheckFile;
  try {
    session.execute(CreateFolderStatement(dir));
    session.execute(WriteProofStatement(file));
  } catch (const std::exception& e) {
    check.outcome = FolderRefused(e) ? FolderCheck::Outcome::Refused : FolderCheck::Outcome::NotChecked;
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
