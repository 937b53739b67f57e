#include "app/SecureFolder.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <cstdio>
#include <vector>

#include "base/SystemMessage.h"
#include "base/Text.h"
#include "base/WinHandles.h"

namespace bakwyn::app {
namespace {

using UniqueSecurityDescriptor = UniqueAny<LocalMemoryTraits<PSECURITY_DESCRIPTOR>>;
using UniqueSid = UniqueAny<LocalMemoryTraits<PSID>>;

// Rights that let a principal change what the system runs or writes: the
// contents (write, append; on a folder: add files, add folders), the entries
// of a folder (delete a child; delete or rename the object itself), and who
// may do so (the access list, the owner). Reading attributes, extended
// attributes and the access list is harmless.
constexpr ACCESS_MASK kChangingRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                                        WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

// The program's folder: the system and administrators full, users may read
// and run the program. Protected, so that nothing inherited from above adds to it.
constexpr wchar_t kProgramFolderSddl[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

// The shared history's folder. The system and administrators: full. Users,
// whose tray program writes its lines to the same history:
// - on the folder itself (no inheritance): list and read it, traverse, read
//   attributes, and add files (0x1200ab) - the program creates the history when
//   it is missing - but not add folders (on a folder, "append data" means that:
//   a folder of a user's could become a junction) and not delete entries;
// - on the files (inherit only): read and append (0x12008d), never overwrite:
//   a line once written stays.
// No DELETE for users on the log files: with it any user could erase the
// history, or put a link in the place of a log that the system then writes
// through. The price is that a user's program cannot rotate a full history;
// the history code tries a failed rotation again at most once a minute and
// keeps the line, and the service, or a start with administrator rights,
// rotates it. OWNER RIGHTS (OW) on the files takes from the owner of a file a
// user created the rights an owner has implicitly (changing the access list),
// so that such a file is no more the user's than any other log.
constexpr wchar_t kHistoryFolderSddl[] =
    L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;;0x1200ab;;;BU)(A;OIIO;0x12008d;;;BU)(A;OIIO;0x12008d;;;OW)";
// What a log file in that folder has once the folder's list applies to it:
// the folder's inheritable entries, marked inherited.
constexpr wchar_t kHistoryFileSddl[] = L"D:AI(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;ID;0x12008d;;;BU)(A;ID;0x12008d;;;OW)";

std::string Hex(DWORD value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(value));
  return text;
}

std::string SidText(PSID sid) {
  UniqueAny<LocalMemoryTraits<wchar_t*>> text;
  if (!sid || !ConvertSidToStringSidW(sid, text.put())) return "?";
  return FromWide(text.get());
}

// "DOMAIN\name (S-1-...)", or the SID alone when it names no account.
std::string Describe(PSID sid) {
  wchar_t name[256] = {}, domain[256] = {};
  DWORD nameSize = 256, domainSize = 256;
  SID_NAME_USE use;
  if (!LookupAccountSidW(nullptr, sid, name, &nameSize, domain, &domainSize, &use) || !name[0]) return SidText(sid);
  const std::wstring account = domain[0] ? std::wstring(domain) + L"\\" + name : std::wstring(name);
  return FromWide(account) + " (" + SidText(sid) + ")";
}

bool IsWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) { return sid && IsWellKnownSid(sid, type); }

bool IsTrustedInstaller(PSID sid) {
  UniqueSid trustedInstaller;
  return sid &&
         ConvertStringSidToSidW(L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",
                                trustedInstaller.put()) &&
         EqualSid(sid, trustedInstaller.get());
}

// The principals whose control over a folder is the system's own.
bool IsSystemOrAdministrators(PSID sid) {
  return IsWellKnown(sid, WinLocalSystemSid) || IsWellKnown(sid, WinBuiltinAdministratorsSid) ||
         IsTrustedInstaller(sid);
}

