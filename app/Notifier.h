#pragma once
// Tells what the runtime comes to beyond this computer's window: every outcome
// to the event log, and each backup's start and result (and each restore
// test's result) to the ping addresses. One event and one ping per outcome:
// only the runtime that ran the backup tells of it.
//
// Portable: the event log and HTTP come in as EventSink and Pinger.
#include <string>
#include <vector>

#include "app/Notices.h"
#include "app/Ping.h"
#include "app/Runtime.h"
#include "engine/BackupSettings.h"

namespace bakwyn::app {

class Notifier final : public RuntimeObserver {
 public:
  // `settings` are the runtime's run-time settings: the database and the
  // addresses as they are when each outcome comes. `events` and `pinger`,
  // when given, must outlive this.
  Notifier(const BackupSettings& settings, EventSink* events, Pinger* pinger);

  void logged(const LocalDateTime& at, const std::string& text, bool kept) override;
  void backupStarted(const LocalDateTime& at) override;
  void backupEnded(const BackupOutcome& outcome) override;
  void restoreTested(const RestoreOutcome& outcome) override;
  void restoreEnded(const RestoreResult& result) override;
  void copiesFailed(const std::string& folder, const std::vector<std::string>& lines) override;
  void overdue(bool restoreTest, const std::string& line) override;
  void settingsUnreadable(const std::vector<std::string>& lines) override;
  void healthNoted(Health kind, const std::string& line) override;

 private:
  void report(EventId id, std::vector<std::string> strings);

  const BackupSettings& settings_;
  EventSink* events_;
  Pinger* pinger_;
  // The lines of the backup under way, for the body of its failure's ping.
  bool collecting_ = false;
  std::string lines_;
};

// A cause as logged ("原因: ...") without its lead-in, as the event's message
// has its own.
std::string CauseWords(const std::string& cause);

}  // namespace bakwyn::app
