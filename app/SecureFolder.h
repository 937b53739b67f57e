#pragma once
// Folders that the backup service, running as the local system account, runs
// programs from or writes into. Each is a security boundary: a folder that a
// normal user can change, or a link a user placed, would make the system run
// or write what that user chose. Reasons are texts the program shows.
#include <optional>
#include <string>

namespace bakwyn::app {

// Why the folder or file at `path` is not one that only the system and
// administrators can change; nullopt when it is. It is refused when it is a
// link (a reparse point), when it leads anywhere else than `path` itself
// (a link on the way), when its owner is not SYSTEM, Administrators or
// TrustedInstaller, or when its access list lets anyone else write to it,
// add or delete entries, or change its access list or owner. (Under Wine,
// where every file seems owned by the user running the program, see
// IsWineUnixOwner in the source.) The reason starts with `path`.
std::optional<std::string> WhyNotAdminOnly(const std::string& path);

// The same judgement of a security descriptor given as SDDL text (owner and
// access list), for a caller with the user SID `callerSid` ("S-1-5-..."):
// what WhyNotAdminOnly decides once it has read them. For tests: under Wine
// an access list is made up from the Unix mode bits, so the rule for the
// access lists real Windows keeps can only be shown through here.
std::optional<std::string> WhyNotAdminOnlySddl(const std::string& sddl, const std::string& callerSid);

// The folder that a program file is copied to before the system runs it:
// "<Program Files>\Bakwyn". Created, when missing, with ProgramFolderSddl();
// one that exists is used only when WhyNotAdminOnly finds nothing. The folder,
// or why it cannot be used.
struct PreparedFolder {
  std::string path;         // empty when it cannot be used
  std::string why;          // why not; empty when it can
  unsigned long error = 0;  // the system's error, or ERROR_INVALID_OWNER when the folder is refused
};
PreparedFolder PrepareProgramFolder();

// The shared history's folder: whether the service (and a program with
// administrator rights) may write in it, and why not. Creates it, when
// missing, with HistoryFolderSddl(). One that exists is refused when it is a
// link, leads elsewhere, or is owned by anyone but SYSTEM, Administrators or
// TrustedInstaller (under Wine: see IsWineUnixOwner in the source); a trusted one
// whose access list does not let users append to the history (an older version
// made it) is given HistoryFolderSddl()'s list, which needs a privileged
// caller. `why` also says, for a usable folder, when that list could not be set.
struct HistoryFolderUse {
  bool usable = false;
  std::string why;
};
HistoryFolderUse PrepareHistoryFolder(const std::string& folder);

// The access lists the two folders are created with, as SDDL.
std::string ProgramFolderSddl();
std::string HistoryFolderSddl();

}  // namespace bakwyn::app