// Wine shows every file as owned by the user running the program: it turns the
// Unix owner into S-1-5-21-0-0-0-<rid>, a domain identifier of zeros that
// Windows never issues (a computer's or a domain's is random). Its access list
// is made up from the Unix mode bits: the owner and SYSTEM full, everyone else
// (WD) what "other" may do, which is modify (0x1301ff) for mode 777. So under
// Wine the owner says nothing about who else can write; the Everyone entry does.
// Such an owner is accepted only when it is the caller itself, and only
// together with an access list that lets nobody else change the folder. On
// Windows no SID has this form, and only SYSTEM, Administrators and
// TrustedInstaller are accepted as owners: a folder a normal user owns (its
// Downloads, its desktop) is never trusted, whatever its list says, because an
// owner may always change the list.
bool IsWineUnixOwner(PSID sid, PSID caller) {
  if (!sid || !caller || !IsValidSid(sid) || !EqualSid(sid, caller)) return false;
  const SID_IDENTIFIER_AUTHORITY* authority = GetSidIdentifierAuthority(sid);
  const SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  if (memcmp(authority, &nt, sizeof nt) != 0 || *GetSidSubAuthorityCount(sid) != 5) return false;
  return *GetSidSubAuthority(sid, 0) == SECURITY_NT_NON_UNIQUE && *GetSidSubAuthority(sid, 1) == 0 &&
         *GetSidSubAuthority(sid, 2) == 0 && *GetSidSubAuthority(sid, 3) == 0;
}

// What the owner and the access list of one object say.
struct Examined {
  std::optional<std::string> owner;   // why the owner is not trusted
  std::optional<std::string> writer;  // the first one besides the trusted who may change it
  bool wineOwner = false;             // the owner is Wine's stand-in for the caller
  bool usersAppend = false;           // Users may append to files made in it
};

Examined Examine(PSID owner, BOOL daclPresent, PACL dacl, PSID caller) {
  Examined found;
  found.wineOwner = IsWineUnixOwner(owner, caller);
  if (!owner)
    found.owner = "没有所有者";
  else if (!IsSystemOrAdministrators(owner) && !found.wineOwner)
    found.owner = "所有者 " + Describe(owner) + " 不是系统或管理员";
  if (!daclPresent || !dacl) {
    found.writer = "没有访问控制列表,任何人都可以修改";
    return found;
  }
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    ACE_HEADER* header = nullptr;
    if (!GetAce(dacl, i, reinterpret_cast<void**>(&header))) continue;
    // A deny entry only takes away; leaving it out can only make the
    // judgement stricter.
    if (header->AceType == ACCESS_DENIED_ACE_TYPE || header->AceType == ACCESS_DENIED_CALLBACK_ACE_TYPE) continue;
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_ALLOWED_CALLBACK_ACE_TYPE) {
      if (!found.writer) found.writer = "访问控制列表有无法判断的项 (类型 " + std::to_string(header->AceType) + ")";
      continue;
    }
    // The two allowed kinds share this layout.
    const auto* ace = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header);
    PSID sid = const_cast<DWORD*>(&ace->SidStart);
    if (IsWellKnown(sid, WinBuiltinUsersSid) && (header->AceFlags & OBJECT_INHERIT_ACE) &&
        (ace->Mask & (FILE_APPEND_DATA | GENERIC_WRITE | GENERIC_ALL)))
      found.usersAppend = true;
    if (!(ace->Mask & kChangingRights) || IsSystemOrAdministrators(sid)) continue;
    if (found.wineOwner && EqualSid(sid, owner)) continue;
    // CREATOR OWNER, inherited only: what a new entry's creator gets, and only
    // the trusted can create entries here. Other inherit-only entries count:
    // a program file copied in later would carry them.
    if (IsWellKnown(sid, WinCreatorOwnerSid) && (header->AceFlags & INHERIT_ONLY_ACE)) continue;
    if (!found.writer) found.writer = Describe(sid) + " 可以修改 (权限 " + Hex(ace->Mask) + ")";
  }
  return found;
}

