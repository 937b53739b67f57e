#include "engine/WindowsFileSystem.h"

#include <windows.h>

#include <string>

#include "base/Text.h"

namespace bakwyn {
namespace {

std::wstring Wide(std::string_view utf8) {
  const std::u16string utf16 = Utf8ToUtf16(utf8);
  return std::wstring(utf16.begin(), utf16.end());
}

std::string Narrow(const wchar_t* wide) {
  const std::wstring_view view(wide);
  return Utf16ToUtf8(std::u16string(view.begin(), view.end()));
}

// The system's text for an error code, in the system's language, without the
// line break FormatMessage ends it with.
std::string SystemMessage(DWORD code) {
  wchar_t* text = nullptr;
  const DWORD length =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring message(text ? text : L"", text ? length : 0);
  if (text) LocalFree(text);
  while (!message.empty() && (message.back() == L'\r' || message.back() == L'\n' || message.back() == L' ')) {
    message.pop_back();
  }
  if (message.empty()) return "error " + std::to_string(code);
  return Narrow(message.c_str());
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
  const HANDLE find = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring_view name(found.cFileName);
    if (name != L"." && name != L"..") names.push_back(Narrow(found.cFileName));
  } while (FindNextFileW(find, &found));
  FindClose(find);
  return names;
}

std::optional<LocalDateTime> WindowsFileSystem::readModifiedTime(const std::string& path) {
  // Sharing only reading: a file that another program is writing, or holds
  // without sharing, cannot be opened and is left alone. A directory cannot be
  // opened without FILE_FLAG_BACKUP_SEMANTICS.
  const HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::nullopt;
  FILETIME written;
  const BOOL ok = GetFileTime(file, nullptr, nullptr, &written);
  CloseHandle(file);
  SYSTEMTIME utc;
  SYSTEMTIME local;
  // The wall-clock time at the moment of writing, with the daylight-saving
  // rule of that date rather than today's.
  if (!ok || !FileTimeToSystemTime(&written, &utc) || !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) {
    return std::nullopt;
  }
  return LocalDateTime{local.wYear,   local.wMonth,  local.wDay,         local.wHour,
                       local.wMinute, local.wSecond, local.wMilliseconds};
}

FileResult WindowsFileSystem::removeFile(const std::string& path) {
  if (DeleteFileW(Wide(path).c_str())) return {true, {}};
  return {false, SystemMessage(GetLastError())};
}

}  // namespace bakwyn
