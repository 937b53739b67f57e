// The folders the service runs its program from and writes its history into,
// judged as the system must judge them: under Wine, on real folders made
// unsafe the way Wine can show (mode 777, a symbolic link), and through the
// SDDL seam for the access lists that only real Windows keeps.
//
// Wine reports for every file the owner S-1-5-21-0-0-0-1000 (the user running
// it), SYSTEM and that owner full access, and Everyone what the Unix mode
// gives "other"; it keeps no access list a program sets. Unix commands (chmod,
// ln) are started through Wine, which runs a Unix program given by its Z: path.
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "app/SecureFolder.h"
#include "tests/support/ExeHarness.h"
#include "tests/support/WineUnix.h"

namespace bakwyn {
namespace {

using exe::Utf8;
using exe::WaitUntil;
using exe::Wide;

using testing::RunUnix;
using testing::UnixPath;
std::wstring Quoted(const std::wstring& path) { return testing::UnixQuoted(path); }

// What Everyone may do with `path`, as Wine reports its mode bits.
std::optional<DWORD> EveryoneMask(const std::wstring& path) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  PACL dacl = nullptr;
  if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                            &descriptor) != ERROR_SUCCESS)
    return std::nullopt;
  std::optional<DWORD> mask;
  for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    if (GetAce(dacl, i, reinterpret_cast<void**>(&ace)) && ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
        IsWellKnownSid(&ace->SidStart, WinWorldSid))
      mask = ace->Mask;
  }
  LocalFree(descriptor);
  return mask;
}

// Gives `path` a Unix mode and waits until Wine reports it.
void Chmod(const std::wstring& path, const std::wstring& mode, DWORD everyone) {
  ASSERT_TRUE(RunUnix(L"chmod " + mode + L" " + Quoted(path)));
  ASSERT_TRUE(WaitUntil([&] { return EveryoneMask(path) == everyone; }, 5000)) << Utf8(path);
}

// `link` becomes a symbolic link to `target`.
void Symlink(const std::wstring& target, const std::wstring& link) {
  ASSERT_TRUE(RunUnix(L"ln -s " + Quoted(target) + L" " + Quoted(link)));
}

constexpr DWORD kModeRead = 0x1200a9;    // Everyone under mode 755
constexpr DWORD kModeModify = 0x1301ff;  // Everyone under mode 777

// ---- The access lists the folders are made with -------------------------------------

// The rights an SDDL list gives `sid` on the folder itself, or on a file made
// in it (the entries it inherits).
enum class On { Folder, NewFile };
DWORD Rights(const std::string& sddl, WELL_KNOWN_SID_TYPE who, On on) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(Wide(sddl).c_str(), SDDL_REVISION_1, &descriptor,
                                                                   nullptr));
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
  DWORD rights = 0;
  for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace)) || ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE ||
        !IsWellKnownSid(&ace->SidStart, who))
      continue;
    const BYTE flags = ace->Header.AceFlags;
    if (on == On::Folder ? !(flags & INHERIT_ONLY_ACE) : (flags & OBJECT_INHERIT_ACE) != 0) rights |= ace->Mask;
  }
  LocalFree(descriptor);
  return rights;
}

SECURITY_DESCRIPTOR_CONTROL Control(const std::string& sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(Wide(sddl).c_str(), SDDL_REVISION_1, &descriptor,
                                                                   nullptr));
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  GetSecurityDescriptorControl(descriptor, &control, &revision);
  LocalFree(descriptor);
  return control;
}

constexpr DWORD kWrites = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER |
                          GENERIC_WRITE | GENERIC_ALL;

struct RightsRow {
  const char* name;
  WELL_KNOWN_SID_TYPE who;
  On on;
  DWORD needed;     // every one of these
  DWORD forbidden;  // none of these
};

