#pragma once
// What the program and the service both ask of the system about themselves.
#include <optional>
#include <string>

namespace bakwyn::app {

// This computer's name; empty when the system gives none.
std::string ComputerName();
// The full path of the running program file.
std::string ProgramPath();
// The program file the service manager starts as the backup service
// (unquoted, without arguments): where the service was installed, which is
// not always where the program runs from (see InstallService). nullopt when
// no service is installed or its configuration cannot be read.
std::optional<std::string> RegisteredServiceProgram();
// Where the history is kept: "<ProgramData>\Bakwyn\Bakwyn.log", one per computer.
std::string HistoryPath();
// Where this user's program keeps its lines when it may not write the shared
// history (under UAC, a history an administrator's start created):
// "<LocalAppData>\Bakwyn\Bakwyn.log".
std::string OwnHistoryPath();

}  // namespace bakwyn::app
