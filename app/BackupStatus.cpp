#include "app/BackupStatus.h"

#include "app/RestoreSchedule.h"

#include <cstdio>
#include <limits>

#include "engine/History.h"
#include "form/FrmMainIds.h"
#include "form/Controls.h"
#include "settings/SecretProtector.h"
#include "settings/SettingsRecord.h"

namespace bakwyn::app {
namespace {

constexpr std::int64_t kMinute = 60LL * 1000;
constexpr std::int64_t kDay = 24LL * 60 * kMinute;

std::optional<std::string> Read(settings::RegistryKey& key, const std::string& name) {
  try {
    return key.readString(name);
  } catch (const settings::RegistryError&) {
    return std::nullopt;  // a value of another type: as if there were none
  }
}

// Minutes of the day of an "HH:NN" slot time, or -1.
int SlotMinute(const std::string& time) {
  if (!form::IsValidTime(time)) return -1;
  return ((time[0] - '0') * 10 + (time[1] - '0')) * 60 + (time[3] - '0') * 10 + (time[4] - '0');
}

std::string Short(const LocalDateTime& t) {
  char text[32];
  std::snprintf(text, sizeof text, "%02d-%02d %02d:%02d", t.month, t.day, t.hour, t.minute);
  return text;
}

}  // namespace

std::string LoadCopyFolder(settings::Registry& registry) {
  auto key = registry.open(std::string(kStatusKey), settings::Access::ReadExisting);
  if (!key) return {};
  std::string folder = Read(*key, "CopyFolder").value_or("");
  if (const size_t nul = folder.find('\0'); nul != std::string::npos) folder.erase(nul);
  return folder;
}

namespace {

bool Store(settings::Registry& registry, const std::string& name, const std::string& data) {
  auto key = registry.open(std::string(kStatusKey), settings::Access::Write);
  if (!key) return false;
  try {
    key->writeString(name, data);
  } catch (const settings::RegistryError&) {
    return false;
  }
  return true;
}

std::string SlotStampName(int slot) { return "Slot" + std::to_string(slot) + "LastRun"; }

bool IsDate(const std::string& text) {
  if (text.size() != 8) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

bool StoreCopyFolder(settings::Registry& registry, const std::string& folder) {
  return Store(registry, "CopyFolder", folder);
}

bool LoadMakeUpMissed(settings::Registry& registry) {
  auto key = registry.open(std::string(kStatusKey), settings::Access::ReadExisting);
  return key && Read(*key, "MakeUpMissed").value_or("") == "1";
}

bool StoreMakeUpMissed(settings::Registry& registry, bool on) { return Store(registry, "MakeUpMissed", on ? "1" : "0"); }

bool LoadRestoreTestOpen(settings::Registry& registry) {
  auto key = registry.open(std::string(kStatusKey), settings::Access::ReadExisting);
  return key && Read(*key, "RestoreTestOpen").value_or("") == "1";
}

bool StoreStatusValue(settings::Registry& registry, const std::string& name, const std::string& data) {
  return Store(registry, name, data);
}

bool StoreRestoreTestOpen(settings::Registry& registry, bool open) {
  return Store(registry, "RestoreTestOpen", open ? "1" : "0");
}

std::array<std::string, 4> LoadSlotStamps(settings::Registry& registry) {
  std::array<std::string, 4> stamps;
  auto key = registry.open(std::string(kStatusKey), settings::Access::ReadExisting);
  if (!key) return stamps;
  for (int slot = 1; slot <= 4; ++slot) {
    std::string date = Read(*key, SlotStampName(slot)).value_or("");
    if (IsDate(date)) stamps[static_cast<size_t>(slot) - 1] = std::move(date);
  }
  return stamps;
}

bool StoreSlotStamp(settings::Registry& registry, int slot, const std::string& date) {
  return Store(registry, SlotStampName(slot), date);
}

namespace {

// The record of the backups holds no secret: nothing is ever protected here.
class NoSecrets final : public settings::SecretProtector {
 public:
  std::string protect(std::string_view) const override { throw settings::ProtectionError("no secrets here"); }
  std::string unprotect(std::string_view) const override { throw settings::ProtectionError("no secrets here"); }
};

constexpr settings::Groups kRecordGroups = settings::Groups::Status | settings::Groups::RestoreTest;

}  // namespace

BackupRecord LoadBackupRecord(settings::Registry& registry) {
  const settings::StoredSettings stored =
      settings::LoadStoredSettings(registry, NoSecrets(), kRecordGroups).settings;
  return {stored.LastBackup,  stored.LastResult,      stored.LastSuccess,
          stored.ArmedSince,  stored.LastRestoreTest, stored.RestoreTestPassed,
          stored.RestoreTestPassedBackup};
}

bool StoreBackupRecord(settings::Registry& registry, const BackupRecord& record) {
  settings::StoredSettings stored;
  stored.LastBackup = record.lastBackup;
  stored.LastResult = record.lastSucceeded;
  stored.LastSuccess = record.lastSuccess;
  stored.ArmedSince = record.armedSince;
  stored.LastRestoreTest = record.lastRestoreTest;
  stored.RestoreTestPassed = record.restoreTestPassed;
  stored.RestoreTestPassedBackup = record.restoreTestPassedBackup;
  try {
    return settings::SaveStoredSettings(stored, registry, NoSecrets(), kRecordGroups);
  } catch (const settings::RegistryError&) {
    return false;
  }
}

std::optional<TestedSet> PassedTestSet(const BackupRecord& record) {
  const std::string& kept = record.restoreTestPassedBackup;
  const size_t bar = kept.find('|');
  if (bar == 0 || bar == std::string::npos || bar > 3 || bar + 1 == kept.size()) return std::nullopt;
  int set = 0;
  for (size_t i = 0; i < bar; ++i) {
    if (kept[i] < '0' || kept[i] > '9') return std::nullopt;
    set = set * 10 + (kept[i] - '0');
  }
  if (set < 1) return std::nullopt;
  return TestedSet{kept.substr(bar + 1), set};
}

BackupRecord Merged(const BackupRecord& a, const BackupRecord& b) {
  const auto later = [](const std::optional<LocalDateTime>& x, const std::optional<LocalDateTime>& y) {
    if (!x) return y;
    if (!y) return x;
    return CalendarMilliseconds(*y) > CalendarMilliseconds(*x) ? y : x;
  };
  const auto earlier = [](const std::optional<LocalDateTime>& x, const std::optional<LocalDateTime>& y) {
    if (!x) return y;
    if (!y) return x;
    return CalendarMilliseconds(*y) < CalendarMilliseconds(*x) ? y : x;
  };
  BackupRecord merged;
  const bool bLater = b.lastBackup && (!a.lastBackup || CalendarMilliseconds(*b.lastBackup) > CalendarMilliseconds(*a.lastBackup));
  merged.lastBackup = bLater ? b.lastBackup : a.lastBackup;
  merged.lastSucceeded = bLater ? b.lastSucceeded : a.lastSucceeded;
  merged.lastSuccess = later(a.lastSuccess, b.lastSuccess);
  merged.armedSince = earlier(a.armedSince, b.armedSince);
  merged.lastRestoreTest = later(a.lastRestoreTest, b.lastRestoreTest);
  merged.restoreTestPassed = later(a.restoreTestPassed, b.restoreTestPassed);
  // The set of whichever passed test was the later one.
  merged.restoreTestPassedBackup = merged.restoreTestPassed == b.restoreTestPassed && b.restoreTestPassed
                                       ? b.restoreTestPassedBackup
                                       : a.restoreTestPassedBackup;
  return merged;
}

std::optional<std::int64_t> FirstSlotAfter(const BackupSettings& settings, const LocalDateTime& since) {
  const std::int64_t sinceMs = CalendarMilliseconds(since);
  const std::int64_t dayStart = sinceMs - (static_cast<std::int64_t>(since.hour) * 60 + since.minute) * kMinute -
                                since.second * 1000LL - since.millisecond;
  std::int64_t best = std::numeric_limits<std::int64_t>::max();
  for (const SlotState& slot : settings.slots) {
    const int minute = slot.enabled ? SlotMinute(slot.time) : -1;
    if (minute < 0) continue;
    std::int64_t at = dayStart + minute * kMinute;
    if (at <= sinceMs) at += kDay;
    best = std::min(best, at);
  }
  if (best == std::numeric_limits<std::int64_t>::max()) return std::nullopt;
  return best;
}

bool BackupOverdue(const BackupSettings& settings, const BackupRecord& record, const LocalDateTime& now) {
  const std::optional<LocalDateTime> since = record.lastSuccess ? record.lastSuccess : record.armedSince;
  if (!since) return false;
  const std::optional<std::int64_t> due = FirstSlotAfter(settings, *since);
  return due && CalendarMilliseconds(now) - *due > kDay;
}

BackupStatus::BackupStatus(form::TrayIcon* tray, settings::Registry& registry, const BackupSettings& settings,
                           std::function<void(const std::string&)> log, settings::Registry* own)
    : tray_(tray), registry_(registry), own_(own), settings_(settings), log_(std::move(log)) {}

void BackupStatus::load() {
  record_ = LoadBackupRecord(registry_);
  if (own_) record_ = Merged(record_, LoadBackupRecord(*own_));
  if (tray_) tray_->setAlarmed(record_.lastBackup && !record_.lastSucceeded);
  show();
}

void BackupStatus::armed(const LocalDateTime& now) {
  if (record_.armedSince) return;
  record_.armedSince = now;
  store();
}

void BackupStatus::store() {
  // The machine's record first, which the service and every user read; what
  // cannot go there goes to this user's own.
  if (!StoreBackupRecord(registry_, record_) && own_) StoreBackupRecord(*own_, record_);
}

void BackupStatus::setCleanupHeld(bool held) {
  if (held == cleanupHeld_) return;
  cleanupHeld_ = held;
  show();
}

void BackupStatus::record(const BackupOutcome& outcome) {
  record_.lastBackup = outcome.at;
  record_.lastSucceeded = outcome.succeeded;
  if (outcome.succeeded) {
    record_.lastSuccess = outcome.at;
    overdue_ = false;
  }
  store();
  if (tray_) tray_->setAlarmed(!outcome.succeeded);
  show();
  if (!outcome.succeeded && tray_) tray_->notify("数据库备份失败!", outcome.cause);
}

void BackupStatus::recordRestoreTest(const RestoreOutcome& outcome) {
  using Result = RestoreOutcome::Result;
  record_.lastRestoreTest = outcome.started;
  if (outcome.result == Result::passed) {
    record_.restoreTestPassed = outcome.started;
    record_.restoreTestPassedBackup = std::to_string(outcome.position) + "|" + outcome.backupPath;
    testOverdue_ = false;
  }
  store();
  switch (outcome.result) {
    case Result::passed: testResult_ = "成功 (" + DurationText(outcome.milliseconds) + ")"; break;
    case Result::failed: testResult_ = "失败 (" + DurationText(outcome.milliseconds) + ")"; break;
    case Result::notRun: testResult_ = "未运行"; break;
    case Result::cancelled: testResult_ = "已取消"; break;
  }
  show();
  if (!tray_) return;
  // A backup that does not restore is as bad as no backup: the icon says so
  // until the next backup succeeds.
  if (outcome.result == Result::failed) {
    tray_->setAlarmed(true);
    tray_->notify("恢复测试失败!", outcome.cause);
  } else if (outcome.result == Result::notRun) {
    tray_->notify("恢复测试未运行", outcome.cause);
  }
}

void BackupStatus::setTesting(std::optional<std::string> database) {
  if (database == testing_) return;
  testing_ = std::move(database);
  show();
}

void BackupStatus::check(const LocalDateTime& now) {
  if (now.minute == checkedMinute_) return;
  checkedMinute_ = now.minute;
  const bool testOverdue =
      RestoreTestOverdue(settings_.restoreTest, record_.restoreTestPassed, record_.armedSince, now);
  if (testOverdue != testOverdue_) {
    testOverdue_ = testOverdue;
    if (testOverdue) {
      const std::string since = record_.restoreTestPassed
                                    ? "上次通过的恢复测试于 " + FullStamp(*record_.restoreTestPassed)
                                    : std::string("还没有通过的恢复测试");
      const std::string line = "警告: 已超过" + std::to_string(RestoreTestGraceDays(settings_.restoreTest)) +
                               "天没有通过的恢复测试 (" + since + ")";
      log_(line);
      if (onOverdue) onOverdue(true, line);
      if (tray_) tray_->notify("恢复测试已逾期", since);
    }
    show();
  }
  const bool overdue = BackupOverdue(settings_, record_, now);
  if (overdue == overdue_) return;
  overdue_ = overdue;
  if (overdue) {
    const std::string since = record_.lastSuccess ? "上次成功备份于 " + FullStamp(*record_.lastSuccess)
                                                  : std::string("还没有成功的备份");
    const std::string line = "警告: 已超过一天没有成功的备份 (" + since + ")";
    log_(line);
    if (onOverdue) onOverdue(false, line);
    if (tray_) {
      tray_->notify("已超过一天没有成功的备份", since);
      tray_->setAlarmed(true);
    }
  }
  show();
}

void BackupStatus::setRunning(std::optional<std::string> database, std::optional<int> percent) {
  if (database == running_ && percent == percent_) return;
  running_ = std::move(database);
  percent_ = running_ ? percent : std::nullopt;
  show();
}

void BackupStatus::show() {
  if (!tray_) return;
  std::string tip = form::kFrmMainCaption;
  if (running_) tip += "\n正在备份 " + *running_ + "…" + (percent_ ? " " + std::to_string(*percent_) + "%" : std::string());
  if (record_.lastBackup)
    tip += "\n上次备份: " + Short(*record_.lastBackup) + (record_.lastSucceeded ? " 成功" : " 失败");
  else
    tip += "\n还没有备份";
  if (overdue_) tip += "\n已超过一天没有成功的备份";
  if (testing_) {
    tip += "\n正在测试恢复 " + *testing_ + "…";
  } else if (record_.lastRestoreTest) {
    const std::string result = !testResult_.empty() ? testResult_
                               : record_.restoreTestPassed == record_.lastRestoreTest ? std::string("成功")
                                                                                        : std::string("未通过");
    tip += "\n上次恢复测试: " + Short(*record_.lastRestoreTest) + " " + result;
  }
  if (testOverdue_) tip += "\n恢复测试已逾期";
  if (cleanupHeld_) tip += "\n自动删除已停止: 保留天数无法读取";
  tray_->setTip(tip);
}

}  // namespace bakwyn::app
