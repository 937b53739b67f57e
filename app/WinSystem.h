#pragma once
// What the program and the service both ask of the system about themselves.
#include <string>

namespace bakwyn::app {

// This computer's name; empty when the system gives none.
std::string ComputerName();
// The full path of the running program file.
std::string ProgramPath();

}  // namespace bakwyn::app
