#include "engine/WindowsFileSystem.h"

#include <windows.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>

#include "base/SystemMessage.h"
#include "base/Text.h"
#include "base/WinHandles.h"

namespace bakwyn {
namespace {

std::wstring Wide(std::string_view utf8) { return ToWide(utf8); }

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool IsDirectory(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

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

}  // namespace

bool WindowsFileSystem::createDirectories(const std::string& dir) {
  const std::wstring path = Wide(dir);
  if (path.empty()) return false;
  // Create each level in turn; a level that already exists fails harmlessly.
  for (size_t i = FirstCreatable(path); i <= path.size(); ++i) {
    if (i == path.size() || IsSeparator(path[i])) {
      if (i > 0 && !IsSeparator(path[i - 1])) CreateDirectoryW(path.substr(0, i).c_str(), nullptr);
    }
  }
  return IsDirectory(path);
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

FileResult WindowsFileSystem::removeFile(const std::string& path) {
  if (DeleteFileW(Wide(path).c_str())) return {true, {}};
  return {false, SystemMessage(GetLastError())};
}

std::optional<std::uint64_t> WindowsFileSystem::fileSize(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(Wide(path).c_str(), GetFileExInfoStandard, &data) ||
      (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
    return std::nullopt;
  return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

FileResult WindowsFileSystem::appendDurably(const std::string& path, const std::string& bytes) {
  // Appending only, shared with readers (a user may have the file open in an
  // editor) and with other writers of the same history.
  const UniqueFile file(CreateFileW(Wide(path).c_str(), FILE_APPEND_DATA,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return {false, SystemMessage(GetLastError())};
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
  if (MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return {true, {}};
  return {false, SystemMessage(GetLastError())};
}

Opened<FileReader> WindowsFileSystem::openForReading(const std::string& path) {
  // Others may read the file and delete it (a cleanup of the backup folder
  // must not fail on a backup being copied), but nobody may write to it while
  // it is read: what is copied and checked is one version of the file.
  UniqueFile file(CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) return {nullptr, SystemMessage(GetLastError())};
  return {std::make_unique<WindowsReader>(std::move(file)), {}};
}

Opened<FileWriter> WindowsFileSystem::createForWriting(const std::string& path) {
  // Not shared: another program copying into the same folder cannot remove
  // or read a file that is still being written.
  UniqueFile file(CreateFileW(Wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) return {nullptr, SystemMessage(GetLastError())};
  return {std::make_unique<WindowsWriter>(std::move(file)), {}};
}

}  // namespace bakwyn
