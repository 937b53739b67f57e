#include "app/Notifier.h"

#include "engine/History.h"

namespace bakwyn::app {
namespace {

constexpr std::string_view kCauseLead = "原因: ";
// A backup's lines are kept up to this much (the ping sends the end of them);
// a backup that logs more keeps its last lines.
constexpr std::size_t kKeptLines = 64 * 1024;

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) {
    if (!text.empty()) text += '\n';
    text += line;
  }
  return text;
}

}  // namespace

std::string CauseWords(const std::string& cause) {
  if (cause.compare(0, kCauseLead.size(), kCauseLead) == 0) return cause.substr(kCauseLead.size());
  return cause;
}

Notifier::Notifier(const BackupSettings& settings, EventSink* events, Pinger* pinger)
    : settings_(settings), events_(events), pinger_(pinger) {}

void Notifier::report(EventId id, std::vector<std::string> strings) {
  if (events_) events_->report({id, std::move(strings)});
}

void Notifier::logged(const LocalDateTime& at, const std::string& text, bool) {
  if (!collecting_) return;
  lines_ += FullStamp(at);
  lines_ += ' ';
  lines_ += text;
  lines_ += '\n';
  if (lines_.size() > kKeptLines) {
    const std::size_t from = lines_.find('\n', lines_.size() - kKeptLines);
    lines_.erase(0, from == std::string::npos ? lines_.size() : from + 1);
  }
}

void Notifier::backupStarted(const LocalDateTime&) {
  collecting_ = true;
  lines_.clear();
  if (pinger_ && !settings_.pingAddress.empty()) pinger_->send(settings_.pingAddress, PingKind::start);
}

void Notifier::backupEnded(const BackupOutcome& outcome) {
  collecting_ = false;
  const std::string& database = settings_.database;
  if (outcome.succeeded) {
    report(EventId::BackupSucceeded, {database, outcome.path});
  } else if (outcome.cause == kCancelledCause) {
    report(EventId::BackupCancelled, {database, outcome.path});
  } else if (outcome.cause.starts_with(kVerificationFailedCause)) {
    report(EventId::VerificationFailed,
           {database, outcome.cause.substr(kVerificationFailedCause.size()), outcome.path});
  } else {
    report(EventId::BackupFailed, {database, CauseWords(outcome.cause), outcome.path});
  }
  // The full backup stands; its log backup's failure is told apart.
  if (outcome.logFailure) report(EventId::LogBackupFailed, {database, CauseWords(*outcome.logFailure), outcome.logPath});
  // A cancelled backup is no backup either: the address hears of a failure.
  if (pinger_ && !settings_.pingAddress.empty())
    pinger_->send(settings_.pingAddress, outcome.succeeded ? PingKind::success : PingKind::fail,
                  outcome.succeeded ? std::string() : lines_);
  lines_.clear();
}

// A restore from the restore window is told to the event log only: the ping
// addresses expect the backups' and the restore tests' schedules.
void Notifier::restoreEnded(const RestoreResult& result) {
  using Outcome = RestoreResult::Outcome;
  const std::string took = DurationText(result.milliseconds);
  switch (result.outcome) {
    case Outcome::succeeded:
      report(EventId::DatabaseRestored, {result.database, result.backupPath, took, result.safetyBackup});
      break;
    case Outcome::failed:
      report(EventId::DatabaseRestoreFailed,
             {result.database, result.backupPath, CauseWords(result.cause), result.safetyBackup});
      break;
    case Outcome::cancelled:
      report(EventId::DatabaseRestoreCancelled, {result.database, result.backupPath, result.safetyBackup});
      break;
  }
}

void Notifier::restoreTested(const RestoreOutcome& outcome) {
  using Result = RestoreOutcome::Result;
  const std::string& database = settings_.database;
  const std::string took = DurationText(outcome.milliseconds);
  std::string body;
  switch (outcome.result) {
    case Result::passed:
      report(EventId::RestoreTestPassed, {database, outcome.backupPath, took});
      break;
    case Result::failed:
      report(EventId::RestoreTestFailed, {database, outcome.backupPath, CauseWords(outcome.cause), took});
      body = outcome.cause;
      break;
    case Result::notRun:
      report(EventId::RestoreTestNotRun, {database, outcome.cause});
      body = "恢复测试未运行: " + outcome.cause;
      break;
    case Result::cancelled:
      // Stopped for a backup, or by the user: it is tried again at its next
      // time, and says nothing either way about the backup.
      return;
  }
  if (pinger_ && !settings_.restoreTestPingAddress.empty())
    pinger_->send(settings_.restoreTestPingAddress,
                  outcome.result == Result::passed ? PingKind::success : PingKind::fail, body);
}

void Notifier::copiesFailed(const std::string& folder, const std::vector<std::string>& lines) {
  report(EventId::CopyFailed, {folder, Joined(lines)});
}

void Notifier::overdue(bool restoreTest, const std::string& line) {
  report(restoreTest ? EventId::RestoreTestOverdue : EventId::BackupOverdue, {line});
}

void Notifier::settingsUnreadable(const std::vector<std::string>& lines) {
  report(EventId::SettingsUnreadable, {Joined(lines)});
}

void Notifier::healthNoted(Health kind, const std::string& line) {
  switch (kind) {
    case Health::problem: report(EventId::HealthProblem, {line}); break;
    case Health::resolved: report(EventId::HealthResolved, {line}); break;
    case Health::notChecked: report(EventId::HealthNotChecked, {line}); break;
  }
}

}  // namespace bakwyn::app