TEST(HistoryFolderSddl, GivesUsersListingAddingFilesAndAppendingAndNothingThatChangesWhatIsThere) {
  const std::string sddl = app::HistoryFolderSddl();
  EXPECT_TRUE(Control(sddl) & SE_DACL_PROTECTED) << "nothing inherited from ProgramData adds to it";
  const RightsRow rows[] = {
      {"system_everything_here", WinLocalSystemSid, On::Folder, FILE_ALL_ACCESS, 0},
      {"system_everything_in_files", WinLocalSystemSid, On::NewFile, FILE_ALL_ACCESS, 0},
      {"administrators_everything_here", WinBuiltinAdministratorsSid, On::Folder, FILE_ALL_ACCESS, 0},
      {"administrators_everything_in_files", WinBuiltinAdministratorsSid, On::NewFile, FILE_ALL_ACCESS, 0},
      // The tray program creates the history when it is missing and follows it.
      {"users_list_and_add_files", WinBuiltinUsersSid, On::Folder,
       FILE_LIST_DIRECTORY | FILE_ADD_FILE | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
       // No folders of theirs (a junction), no deleting or renaming entries.
       FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL},
      // A line once written stays: append, never overwrite or delete.
      {"users_read_and_append_logs", WinBuiltinUsersSid, On::NewFile,
       FILE_READ_DATA | FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
       FILE_WRITE_DATA | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL},
      // The owner of a log a user created gets no more than other users.
      {"owner_of_a_log_no_more", WinCreatorOwnerRightsSid, On::NewFile, FILE_READ_DATA | FILE_APPEND_DATA,
       FILE_WRITE_DATA | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL},
      {"everyone_nothing_here", WinWorldSid, On::Folder, 0, ~0u},
      {"everyone_nothing_in_files", WinWorldSid, On::NewFile, 0, ~0u},
      {"authenticated_users_nothing", WinAuthenticatedUserSid, On::Folder, 0, ~0u},
      {"creator_owner_nothing", WinCreatorOwnerSid, On::NewFile, 0, ~0u},
  };
  for (const RightsRow& row : rows) {
    SCOPED_TRACE(row.name);
    const DWORD rights = Rights(sddl, row.who, row.on);
    EXPECT_EQ(rights & row.needed, row.needed) << std::hex << rights;
    EXPECT_EQ(rights & row.forbidden, 0u) << std::hex << rights;
  }
  // Owned by the administrators, whoever created it.
  EXPECT_EQ(sddl.rfind("O:BA", 0), 0u) << sddl;
}

TEST(ProgramFolderSddl, LetsOnlyTheSystemAndAdministratorsChangeItAndPassesItsOwnJudgement) {
  const std::string sddl = app::ProgramFolderSddl();
  EXPECT_TRUE(Control(sddl) & SE_DACL_PROTECTED);
  for (On on : {On::Folder, On::NewFile}) {
    EXPECT_EQ(Rights(sddl, WinBuiltinUsersSid, on) & kWrites, 0u);
    EXPECT_EQ(Rights(sddl, WinBuiltinUsersSid, on) & (FILE_READ_DATA | FILE_EXECUTE), FILE_READ_DATA | FILE_EXECUTE)
        << "users run the program";
    EXPECT_EQ(Rights(sddl, WinWorldSid, on), 0u);
  }
  EXPECT_EQ(app::WhyNotAdminOnlySddl(sddl, "S-1-5-21-1-2-3-1000"), std::nullopt);
  // The history's folder lets users add files: no place for a program.
  EXPECT_EQ(app::WhyNotAdminOnlySddl(app::HistoryFolderSddl(), "S-1-5-21-1-2-3-1000"),
            "BUILTIN\\Users (S-1-5-32-545) 可以修改 (权限 0x001200AB)");
}

// ---- The rule, on access lists as Windows keeps them ------------------------------------

struct JudgedRow {
  const char* name;
  std::string sddl;
  const char* caller;
  std::optional<std::string> why;  // nullopt: only the system and administrators can change it
};

const char kTrustedInstaller[] = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
const char kUser[] = "S-1-5-21-1004336348-1177238915-682003330-1001";
const char kWineUser[] = "S-1-5-21-0-0-0-1000";