std::optional<std::string> CallerSid(UniqueSid& out) {
  UniqueKernelHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) return SystemMessage(GetLastError());
  std::vector<BYTE> buffer(256);
  DWORD size = 0;
  while (!GetTokenInformation(token.get(), TokenUser, buffer.data(), static_cast<DWORD>(buffer.size()), &size)) {
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return SystemMessage(GetLastError());
    buffer.resize(size);
  }
  PSID sid = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
  const DWORD length = GetLengthSid(sid);
  out.reset(LocalAlloc(LMEM_FIXED, length));
  if (!out || !CopySid(length, out.get(), sid)) return SystemMessage(GetLastError());
  return std::nullopt;
}

// The full, long form of `path` without a trailing separator.
std::wstring Normalized(const std::wstring& path) {
  std::wstring full(MAX_PATH, L'\0');
  for (;;) {
    const DWORD got = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (got == 0) return path;
    if (got < full.size()) {
      full.resize(got);
      break;
    }
    full.resize(got);
  }
  std::wstring longForm(full.size() + MAX_PATH, L'\0');
  const DWORD got = GetLongPathNameW(full.c_str(), longForm.data(), static_cast<DWORD>(longForm.size()));
  if (got > 0 && got < longForm.size()) full.assign(longForm.data(), got);
  while (full.size() > 3 && (full.back() == L'\\' || full.back() == L'/')) full.pop_back();
  return full;
}

// The path the system reached through the handle, in the form of Normalized.
std::wstring FinalPath(HANDLE handle) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD got = GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()),
                                                FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (got == 0) return {};
    if (got < path.size()) {
      path.resize(got);
      break;
    }
    path.resize(got);
  }
  if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) return L"\\\\" + path.substr(8);
  if (path.rfind(L"\\\\?\\", 0) == 0) return path.substr(4);
  return path;
}

// An object opened as itself, never through a link, and found to be where it
// was asked for; or why not.
struct Opened {
  UniqueFile handle;
  std::optional<std::string> why;
};

Opened OpenItself(const std::string& path, DWORD access) {
  const std::wstring wide = ToWide(path);
  // Wine opens the target of a Unix symbolic link even when asked for the
  // link itself, but reports the link in the attributes of its path.
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return {{}, path + ": " + SystemMessage(GetLastError())};
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return {{}, path + ": 是一个链接(重解析点)"};
  Opened opened;
  opened.handle.reset(CreateFileW(wide.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                  nullptr));
  if (!opened.handle) return {{}, path + ": " + SystemMessage(GetLastError())};
  BY_HANDLE_FILE_INFORMATION information{};
  if (!GetFileInformationByHandle(opened.handle.get(), &information))
    return {{}, path + ": " + SystemMessage(GetLastError())};
  if (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return {{}, path + ": 是一个链接(重解析点)"};
  // A link further up the path (a junction in a parent folder) shows here:
  // what was opened is somewhere else.
  const std::wstring meant = Normalized(wide);
  const std::wstring reached = FinalPath(opened.handle.get());
  if (CompareStringOrdinal(meant.c_str(), -1, reached.c_str(), -1, TRUE) != CSTR_EQUAL)
    return {{}, path + ": 实际指向 " + (reached.empty() ? SystemMessage(GetLastError()) : FromWide(reached))};
  return opened;
}

struct Security {
  UniqueSecurityDescriptor descriptor;
  PSID owner = nullptr;
  PACL dacl = nullptr;
  BOOL daclPresent = FALSE;
};

std::optional<std::string> ReadSecurity(HANDLE handle, Security& security) {
  const DWORD error = GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                      &security.owner, nullptr, &security.dacl, nullptr, security.descriptor.put());
  if (error != ERROR_SUCCESS) return "无法读取安全信息: " + SystemMessage(error);
  security.daclPresent = security.dacl != nullptr;
  return std::nullopt;
}

