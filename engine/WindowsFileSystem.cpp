#include "engine/WindowsFileSystem.h"

#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/SystemMessage.h"
#include "base/Text.h"
#include "base/WinHandles.h"

namespace bakwyn {
namespace {

std::wstring Wide(std::string_view utf8) { return ToWide(utf8); }

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// Where the first directory that may need creating begins: after "C:\" or after
// the "\\server\share\" of a network path.
size_t FirstCreatable(const std::wstring& path) {
  if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
    size_t separators = 0;
    for (size_t i = 2; i < path.size(); ++i) {
      if (IsSeparator(path[i]) && ++separators == 2) return i + 1;
    }
    return path.size();
  }
  if (path.size() >= 2 && path[1] == L':') return path.size() > 2 && IsSeparator(path[2]) ? 3 : 2;
  return IsSeparator(path[0]) ? 1 : 0;
}

// ReadFile and WriteFile take at most a DWORD at a time.
constexpr std::size_t kMaxPiece = 1u << 30;

class WindowsReader final : public FileReader {
 public:
  explicit WindowsReader(UniqueFile file) : file_(std::move(file)) {}
  FileResult read(char* buffer, std::size_t size, std::size_t& got) override {
    DWORD read = 0;
    got = 0;
    if (!ReadFile(file_.get(), buffer, static_cast<DWORD>(std::min(size, kMaxPiece)), &read, nullptr)) {
      return {false, SystemMessage(GetLastError())};
    }
    got = read;
    return {true, {}};
  }

 private:
  UniqueFile file_;
};

struct VirtualFreeDeleter {
  void operator()(char* memory) const { VirtualFree(memory, 0, MEM_RELEASE); }
};

// Reads a file opened with FILE_FLAG_NO_BUFFERING, past the system's cache.
// Such reads must start at a sector boundary, into memory aligned to a sector,
// and ask for whole sectors; the caller's buffer is none of these, so the
// reader fills one of its own, a whole number of sectors from VirtualAlloc
// (aligned to the allocation granularity, 64 KB), and hands it out piece by
// piece. The file's last sector comes back with the file's real bytes only.
class UncachedReader final : public FileReader {
 public:
  static constexpr std::size_t kSize = 1u << 20;
  explicit UncachedReader(UniqueFile file)
      : file_(std::move(file)),
        buffer_(static_cast<char*>(VirtualAlloc(nullptr, kSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE))) {}
  bool ready() const { return buffer_ != nullptr; }

  FileResult read(char* buffer, std::size_t size, std::size_t& got) override {
    got = 0;
    if (at_ == held_ && !ended_) {
      DWORD read = 0;
      if (!ReadFile(file_.get(), buffer_.get(), static_cast<DWORD>(kSize), &read, nullptr)) {
        return {false, SystemMessage(GetLastError())};
      }
      at_ = 0;
      held_ = read;
      // Fewer bytes than asked for: the end of the file. The file position now
      // lies inside a sector, where Windows refuses the next unbuffered read
      // (ERROR_INVALID_PARAMETER) rather than report the end again.
      ended_ = read < kSize;
    }
    got = std::min(size, held_ - at_);
    std::copy(buffer_.get() + at_, buffer_.get() + at_ + got, buffer);
    at_ += got;
    return {true, {}};
  }