TEST(WhyNotAdminOnly, JudgesOwnerAndEveryEntryThatCouldChangeTheFolder) {
  const std::string programFiles =
      std::string("O:") + kTrustedInstaller + "G:" + kTrustedInstaller + "D:PAI(A;;FA;;;" + kTrustedInstaller +
      ")(A;CIIO;GA;;;" + kTrustedInstaller +
      ")(A;;0x1301bf;;;SY)(A;OICIIO;GA;;;SY)(A;;0x1301bf;;;BA)(A;OICIIO;GA;;;BA)(A;;0x1200a9;;;BU)(A;OICIIO;GXGR;;;BU)"
      "(A;OICIIO;GA;;;CO)(A;;0x1200a9;;;AC)(A;OICIIO;GXGR;;;AC)";
  const std::string downloads = std::string("O:") + kUser + "D:(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;OICIID;FA;;;" +
                                kUser + ")";
  const std::vector<JudgedRow> rows = {
      {"program_files_as_windows_has_it", programFiles, kUser, std::nullopt},
      {"a_folder_made_there_by_an_administrator",
       "O:BAD:AI(A;ID;0x1301bf;;;SY)(A;OICIIOID;GA;;;SY)(A;ID;0x1301bf;;;BA)(A;OICIIOID;GA;;;BA)(A;ID;0x1200a9;;;BU)"
       "(A;OICIIOID;GXGR;;;BU)(A;OICIIOID;GA;;;CO)",
       kUser, std::nullopt},
      {"owned_by_the_system", "O:SYD:(A;OICI;FA;;;SY)", kUser, std::nullopt},
      // A user's Downloads: the owner may always change the list, so the
      // installing administrator's own folder is not trusted either.
      {"a_users_downloads", downloads, kUser,
       "所有者 " + std::string(kUser) + " 不是系统或管理员"},
      {"administrators_owner_users_modify", "O:BAD:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;BU)", kUser,
       "BUILTIN\\Users (S-1-5-32-545) 可以修改 (权限 0x001301BF)"},
      // The root of a system drive: authenticated users may add folders.
      {"users_may_add_folders", "O:BAD:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;;0x4;;;AU)", kUser,
       "NT AUTHORITY\\Authenticated Users (S-1-5-11) 可以修改 (权限 0x00000004)"},
      {"users_may_delete_entries", "O:BAD:(A;;FA;;;BA)(A;;0x40;;;BU)", kUser,
       "BUILTIN\\Users (S-1-5-32-545) 可以修改 (权限 0x00000040)"},
      {"users_may_rename_it", "O:BAD:(A;;FA;;;BA)(A;;0x10000;;;BU)", kUser,
       "BUILTIN\\Users (S-1-5-32-545) 可以修改 (权限 0x00010000)"},
      {"users_may_change_the_list", "O:BAD:(A;;FA;;;BA)(A;;WD;;;BU)", kUser,
       "BUILTIN\\Users (S-1-5-32-545) 可以修改 (权限 0x00040000)"},
      {"users_may_take_it", "O:BAD:(A;;FA;;;BA)(A;;WO;;;BU)", kUser,
       "BUILTIN\\Users (S-1-5-32-545) 可以修改 (权限 0x00080000)"},
      {"everyone_generic_write", "O:BAD:(A;;FA;;;BA)(A;;GW;;;WD)", kUser,
       "Everyone (S-1-1-0) 可以修改 (权限 0x40000000)"},
      // A program copied in later would carry it.
      {"users_write_files_made_later", "O:BAD:(A;OICI;FA;;;BA)(A;OIIO;FW;;;BU)", kUser,
       "BUILTIN\\Users (S-1-5-32-545) 可以修改 (权限 0x00120116)"},
      {"creator_owner_inherited_only", "O:BAD:(A;OICI;FA;;;BA)(A;OICIIO;GA;;;CO)", kUser, std::nullopt},
      {"creator_owner_on_the_folder_itself", "O:BAD:(A;OICI;FA;;;BA)(A;;FA;;;CO)", kUser,
       "CREATOR OWNER (S-1-3-0) 可以修改 (权限 0x001F01FF)"},
      {"a_named_user_with_full_control", "O:BAD:(A;;FA;;;BA)(A;;FA;;;" + std::string(kUser) + ")", kUser,
       std::string(kUser) + " 可以修改 (权限 0x001F01FF)"},
      {"denied_entries_take_away_only", "O:BAD:(D;;FA;;;WD)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)", kUser,
       std::nullopt},
      {"reading_is_harmless", "O:SYD:(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;WD)(A;;FR;;;BU)", kUser, std::nullopt},
      {"users_may_add_files", "O:SYD:(A;OICI;FA;;;SY)(A;;0x1200ab;;;BU)", kUser,
       "BUILTIN\\Users (S-1-5-32-545) 可以修改 (权限 0x001200AB)"},
      // (Wine reads "D:NO_ACCESS_CONTROL" as an empty list, not as none.)
      {"no_access_list_at_all", "O:BA", kUser, "没有访问控制列表,任何人都可以修改"},
      {"owned_by_trusted_installer", std::string("O:") + kTrustedInstaller + "D:(A;;FA;;;SY)", kUser,
       std::nullopt},
      // Wine's picture of mode 755 and of mode 777, for the user running it.
      {"wine_mode_755", "O:S-1-5-21-0-0-0-1000D:(A;OICI;FA;;;SY)(A;OICI;FA;;;S-1-5-21-0-0-0-1000)(A;OICI;0x1200a9;;;WD)",
       kWineUser, std::nullopt},
      {"wine_mode_777", "O:S-1-5-21-0-0-0-1000D:(A;OICI;FA;;;SY)(A;OICI;FA;;;S-1-5-21-0-0-0-1000)(A;OICI;0x1301ff;;;WD)",
       kWineUser, "Everyone (S-1-1-0) 可以修改 (权限 0x001301FF)"},
      // Wine's owner form stands for the caller only.
      {"wine_owner_of_someone_else",
       "O:S-1-5-21-0-0-0-1001D:(A;OICI;FA;;;SY)(A;OICI;FA;;;S-1-5-21-0-0-0-1001)(A;OICI;0x1200a9;;;WD)", kWineUser,
       "所有者 S-1-5-21-0-0-0-1001 不是系统或管理员"},
      {"the_callers_own_folder_on_windows",
       std::string("O:") + kUser + "D:(A;OICI;FA;;;SY)(A;OICI;FA;;;" + kUser + ")", kUser,
       "所有者 " + std::string(kUser) + " 不是系统或管理员"},
  };
  for (const JudgedRow& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(app::WhyNotAdminOnlySddl(row.sddl, row.caller), row.why) << row.sddl;
  }
}

