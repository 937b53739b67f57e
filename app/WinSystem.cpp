#include "app/WinSystem.h"

#include <windows.h>

#include <shlobj.h>

#include <iterator>
#include <vector>

#include "app/Service.h"
#include "base/Text.h"
#include "base/WinHandles.h"

namespace bakwyn::app {

std::string ComputerName() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 256] = {};
  DWORD size = static_cast<DWORD>(std::size(name));
  if (!GetComputerNameW(name, &size)) return {};
  return FromWide(name);
}

std::string ProgramPath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD got = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (got == 0) return {};
    // A path that filled the buffer may have been cut: try a larger one.
    if (got < path.size()) {
      path.resize(got);
      return FromWide(path);
    }
    path.resize(path.size() * 2);
  }
}

std::optional<std::string> RegisteredServiceProgram() {
  const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return std::nullopt;
  const UniqueServiceHandle service(OpenServiceW(manager.get(), kServiceName, SERVICE_QUERY_CONFIG));
  if (!service) return std::nullopt;
  DWORD size = 0;
  QueryServiceConfigW(service.get(), nullptr, 0, &size);
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return std::nullopt;
  std::vector<BYTE> buffer(size);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (!QueryServiceConfigW(service.get(), config, size, &size) || !config->lpBinaryPathName) return std::nullopt;
  // "\"C:\Program Files\Bakwyn\Bakwyn.exe\" /service": the program is the
  // quoted part, or for an unquoted command the part before the first blank.
  const std::wstring command = config->lpBinaryPathName;
  if (!command.empty() && command.front() == L'"') {
    const size_t end = command.find(L'"', 1);
    return FromWide(command.substr(1, end == std::wstring::npos ? std::wstring::npos : end - 1));
  }
  return FromWide(command.substr(0, command.find(L' ')));
}

std::string HistoryPath() {
  // The machine's data folder, the same for every user and for the service:
  // asked of the shell, not of the environment, which a service may not share.
  wchar_t folder[MAX_PATH] = {};
  const std::string base = SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder))
                               ? FromWide(folder)
                               : std::string("C:\\ProgramData");
  return base + "\\Bakwyn\\Bakwyn.log";
}

std::string OwnHistoryPath() {
  wchar_t folder[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder))) return {};
  return FromWide(folder) + "\\Bakwyn\\Bakwyn.log";
}

}  // namespace bakwyn::app
