#include "engine/WindowsFileSystem.h"

#include <windows.h>

#include <string>

#include "base/Text.h"
#include "base/WinHandles.h"

namespace bakwyn {
namespace {

std::wstring Wide(std::string_view utf8) { return ToWide(utf8); }

// The system's text for an error code, in the system's language, without the
// line break FormatMessage ends it with.
std::string SystemMessage(DWORD code) {
  UniqueAny<LocalMemoryTraits<wchar_t*>> text;
  const DWORD length =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, code, 0, reinterpret_cast<wchar_t*>(text.put()), 0, nullptr);
  std::wstring message(text ? text.get() : L"", text ? length : 0);
  while (!message.empty() && (message.back() == L'\r' || message.back() == L'\n' || message.back() == L' ')) {
    message.pop_back();
  }
  if (message.empty()) return "error " + std::to_string(code);
  return FromWide(message);
}

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

FileResult WindowsFileSystem::replaceFile(const std::string& from, const std::string& to) {
  if (MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return {true, {}};
  return {false, SystemMessage(GetLastError())};
}

}  // namespace bakwyn