// ---- Real folders under Wine ---------------------------------------------------------------

class SecureFolders : public ::testing::Test {
 protected:
  void SetUp() override {
    RemoveTree(root_);
    ASSERT_TRUE(CreateDirectoryW(root_.c_str(), nullptr));
    Chmod(root_, L"755", kModeRead);
  }
  void TearDown() override { RemoveTree(root_); }

  static void RemoveTree(const std::wstring& path) {
    // A symbolic link goes by itself, never what it points to.
    if (!UnixPath(path).empty()) RunUnix(L"rm -rf " + Quoted(path));
  }

  std::string at(const std::wstring& name) const { return Utf8(root_ + L"\\" + name); }

  const std::wstring root_ = L"C:\\SecureFolderTest";
};

TEST_F(SecureFolders, AFolderOnlyItsOwnerCanWriteIsTrustedOneEveryoneCanModifyOrALinkIsNot) {
  const std::wstring kept = root_ + L"\\kept", open = root_ + L"\\open", real = root_ + L"\\real";
  for (const std::wstring& folder : {kept, open, real}) ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  Chmod(kept, L"755", kModeRead);
  Chmod(open, L"777", kModeModify);
  Chmod(real, L"755", kModeRead);
  Symlink(real, root_ + L"\\linked");
  // A program file in a kept folder, one anyone may write, one reached through a link.
  ASSERT_TRUE(CopyFileW(remote::ExePath().c_str(), (kept + L"\\Bakwyn.exe").c_str(), FALSE));
  ASSERT_TRUE(CopyFileW(remote::ExePath().c_str(), (kept + L"\\open.exe").c_str(), FALSE));
  Chmod(kept + L"\\Bakwyn.exe", L"755", kModeRead);
  Chmod(kept + L"\\open.exe", L"666", kModeModify);
  ASSERT_TRUE(CreateDirectoryW((real + L"\\inner").c_str(), nullptr));

  EXPECT_EQ(app::WhyNotAdminOnly(at(L"kept")), std::nullopt);
  EXPECT_EQ(app::WhyNotAdminOnly(at(L"kept\\Bakwyn.exe")), std::nullopt);
  EXPECT_EQ(app::WhyNotAdminOnly(at(L"kept\\open.exe")),
            at(L"kept\\open.exe") + ": Everyone (S-1-1-0) 可以修改 (权限 0x001301FF)");
  EXPECT_EQ(app::WhyNotAdminOnly(at(L"open")), at(L"open") + ": Everyone (S-1-1-0) 可以修改 (权限 0x001301FF)");
  EXPECT_EQ(app::WhyNotAdminOnly(at(L"linked")), at(L"linked") + ": 是一个链接(重解析点)");
  // A link further up: the folder itself is none, but it is elsewhere.
  EXPECT_EQ(app::WhyNotAdminOnly(at(L"linked\\inner")), at(L"linked\\inner") + ": 实际指向 " + at(L"real\\inner"));
  // Another spelling of the same folder is the same folder.
  EXPECT_EQ(app::WhyNotAdminOnly("c:\\securefoldertest\\KEPT\\"), std::nullopt);
  const std::optional<std::string> missing = app::WhyNotAdminOnly(at(L"missing"));
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->rfind(at(L"missing") + ": ", 0), 0u) << *missing;
}