// The program folder's rule: the owner and every writer trusted.
std::optional<std::string> AdminOnlyProblem(const Examined& examined) {
  if (examined.owner) return examined.owner;
  return examined.writer;
}

// The history folder's rule: its owner trusted, and under Wine, where the
// owner stands for nobody in particular, nobody else able to change it.
std::optional<std::string> HistoryProblem(const Examined& examined) {
  if (examined.owner) return examined.owner;
  if (examined.wineOwner && examined.writer) return examined.writer;
  return std::nullopt;
}

// 0, or the system's error; `why` says it in words.
DWORD CreateWithSddl(const std::string& folder, const wchar_t* sddl, std::string& why) {
  UniqueSecurityDescriptor descriptor;
  SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, FALSE};
  if (ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, descriptor.put(), nullptr)) {
    attributes.lpSecurityDescriptor = descriptor.get();
    // One that appeared meanwhile is judged like any that exists.
    if (CreateDirectoryW(ToWide(folder).c_str(), &attributes) || GetLastError() == ERROR_ALREADY_EXISTS) return 0;
  }
  const DWORD error = GetLastError();
  why = "无法创建 " + folder + ": " + SystemMessage(error);
  return error;
}

bool Missing(const std::string& path) {
  if (GetFileAttributesW(ToWide(path).c_str()) != INVALID_FILE_ATTRIBUTES) return false;
  const DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Sets `sddl`'s access list on the open object only. SetNamedSecurityInfo and
// SetSecurityInfo would also carry the inheritable entries into every entry of
// the folder, as the system, and through a hard link a user placed there that
// would change the access list of a file elsewhere; this call never does.
std::optional<std::string> SetAccessList(HANDLE handle, const wchar_t* sddl) {
  UniqueSecurityDescriptor descriptor;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, descriptor.put(), nullptr) ||
      !SetKernelObjectSecurity(handle, DACL_SECURITY_INFORMATION, descriptor.get()))
    return SystemMessage(GetLastError());
  return std::nullopt;
}

// The log files of an older version's folder get the list a new file would
// inherit, so that users' programs can append to the current history at once.
// Only plain files of the system's or the administrators', with one name: a
// file a user made, or a hard link, keeps what it has.
std::optional<std::string> ApplyToLogFiles(const std::string& folder, PSID caller) {
  WIN32_FIND_DATAW found;
  const UniqueFind find(
      FindFirstFileExW(ToWide(folder + "\\*.log").c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0));
  if (!find) return std::nullopt;
  std::optional<std::string> why;
  do {
    if (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) continue;
    const std::string path = folder + "\\" + FromWide(found.cFileName);
    Opened file = OpenItself(path, READ_CONTROL | WRITE_DAC | FILE_READ_ATTRIBUTES);
    if (file.why) continue;
    BY_HANDLE_FILE_INFORMATION information{};
    Security security;
    if (!GetFileInformationByHandle(file.handle.get(), &information) || information.nNumberOfLinks != 1 ||
        ReadSecurity(file.handle.get(), security) ||
        Examine(security.owner, security.daclPresent, security.dacl, caller).owner)
      continue;
    if (auto failed = SetAccessList(file.handle.get(), kHistoryFileSddl); failed && !why)
      why = path + ": 无法设置访问权限: " + *failed;
  } while (FindNextFileW(find.get(), &found));
  return why;
}

}  // namespace

std::string ProgramFolderSddl() { return FromWide(kProgramFolderSddl); }
std::string HistoryFolderSddl() { return FromWide(kHistoryFolderSddl); }

std::optional<std::string> WhyNotAdminOnly(const std::string& path) {
  UniqueSid caller;
  if (auto failed = CallerSid(caller)) return path + ": " + *failed;
  const Opened opened = OpenItself(path, READ_CONTROL | FILE_READ_ATTRIBUTES);
  if (opened.why) return opened.why;
  Security security;
  if (auto failed = ReadSecurity(opened.handle.get(), security)) return path + ": " + *failed;
  if (auto problem = AdminOnlyProblem(Examine(security.owner, security.daclPresent, security.dacl, caller.get())))
    return path + ": " + *problem;
  return std::nullopt;
}