 private:
  UniqueFile file_;
  std::unique_ptr<char, VirtualFreeDeleter> buffer_;
  std::size_t at_ = 0, held_ = 0;  // what of buffer_ was handed out, and what it holds
  bool ended_ = false;
};

// The sector size of the volume `path` lies on, as unbuffered reads must
// respect it; 0 when the system does not tell. (GetFileInformationByHandleEx
// with FileStorageInfo would ask the open file itself, but Wine does not
// implement it.)
DWORD SectorSize(const std::wstring& path) {
  std::wstring volume(path.size() + MAX_PATH, L'\0');
  if (!GetVolumePathNameW(path.c_str(), volume.data(), static_cast<DWORD>(volume.size()))) return 0;
  DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, clusters = 0;
  if (!GetDiskFreeSpaceW(volume.c_str(), &sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters)) return 0;
  return bytesPerSector;
}

// Whether UncachedReader's buffer suits sectors of `size` bytes: its length a
// whole number of them, its address (a multiple of the allocation
// granularity) aligned to one. Sector sizes are powers of two, 512 or 4096 on
// today's disks; an unknown size is taken for 4096.
bool SuitsUncachedReader(DWORD size) {
  if (size == 0) size = 4096;
  SYSTEM_INFO system;
  GetSystemInfo(&system);
  return (size & (size - 1)) == 0 && UncachedReader::kSize % size == 0 && system.dwAllocationGranularity % size == 0;
}

class WindowsWriter final : public FileWriter {
 public:
  explicit WindowsWriter(UniqueFile file) : file_(std::move(file)) {}
  FileResult write(const char* data, std::size_t size) override {
    while (size > 0) {
      DWORD written = 0;
      if (!WriteFile(file_.get(), data, static_cast<DWORD>(std::min(size, kMaxPiece)), &written, nullptr)) {
        return {false, SystemMessage(GetLastError())};
      }
      if (written == 0) return {false, SystemMessage(ERROR_WRITE_FAULT)};
      data += written;
      size -= written;
    }
    return {true, {}};
  }
  FileResult finish(const LocalDateTime& modified) override {
    SYSTEMTIME local{static_cast<WORD>(modified.year),   static_cast<WORD>(modified.month),
                     0,                                  static_cast<WORD>(modified.day),
                     static_cast<WORD>(modified.hour),   static_cast<WORD>(modified.minute),
                     static_cast<WORD>(modified.second), static_cast<WORD>(modified.millisecond)};
    SYSTEMTIME utc;
    FILETIME written;
    // The offset of that date, as readModifiedTime reads it back.
    if (!TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc) || !SystemTimeToFileTime(&utc, &written) ||
        !SetFileTime(file_.get(), nullptr, nullptr, &written) || !FlushFileBuffers(file_.get())) {
      return {false, SystemMessage(GetLastError())};
    }
    // CloseHandle reports what a network redirector could not write back.
    if (!CloseHandle(file_.release())) return {false, SystemMessage(GetLastError())};
    return {true, {}};
  }

 private:
  UniqueFile file_;
};

std::optional<LocalDateTime> LocalTime(const FILETIME& written) {
  SYSTEMTIME utc;
  SYSTEMTIME local;
  // The wall-clock time at the moment of writing, with the daylight-saving
  // rule of that date rather than today's.
  if (!FileTimeToSystemTime(&written, &utc) || !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) {
    return std::nullopt;
  }
  return LocalDateTime{local.wYear,   local.wMonth,  local.wDay,         local.wHour,
                       local.wMinute, local.wSecond, local.wMilliseconds};
}

// A path as the system gives it back for an open file, or as it is meant, in
// one form: without the "\\?\" prefix, with one kind of separator, without a
// trailing one.
std::wstring Comparable(std::wstring path) {
  if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) {
    path = L"\\\\" + path.substr(8);
  } else if (path.rfind(L"\\\\?\\", 0) == 0) {
    path = path.substr(4);
  }
  std::replace(path.begin(), path.end(), L'/', L'\\');
  while (path.size() > 3 && path.back() == L'\\') path.pop_back();
  return path;
}

// Names compared as the file system compares them: ignoring case, by the
// system's upper-case table (so "Ä" matches "ä", as on NTFS), not by locale.
bool SameName(std::wstring_view a, std::wstring_view b) {
  return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) ==
         CSTR_EQUAL;
}

// The full form of `path` (GetFullPathNameW: no "." or "..", a drive or a
// share at its start).
std::wstring FullPath(const std::wstring& path) {
  std::wstring full(MAX_PATH, L'\0');
  DWORD n = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  if (n >= full.size()) {
    full.resize(n);
    n = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  }
  if (n == 0 || n >= full.size()) return path;
  full.resize(n);
  return full;
}

// `full` with its short 8.3 names made long, as GetFinalPathNameByHandleW
// names files; `full` itself when it has none or does not exist yet.
std::wstring LongPath(const std::wstring& full) {
  std::wstring longer(full.size() + MAX_PATH, L'\0');
  const DWORD n = GetLongPathNameW(full.c_str(), longer.data(), static_cast<DWORD>(longer.size()));
  if (n == 0 || n >= longer.size()) return full;
  longer.resize(n);
  return longer;
}