TEST_F(SecureFolders, TheHistoryFolderIsMadeWhenMissingAndRefusedWhenAnyoneCanModifyItOrItIsALink) {
  // Missing: made, and usable at once and again.
  app::HistoryFolderUse use = app::PrepareHistoryFolder(at(L"made"));
  EXPECT_TRUE(use.usable) << use.why;
  EXPECT_EQ(use.why, "");
  const DWORD attributes = GetFileAttributesW((root_ + L"\\made").c_str());
  ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);
  // Wine keeps no list, but sets the mode from the one given: others get nothing.
  EXPECT_EQ(EveryoneMask(root_ + L"\\made").value_or(0) & kWrites, 0u) << "others may not write it";
  // An older version's log in it keeps being usable after its list was set.
  HANDLE log = CreateFileW((root_ + L"\\made\\Bakwyn.log").c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                           CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(log, INVALID_HANDLE_VALUE);
  CloseHandle(log);
  use = app::PrepareHistoryFolder(at(L"made"));
  EXPECT_TRUE(use.usable) << use.why;
  EXPECT_EQ(use.why, "");

  const std::wstring open = root_ + L"\\open", real = root_ + L"\\real";
  ASSERT_TRUE(CreateDirectoryW(open.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW(real.c_str(), nullptr));
  Chmod(open, L"777", kModeModify);
  Chmod(real, L"755", kModeRead);
  Symlink(real, root_ + L"\\linked");
  ASSERT_TRUE(CreateDirectoryW((real + L"\\inner").c_str(), nullptr));
  struct Row {
    const char* name;
    std::string folder, why;
  };
  const Row rows[] = {
      {"everyone_may_modify", at(L"open"), at(L"open") + ": Everyone (S-1-1-0) 可以修改 (权限 0x001301FF)"},
      {"a_symbolic_link", at(L"linked"), at(L"linked") + ": 是一个链接(重解析点)"},
      {"under_a_link", at(L"linked\\inner"), at(L"linked\\inner") + ": 实际指向 " + at(L"real\\inner")},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    use = app::PrepareHistoryFolder(row.folder);
    EXPECT_FALSE(use.usable);
    EXPECT_EQ(use.why, row.why);
  }
  // A link to a folder that is not there yet: nothing is made through it.
  // (Windows reports the link itself; Wine, whose attributes follow the link,
  // finds nothing there.)
  Symlink(root_ + L"\\nowhere", root_ + L"\\dangling");
  use = app::PrepareHistoryFolder(at(L"dangling"));
  EXPECT_FALSE(use.usable);
  EXPECT_EQ(use.why.rfind(at(L"dangling") + ": ", 0), 0u) << use.why;
  EXPECT_EQ(GetFileAttributesW((root_ + L"\\nowhere").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(SecureFolders, TheProgramFolderIsMadeUnderProgramFilesAndKept) {
  wchar_t programFiles[MAX_PATH] = {};
  ASSERT_HRESULT_SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_CURRENT, programFiles));
  const std::wstring folder = std::wstring(programFiles) + L"\\Bakwyn";
  RemoveTree(folder);
  app::PreparedFolder prepared = app::PrepareProgramFolder();
  EXPECT_EQ(prepared.path, Utf8(folder)) << prepared.why;
  EXPECT_EQ(prepared.why, "");
  EXPECT_EQ(prepared.error, 0u);
  prepared = app::PrepareProgramFolder();
  EXPECT_EQ(prepared.path, Utf8(folder)) << "an existing folder that is kept is used";

  // One anyone may modify is not used, and not changed.
  Chmod(folder, L"777", kModeModify);
  prepared = app::PrepareProgramFolder();
  EXPECT_EQ(prepared.path, "");
  EXPECT_EQ(prepared.why, Utf8(folder) + ": Everyone (S-1-1-0) 可以修改 (权限 0x001301FF)");
  EXPECT_EQ(prepared.error, static_cast<unsigned long>(ERROR_INVALID_OWNER));
  EXPECT_EQ(EveryoneMask(folder), kModeModify);
  RemoveTree(folder);
}

}  // namespace
}  // namespace bakwyn
