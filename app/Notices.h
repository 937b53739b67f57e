#pragma once
// What is told beyond the program's own window: events for the Windows event
// log (the Application log, source "Bakwyn"), which administrators' monitoring
// tools collect. Portable: the sink that reaches ReportEventW is in
// app/EventLog.*; tests record what a sink is given.
//
// The IDs are stable: monitoring tools key on them, so an ID is never reused
// for another meaning nor renumbered. Each has a message of the same number in
// the exe's message table (res/messages.mc), whose %1, %2 ... are the event's
// strings in order.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace bakwyn::app {

inline constexpr std::wstring_view kEventSource = L"Bakwyn";

enum class EventType { information, warning, error };

enum class EventId : std::uint16_t {
  BackupSucceeded = 1000,     // %1 database, %2 backup file
  BackupFailed = 1001,        // %1 database, %2 cause, %3 backup file
  VerificationFailed = 1002,  // %1 database, %2 the server's words, %3 backup file
  BackupOverdue = 1003,       // %1 the warning as logged
  CopyFailed = 1004,          // %1 second folder, %2 what was logged of the copies
  BackupCancelled = 1005,     // %1 database, %2 backup file
  LogBackupFailed = 1006,     // %1 database, %2 cause, %3 log backup file
  RestoreTestPassed = 1100,   // %1 database, %2 backup file, %3 time taken
  RestoreTestFailed = 1101,   // %1 database, %2 backup file, %3 cause, %4 time taken
  RestoreTestNotRun = 1102,   // %1 database, %2 reason
  RestoreTestOverdue = 1103,  // %1 the warning as logged
  ServiceStarted = 1200,      // no strings
  ServiceStopped = 1201,      // no strings
  SettingsUnreadable = 1300,  // %1 what could not be read, as logged
  PingFailed = 1400,          // %1 the address's host, %2 why
  HealthProblem = 1500,       // %1 the warning as logged
  HealthResolved = 1501,      // %1 the line as logged
  HealthNotChecked = 1502,    // %1 why a check could not be made, as logged
  DatabaseRestored = 1600,         // %1 database restored into, %2 backup file, %3 time taken, %4 safety backup
  DatabaseRestoreFailed = 1601,    // %1 database, %2 backup file, %3 cause, %4 safety backup
  DatabaseRestoreCancelled = 1602, // %1 database, %2 backup file, %3 safety backup
};

struct EventInfo {
  EventId id;
  EventType type;
  std::uint16_t strings;  // how many insertion strings its message takes
  std::string_view name;  // for the README's table and the tests
};

// Every event, in the order of their IDs.
inline constexpr EventInfo kEvents[] = {
    {EventId::BackupSucceeded, EventType::information, 2, "backup succeeded"},
    {EventId::BackupFailed, EventType::error, 3, "backup failed"},
    {EventId::VerificationFailed, EventType::error, 3, "backup failed its verification"},
    {EventId::BackupOverdue, EventType::warning, 1, "no successful backup for too long"},
    {EventId::CopyFailed, EventType::warning, 2, "copy to the second folder failed"},
    {EventId::BackupCancelled, EventType::warning, 2, "backup cancelled"},
    {EventId::LogBackupFailed, EventType::error, 3, "log backup failed"},
    {EventId::RestoreTestPassed, EventType::information, 3, "restore test passed"},
    {EventId::RestoreTestFailed, EventType::error, 4, "restore test failed"},
    {EventId::RestoreTestNotRun, EventType::warning, 2, "restore test not run"},
    {EventId::RestoreTestOverdue, EventType::warning, 1, "no passed restore test for too long"},
    {EventId::ServiceStarted, EventType::information, 0, "service started"},
    {EventId::ServiceStopped, EventType::information, 0, "service stopped"},
    {EventId::SettingsUnreadable, EventType::warning, 1, "stored settings could not be read"},
    {EventId::PingFailed, EventType::warning, 2, "ping address unreachable"},
    {EventId::HealthProblem, EventType::warning, 1, "a problem that will make backups fail later"},
    {EventId::HealthResolved, EventType::information, 1, "such a problem resolved"},
    {EventId::HealthNotChecked, EventType::warning, 1, "a check could not be made"},
    {EventId::DatabaseRestored, EventType::information, 4, "a backup was restored into a database"},
    {EventId::DatabaseRestoreFailed, EventType::error, 4, "a restore of a backup failed"},
    {EventId::DatabaseRestoreCancelled, EventType::warning, 3, "a restore of a backup was cancelled"},
};

inline const EventInfo& InfoOf(EventId id) {
  for (const EventInfo& info : kEvents) {
    if (info.id == id) return info;
  }
  return kEvents[0];  // unreachable: every ID is in the table
}

struct Event {
  EventId id;
  std::vector<std::string> strings;  // UTF-8, as many as its message takes
};

// Where events go. report() never throws and never waits for long: a log that
// cannot be written must not hold or fail a backup.
class EventSink {
 public:
  virtual ~EventSink() = default;
  virtual void report(const Event& event) noexcept = 0;
};

}  // namespace bakwyn::app
