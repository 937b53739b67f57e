#pragma once
// The backup service: the program's engine, store, schedule and history, run
// by the system from the start of Windows, with nobody logged on. The program
// in the user's session is then only a window onto it. The same exe is both;
// the system starts the service with kServiceArgument.
#include <string>

#include "app/FormHandlers.h"

namespace bakwyn::app {

inline constexpr wchar_t kServiceName[] = L"Bakwyn";
inline constexpr char kServiceDisplayName[] = "Bakwyn 数据库自动备份";
inline constexpr wchar_t kServiceArgument[] = L"/service";
// The program started with administrator rights to install or remove the service.
inline constexpr wchar_t kInstallServiceArgument[] = L"/install-service";
inline constexpr wchar_t kRemoveServiceArgument[] = L"/remove-service";
// Set by a save in the user's session: the service reads the stored settings again.
inline constexpr wchar_t kReloadEventName[] = L"Global\\Bakwyn.Reload";

// Runs the service until the system stops it; the process's exit code.
int RunAsService();

// Installs the program file `programPath` as the service (automatic start, the
// local system account, restarted when it fails) and starts it; an installed
// service is brought up to date. 0, or the system's error code.
unsigned long InstallService(const std::string& programPath);
// Stops the service and removes it; 0 also when there was none.
unsigned long RemoveService();
// Whether the service is installed and runs. One that is starting or stopping
// counts as running: it may be in the middle of a backup.
ServiceState QueryService();
// Has the running service read the stored settings again; false when none listens.
bool SignalServiceReload();

}  // namespace bakwyn::app