std::optional<std::string> WhyNotAdminOnlySddl(const std::string& sddl, const std::string& callerSid) {
  UniqueSecurityDescriptor descriptor;
  UniqueSid caller;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(ToWide(sddl).c_str(), SDDL_REVISION_1, descriptor.put(),
                                                            nullptr) ||
      !ConvertStringSidToSidW(ToWide(callerSid).c_str(), caller.put()))
    return SystemMessage(GetLastError());
  PSID owner = nullptr;
  BOOL defaulted = FALSE, present = FALSE;
  PACL dacl = nullptr;
  GetSecurityDescriptorOwner(descriptor.get(), &owner, &defaulted);
  GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted);
  return AdminOnlyProblem(Examine(owner, present, dacl, caller.get()));
}

PreparedFolder PrepareProgramFolder() {
  wchar_t programFiles[MAX_PATH] = {};
  const HRESULT got = SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_CURRENT, programFiles);
  if (FAILED(got)) return {{}, "Program Files: " + SystemMessage(HRESULT_CODE(got)), HRESULT_CODE(got)};
  const std::string folder = FromWide(programFiles) + "\\Bakwyn";
  std::string why;
  if (Missing(folder)) {
    if (const DWORD error = CreateWithSddl(folder, kProgramFolderSddl, why)) return {{}, why, error};
  }
  // Also what was just made: a folder that does not end up admin-only (the
  // list did not take) is no better than one found.
  if (auto refused = WhyNotAdminOnly(folder)) return {{}, *refused, ERROR_INVALID_OWNER};
  return {folder, {}, 0};
}

HistoryFolderUse PrepareHistoryFolder(const std::string& folder) {
  UniqueSid caller;
  if (auto failed = CallerSid(caller)) return {false, folder + ": " + *failed};
  if (Missing(folder)) {
    std::string why;
    if (CreateWithSddl(folder, kHistoryFolderSddl, why)) return {false, why};
  }
  const Opened opened = OpenItself(folder, READ_CONTROL | FILE_READ_ATTRIBUTES);
  if (opened.why) return {false, *opened.why};
  Security security;
  if (auto failed = ReadSecurity(opened.handle.get(), security)) return {false, folder + ": " + *failed};
  const Examined examined = Examine(security.owner, security.daclPresent, security.dacl, caller.get());
  if (auto problem = HistoryProblem(examined)) return {false, folder + ": " + *problem};
  if (examined.usersAppend) return {true, {}};

  // Trusted, but made by an older version: users may not add their lines.
  // Changing the list needs WRITE_DAC, which only a privileged caller gets;
  // the handle is opened as itself again, and checked to be the same folder.
  const Opened writable = OpenItself(folder, READ_CONTROL | WRITE_DAC | FILE_READ_ATTRIBUTES);
  if (writable.why) return {true, "无法设置访问权限: " + *writable.why};
  BY_HANDLE_FILE_INFORMATION first{}, second{};
  if (!GetFileInformationByHandle(opened.handle.get(), &first) ||
      !GetFileInformationByHandle(writable.handle.get(), &second) ||
      first.dwVolumeSerialNumber != second.dwVolumeSerialNumber || first.nFileIndexHigh != second.nFileIndexHigh ||
      first.nFileIndexLow != second.nFileIndexLow)
    return {false, folder + ": 在检查时被替换"};
  if (auto failed = SetAccessList(writable.handle.get(), kHistoryFolderSddl))
    return {true, folder + ": 无法设置访问权限: " + *failed};
  if (auto failed = ApplyToLogFiles(folder, caller.get())) return {true, *failed};
  return {true, {}};
}

}  // namespace bakwyn::app