constexpr char kThroughLink[] = "路径经过链接(重解析点),为安全起见不在其中删除或改名";
constexpr char kWriteThroughLink[] = "路径经过链接(重解析点),为安全起见不在其中写入";

// Why the open `file` is not the file or folder `meant` names reached without
// a link (a symbolic link, a junction, a mount point) on the way; empty when
// it is. The object must not be a link itself (it was opened with
// FILE_FLAG_OPEN_REPARSE_POINT, so a link on Windows is the object), and the
// name the system gives the open object must be the full path meant: a link
// in any folder above it makes them differ. On a network drive letter the
// system names the share instead of the letter, so there the part after the
// letter is compared.
std::string LinkOnTheWay(HANDLE file, const std::wstring& meant, const char* refused = kThroughLink) {
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof tag) &&
      (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
    return std::string(refused) + " (它本身是链接)";
  std::wstring final(MAX_PATH, L'\0');
  DWORD n = GetFinalPathNameByHandleW(file, final.data(), static_cast<DWORD>(final.size()),
                                      FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (n >= final.size()) {
    final.resize(n + 1);
    n = GetFinalPathNameByHandleW(file, final.data(), static_cast<DWORD>(final.size()),
                                  FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  }
  if (n == 0 || n >= final.size()) {
    return std::string(refused) + " (无法确定实际位置: " + SystemMessage(GetLastError()) + ")";
  }
  final.resize(n);
  const std::wstring got = Comparable(final);
  // The path meant as it is, and only when that differs with its short names
  // made long: GetLongPathNameW reads every folder on the way, which is most
  // of a deletion's time under Wine in a folder of many files.
  const std::wstring full = FullPath(meant);
  std::wstring want = Comparable(full);
  if (SameName(got, want)) return {};
  if (want = Comparable(LongPath(full)); SameName(got, want)) return {};
  if (want.size() > 2 && want[1] == L':') {
    const wchar_t root[] = {want[0], L':', L'\\', L'\0'};
    const std::wstring_view tail = std::wstring_view(want).substr(2);
    if (GetDriveTypeW(root) == DRIVE_REMOTE && got.size() > tail.size() &&
        SameName(std::wstring_view(got).substr(got.size() - tail.size()), tail))
      return {};
  }
  return std::string(refused) + " (实际位置: " + FromWide(got) + ")";
}

// Opens the file `path` itself for `access`, never what a link points to, and
// only when no link leads to it: files this program deletes and renames may
// lie in folders that others can write to (a second folder on a share), and
// as the system account a link there would send the deletion anywhere. Shared
// with every other opener, as DeleteFileW and MoveFileExW would be; a file in
// use without sharing deletion fails with the system's reason.
UniqueFile OpenDirectly(const std::wstring& path, DWORD access, DWORD flags, std::string& why,
                        const char* refused = kThroughLink) {
  UniqueFile file(CreateFileW(path.c_str(), access | FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT | flags, nullptr));
  if (!file) {
    why = SystemMessage(GetLastError());
    return {};
  }
  why = LinkOnTheWay(file.get(), path, refused);
  if (!why.empty()) return {};
  return file;
}

constexpr char kMoreNames[] = "文件还有其他名称(硬链接),为安全起见不写入";

// Whether the open file has one name only. A hard link made under a name this
// program writes (while the file was missing) would send the writes to
// whatever file it names, wherever that lies; a link is refused like a
// symbolic one. Empty when the file has one name.
std::string MoreNames(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION information{};
  if (!GetFileInformationByHandle(file, &information)) return SystemMessage(GetLastError());
  return information.nNumberOfLinks > 1 ? std::string(kMoreNames) : std::string();
}

// The native calls that create a file or folder by a name inside a folder
// already open (the Win32 API names everything by full path, looked up again,
// links and all, at every call), and that rename into one.
struct Native {
  using Create = LONG(NTAPI*)(HANDLE*, ACCESS_MASK, OBJECT_ATTRIBUTES*, IO_STATUS_BLOCK*, LARGE_INTEGER*, ULONG,
                              ULONG, ULONG, ULONG, void*, ULONG);
  using SetInformation = LONG(NTAPI*)(HANDLE, IO_STATUS_BLOCK*, void*, ULONG, int);
  using ToWin32Error = ULONG(NTAPI*)(LONG);
  Create create = nullptr;
  SetInformation setInformation = nullptr;
  ToWin32Error toWin32 = nullptr;
  explicit operator bool() const { return create && setInformation && toWin32; }
};

const Native& Nt() {
  static const Native native = [] {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");  // in every process, never unloaded
    const auto find = [ntdll](const char* name) { return reinterpret_cast<void*>(GetProcAddress(ntdll, name)); };
    Native n;
    n.create = reinterpret_cast<Native::Create>(find("NtCreateFile"));
    n.setInformation = reinterpret_cast<Native::SetInformation>(find("NtSetInformationFile"));
    n.toWin32 = reinterpret_cast<Native::ToWin32Error>(find("RtlNtStatusToDosError"));
    return n;
  }();
  return native;
}

// NtCreateFile's dispositions and options, under names of their own (the
// headers of the two compilers do not agree on which they define).
constexpr ULONG kOpenOrCreate = 3;  // FILE_OPEN_IF
constexpr ULONG kCreateNew = 2;     // FILE_CREATE: fails when anything, a link too, has the name
constexpr ULONG kDirectoryFile = 0x1, kSequentialOnly = 0x4, kSynchronousIo = 0x20, kNonDirectoryFile = 0x40,
                kOpenReparsePoint = 0x200000;
constexpr ULONG kCaseInsensitive = 0x40;  // OBJ_CASE_INSENSITIVE

// Opens or creates `name` (one name, no separator) in the open `folder`.
// Errors in the system's words.
UniqueFile CreateIn(HANDLE folder, std::wstring name, ACCESS_MASK access, ULONG share, ULONG disposition,
                    ULONG options, std::string& why) {
  const Native& nt = Nt();
  if (!nt) {
    why = SystemMessage(ERROR_PROC_NOT_FOUND);
    return {};
  }
  UNICODE_STRING object{};
  object.Length = object.MaximumLength = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  object.Buffer = name.data();
  OBJECT_ATTRIBUTES attributes{};
  attributes.Length = sizeof attributes;
  attributes.RootDirectory = folder;
  attributes.ObjectName = &object;
  attributes.Attributes = kCaseInsensitive;
  IO_STATUS_BLOCK status{};
  HANDLE handle = INVALID_HANDLE_VALUE;
  const LONG result = nt.create(&handle, access | SYNCHRONIZE | FILE_READ_ATTRIBUTES, &attributes, &status, nullptr,
                                FILE_ATTRIBUTE_NORMAL, share, disposition, options | kSynchronousIo, nullptr, 0);
  if (result < 0) {
    why = SystemMessage(nt.toWin32(result));
    return {};
  }
  return UniqueFile(handle);
}

// The folder of the full path `path`, opened and checked to be reached
// without a link, and the name in it; a path that ends in a separator has none.
struct Placed {
  UniqueFile folder;
  std::wstring name;
};
Placed OpenFolderOf(const std::wstring& path, std::string& why) {
  const std::wstring full = FullPath(path);
  const size_t slash = full.find_last_of(L"\\/");
  if (slash == std::wstring::npos || slash + 1 == full.size()) {
    why = SystemMessage(ERROR_INVALID_NAME);
    return {};
  }
  UniqueFile folder = OpenDirectly(full.substr(0, slash + 1), FILE_TRAVERSE, FILE_FLAG_BACKUP_SEMANTICS, why,
                                   kWriteThroughLink);
  if (!folder) return {};
  return {std::move(folder), full.substr(slash + 1)};
}

// Renames the open `file` to `name` in the open folder `folder`. A full path
// would be looked up again, links and all, after the folder was checked; the
// native call takes the checked folder's handle, so the name lands in the
// very folder that was checked. (SetFileInformationByHandle passes the folder
// on as well, but Wine's turns every name into a full path first, so a bare
// name would land in the current directory.)
FileResult RenameInto(HANDLE file, HANDLE folder, const std::wstring& name) {
  const Native& nt = Nt();
  if (!nt) return {false, SystemMessage(ERROR_PROC_NOT_FOUND)};
  // FILE_RENAME_INFO has the layout of the native FILE_RENAME_INFORMATION.
  std::vector<unsigned char> bytes(sizeof(FILE_RENAME_INFO) + name.size() * sizeof(wchar_t));
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(bytes.data());
  rename->ReplaceIfExists = TRUE;
  rename->RootDirectory = folder;
  rename->FileNameLength = static_cast<DWORD>(name.size() * sizeof(wchar_t));
  std::copy(name.begin(), name.end(), rename->FileName);
  constexpr int kFileRenameInformation = 10;
  IO_STATUS_BLOCK status{};
  const LONG result =
      nt.setInformation(file, &status, bytes.data(), static_cast<ULONG>(bytes.size()), kFileRenameInformation);
  if (result < 0) return {false, SystemMessage(nt.toWin32(result))};
  return {true, {}};
}

// The "\\SERVER\SHARE\" that the full path `full` of a share starts with,
// in capitals (the system tells servers and shares apart without the letter
// case), also from "\\?\UNC\server\share\...", as the system names an open
// file of a share; empty for any other path.
std::wstring ShareOf(const std::wstring& full) {
  const std::wstring path = Comparable(full);
  if (path.size() < 3 || path[0] != L'\\' || path[1] != L'\\' || path[2] == L'?' || path[2] == L'.') return {};
  const auto end = [&path](size_t from) { return std::min(path.find(L'\\', from), path.size()); };
  const size_t server = end(2);
  const size_t share = server < path.size() ? end(server + 1) : server;
  if (server == 2 || share <= server + 1) return {};
  std::wstring named = path.substr(0, share) + L"\\";
  CharUpperBuffW(named.data(), static_cast<DWORD>(named.size()));
  return named;
}

// The name the system gives the open `file` in the form `flags` asks for;
// empty when it gives none.
std::wstring FinalName(HANDLE file, DWORD flags) {
  std::wstring name(MAX_PATH, L'\0');
  DWORD n = GetFinalPathNameByHandleW(file, name.data(), static_cast<DWORD>(name.size()), flags);
  if (n >= name.size()) {
    name.resize(n + 1);
    n = GetFinalPathNameByHandleW(file, name.data(), static_cast<DWORD>(name.size()), flags);
  }
  if (n == 0 || n >= name.size()) return {};
  name.resize(n);
  return name;
}

}  // namespace

bool WindowsFileSystem::createDirectories(const std::string& dir) { return static_cast<bool>(makeDirectories(dir)); }

FileResult WindowsFileSystem::makeDirectories(const std::string& dir) {
  if (dir.empty()) return {false, SystemMessage(ERROR_PATH_NOT_FOUND)};
  std::wstring path = FullPath(Wide(dir));
  while (path.size() > 3 && IsSeparator(path.back())) path.pop_back();
  // The drive or the share is opened as it is named: nothing above it can be
  // a link. Every level below is opened, or created, by its name inside the
  // level above, already open and checked, so that no link placed on the way
  // (a junction where this computer's folder should be) can lead the folders
  // made, and what is written into them, anywhere else.
  const size_t root = FirstCreatable(path);
  UniqueFile folder(CreateFileW(path.substr(0, root).c_str(), FILE_TRAVERSE | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!folder) return {false, SystemMessage(GetLastError())};
  for (size_t begin = root; begin < path.size();) {
    size_t end = begin;
    while (end < path.size() && !IsSeparator(path[end])) ++end;
    if (end > begin) {
      std::string why;
      UniqueFile level = CreateIn(folder.get(), path.substr(begin, end - begin), FILE_TRAVERSE | FILE_LIST_DIRECTORY,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, kOpenOrCreate,
                                  kDirectoryFile | kOpenReparsePoint, why);
      if (!level) return {false, why};
      why = LinkOnTheWay(level.get(), path.substr(0, end), kWriteThroughLink);
      if (!why.empty()) return {false, why};
      folder = std::move(level);
    }
    begin = end + 1;
  }
  return {true, {}};
}

std::vector<std::string> WindowsFileSystem::listDirectory(const std::string& dir) {
  std::vector<std::string> names;
  std::wstring pattern = Wide(dir);
  if (!pattern.empty() && !IsSeparator(pattern.back())) pattern += L'\\';
  pattern += L'*';
  WIN32_FIND_DATAW found;
  // Every entry, whatever its attributes; the caller picks the names it wants,
  // so a pattern never matches through a short 8.3 name.
  // Owned, so that the search is closed even when a name cannot be converted.
  const UniqueFind find(FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0));
  if (!find) return names;
  do {
    const std::wstring_view name(found.cFileName);
    if (name != L"." && name != L"..") names.push_back(FromWide(name));
  } while (FindNextFileW(find.get(), &found));
  return names;
}

std::optional<LocalDateTime> WindowsFileSystem::readModifiedTime(const std::string& path) {
  // Sharing only reading: a file that another program is writing, or holds
  // without sharing, cannot be opened and is left alone. A directory cannot be
  // opened without FILE_FLAG_BACKUP_SEMANTICS.
  FILETIME written;
  {
    const UniqueFile file(CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file || !GetFileTime(file.get(), nullptr, nullptr, &written)) return std::nullopt;
  }
  return LocalTime(written);
}

std::optional<FileSystem::Stamp> WindowsFileSystem::stamp(const std::string& path) {
  // From the directory, without opening the file: the server may be writing it.
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(Wide(path).c_str(), GetFileExInfoStandard, &data) ||
      (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
    return std::nullopt;
  const std::optional<LocalDateTime> modified = LocalTime(data.ftLastWriteTime);
  if (!modified) return std::nullopt;
  return Stamp{(static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow, *modified};
}

FileResult WindowsFileSystem::removeFile(const std::string& path) {
  // Without FILE_FLAG_BACKUP_SEMANTICS a directory cannot be opened: never deleted.
  std::string why;
  const UniqueFile file = OpenDirectly(Wide(path), DELETE, 0, why);
  if (!file) return {false, why};
  // Deleted through the handle that was checked, so that nothing can be put
  // in its place between the check and the deletion.
  FILE_DISPOSITION_INFO disposition{TRUE};
  if (!SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition, sizeof disposition))
    return {false, SystemMessage(GetLastError())};
  return {true, {}};
}

FileResult WindowsFileSystem::truncateFile(const std::string& path, std::uint64_t size) {
  std::string why;
  const UniqueFile file = OpenDirectly(Wide(path), GENERIC_WRITE, 0, why);
  if (!file) return {false, why};
  if (why = MoreNames(file.get()); !why.empty()) return {false, why};
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(size);
  if (!SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN) || !SetEndOfFile(file.get()) ||
      !FlushFileBuffers(file.get()))
    return {false, SystemMessage(GetLastError())};
  return {true, {}};
}

std::optional<std::uint64_t> WindowsFileSystem::fileSize(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(Wide(path).c_str(), GetFileExInfoStandard, &data) ||
      (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
    return std::nullopt;
  return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::optional<std::uint64_t> WindowsFileSystem::availableBytes(const std::string& dir) {
  std::wstring folder = Wide(dir);
  if (folder.empty()) return std::nullopt;
  // A share's root is named with a separator at its end; any folder may be.
  if (!IsSeparator(folder.back())) folder += L'\\';
  // Only a folder that is there: the volume of a path that does not exist
  // yet says nothing about where its files would go.
  const DWORD attributes = GetFileAttributesW(folder.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return std::nullopt;
  // The first figure, not the volume's free total: it is what this user's
  // disk quota still allows.
  ULARGE_INTEGER forCaller{}, total{}, free{};
  if (!GetDiskFreeSpaceExW(folder.c_str(), &forCaller, &total, &free)) return std::nullopt;
  return forCaller.QuadPart;
}

std::optional<std::string> WindowsFileSystem::volumeOf(const std::string& path) {
  if (path.empty()) return std::nullopt;
  std::wstring at = FullPath(Wide(path));
  // A share is told by its name alone: it is never a local volume, and it
  // need not be reachable at this moment to be another place than the disk.
  if (std::wstring share = ShareOf(at); !share.empty()) return FromWide(share);
  // The path itself, or the nearest folder above it that can be opened: a
  // backup folder not made yet lands where its parent is.
  UniqueFile held;
  for (;;) {
    held.reset(CreateFileW(at.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (held) break;
    while (at.size() > FirstCreatable(at) && IsSeparator(at.back())) at.pop_back();
    const size_t slash = at.find_last_of(L"\\/");
    if (at.size() <= FirstCreatable(at) || slash == std::wstring::npos) return std::nullopt;
    at.resize(slash + 1);
  }
  // The volume the open folder is really on, named by the mount manager,
  // however it was reached: a second drive letter (subst) or a folder where
  // another volume is mounted leads to that volume's name. Asked of the open
  // folder rather than of the path's letter (GetVolumePathNameW, then
  // GetVolumeNameForVolumeMountPointW): Wine names a volume after each drive
  // letter, so two letters of one folder came out as two volumes that way,
  // while the open folder is named after the same one through either letter.
  if (const std::wstring guid = FinalName(held.get(), VOLUME_NAME_GUID); guid.rfind(L"\\\\?\\Volume{", 0) == 0) {
    if (const size_t end = guid.find(L'}'); end != std::wstring::npos) {
      std::wstring volume = guid.substr(0, end + 1) + L"\\";
      CharUpperBuffW(volume.data(), static_cast<DWORD>(volume.size()));
      return FromWide(volume);
    }
  }
  // A drive letter of a share has no volume name: the system names the share.
  if (std::wstring share = ShareOf(FinalName(held.get(), VOLUME_NAME_DOS)); !share.empty()) return FromWide(share);
  // A volume the mount manager does not name: its serial number, read from
  // the volume that holds the open folder. Zero is no number: Wine gives it
  // for a drive it does not know.
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(held.get(), &info) || info.dwVolumeSerialNumber == 0) return std::nullopt;
  char serial[16];
  std::snprintf(serial, sizeof serial, "%08lX", static_cast<unsigned long>(info.dwVolumeSerialNumber));
  return std::string("serial ") + serial;
}

FileResult WindowsFileSystem::appendDurably(const std::string& path, const std::string& bytes) {
  // Appending only, shared with readers (a user may have the file open in an
  // editor) and with other writers of the same history. The file is reached
  // without a link and has no other name; a missing one is created new in its
  // checked folder (another writer creating it at the same moment is found by
  // opening it after all).
  const std::wstring wide = Wide(path);
  constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  std::string why;
  UniqueFile file = OpenDirectly(wide, FILE_APPEND_DATA, 0, why, kWriteThroughLink);
  if (!file && GetFileAttributesW(wide.c_str()) == INVALID_FILE_ATTRIBUTES && GetLastError() == ERROR_FILE_NOT_FOUND) {
    Placed placed = OpenFolderOf(wide, why);
    if (!placed.folder) return {false, why};
    file = CreateIn(placed.folder.get(), placed.name, FILE_APPEND_DATA, kShare, kCreateNew,
                    kNonDirectoryFile | kOpenReparsePoint, why);
    if (!file) file = OpenDirectly(wide, FILE_APPEND_DATA, 0, why, kWriteThroughLink);
  }
  if (!file) return {false, why};
  if (why = MoreNames(file.get()); !why.empty()) return {false, why};
  DWORD written = 0;
  if (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
      written != bytes.size() || !FlushFileBuffers(file.get()))
    return {false, SystemMessage(GetLastError())};
  return {true, {}};
}

std::optional<std::string> WindowsFileSystem::readShared(const std::string& path, std::uint64_t offset,
                                                         std::size_t maxBytes) {
  // Shared with every writer and with the rotation's renames.
  const UniqueFile file(CreateFileW(Wide(path).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return std::nullopt;
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(offset);
  if (!SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN)) return std::nullopt;
  std::string bytes(maxBytes, '\0');
  size_t got = 0;
  while (got < maxBytes) {
    DWORD n = 0;
    const DWORD want = static_cast<DWORD>(std::min<size_t>(maxBytes - got, 1u << 20));
    if (!ReadFile(file.get(), bytes.data() + got, want, &n, nullptr) || n == 0) break;
    got += n;
  }
  bytes.resize(got);
  return bytes;
}

FileResult WindowsFileSystem::replaceFile(const std::string& from, const std::string& to) {
  std::string why;
  const UniqueFile file = OpenDirectly(Wide(from), DELETE, 0, why);
  if (!file) return {false, why};
  const std::wstring target = FullPath(Wide(to));
  const size_t slash = target.find_last_of(L"\\/");
  if (slash == std::wstring::npos || slash + 1 == target.size()) return {false, SystemMessage(ERROR_INVALID_NAME)};
  // The folder the name goes to, reached without a link.
  const UniqueFile folder = OpenDirectly(target.substr(0, slash + 1), 0, FILE_FLAG_BACKUP_SEMANTICS, why);
  if (!folder) return {false, why};
  // A file already under the name is replaced; a link under it is refused,
  // like every other link on the way.
  if (const UniqueFile existing(CreateFileW(target.c_str(), FILE_READ_ATTRIBUTES,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                            nullptr));
      existing) {
    why = LinkOnTheWay(existing.get(), target);
    if (!why.empty()) return {false, why};
  }
  // Renamed through the handle that was checked, into the folder that was.
  return RenameInto(file.get(), folder.get(), target.substr(slash + 1));
}

Opened<FileReader> WindowsFileSystem::openForReading(const std::string& path) {
  // Others may read the file, delete it (a cleanup of the backup folder must
  // not fail on a backup being copied) and write to it: the server appending
  // the next backup of the same minute must never fail because a copy is
  // being made. A copy therefore checks the file's size and date before and
  // after, and copies again when they changed.
  UniqueFile file(CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) return {nullptr, SystemMessage(GetLastError())};
  return {std::make_unique<WindowsReader>(std::move(file)), {}};
}

Opened<FileReader> WindowsFileSystem::openUncached(const std::string& path) {
  // Only for reading back a copy this program wrote and closed: nobody else
  // writes to it, and writing is not shared.
  const std::wstring wide = Wide(path);
  if (SuitsUncachedReader(SectorSize(wide))) {
    UniqueFile file(CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_NO_BUFFERING | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (file) {
      auto reader = std::make_unique<UncachedReader>(std::move(file));
      if (!reader->ready()) return {nullptr, SystemMessage(ERROR_NOT_ENOUGH_MEMORY)};
      return {std::move(reader), {}};
    }
  }
  // Some network redirectors and file systems refuse unbuffered opens
  // (ERROR_INVALID_PARAMETER, ERROR_NOT_SUPPORTED). The copy is then read with
  // normal reads, the best left: it was flushed (FlushFileBuffers in finish)
  // and closed before this open, and write-through goes to the redirector with
  // the open (SMB carries it as a create option), asking it to hold nothing of
  // this file back; what it still answers from a cache of its own, nothing
  // here can prevent. Any other reason the open failed (the file is gone,
  // access is denied) fails this open the same way and is told in its words.
  UniqueFile file(CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_WRITE_THROUGH | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) return {nullptr, SystemMessage(GetLastError())};
  return {std::make_unique<WindowsReader>(std::move(file)), {}};
}

Opened<FileWriter> WindowsFileSystem::createForWriting(const std::string& path) {
  // Created new, by its name inside its folder opened and checked to be
  // reached without a link: nothing placed on the way or under the name (a
  // link to another file, which creating over it would overwrite) can send
  // the bytes elsewhere. A file already under the name is first removed,
  // itself checked the same way.
  const std::wstring wide = Wide(path);
  std::string why;
  Placed placed = OpenFolderOf(wide, why);
  if (!placed.folder) return {nullptr, why};
  constexpr ACCESS_MASK kWrite = GENERIC_WRITE;
  constexpr ULONG kOptions = kNonDirectoryFile | kOpenReparsePoint | kSequentialOnly;
  // Not shared: another program copying into the same folder cannot remove
  // or read a file that is still being written.
  UniqueFile file = CreateIn(placed.folder.get(), placed.name, kWrite, 0, kCreateNew, kOptions, why);
  if (!file && GetFileAttributesW(wide.c_str()) != INVALID_FILE_ATTRIBUTES) {
    if (const FileResult removed = removeFile(path); !removed) return {nullptr, removed.reason};
    file = CreateIn(placed.folder.get(), placed.name, kWrite, 0, kCreateNew, kOptions, why);
  }
  if (!file) return {nullptr, why};
  return {std::make_unique<WindowsWriter>(std::move(file)), {}};
}

}  // namespace bakwyn
