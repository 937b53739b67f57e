#include "app/StoredSchedule.h"

#include <algorithm>
#include <cmath>

#include "base/Text.h"
#include "form/Controls.h"
#include "form/SettingsForm.h"

namespace bakwyn::app {
namespace {

constexpr size_t kShownStoredText = 80;  // characters of a bad stored value quoted in the log

// At most `count` characters (UTF-8 code points) of `text`, marked when cut.
std::string Shortened(const std::string& text, size_t count) {
  size_t seen = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
    if (seen++ == count) return text.substr(0, i) + "...";
  }
  return text;
}

// The slot (1 to 4) whose time editor is named `control`; 0 for another control.
int SlotOfTimeEditor(const std::string& control) {
  for (int slot = 1; slot <= 4; ++slot) {
    if (control == "dxTimeEdit" + std::to_string(slot)) return slot;
  }
  return 0;
}

std::string Folder(const std::string& text) {
  std::string folder = TrimControl(text);
  if (!folder.empty() && folder.back() != '\\') folder += '\\';
  return folder;
}

}  // namespace

std::vector<std::string> LoadProblemLines(const std::vector<settings::LoadProblem>& problems, bool cleanupHeld) {
  std::vector<std::string> lines;
  for (const settings::LoadProblem& problem : problems) {
    const std::string shown = Shortened(problem.stored, kShownStoredText);
    if (problem.kind == settings::LoadProblem::Kind::InvalidTime) {
      const int slot = SlotOfTimeEditor(problem.control);
      const std::string name = slot ? form::SettingsForm::SlotCaption(slot) : problem.control;
      lines.push_back(name + ": 存储的时间 \"" + shown + "\" 无效,此备份时间不会运行");
    } else if (problem.stored.empty()) {
      lines.push_back("无法读取存储的设置: " + problem.control + ",已忽略");
    } else {
      lines.push_back("无法读取存储的设置: " + problem.control + " \"" + shown + "\",已忽略");
    }
  }
  if (cleanupHeld) lines.push_back("自动删除已停止: 存储的保留天数无法读取,重新保存设置之前不会删除任何备份");
  return lines;
}

StoredSchedule ReadStoredSchedule(settings::Registry& registry, const settings::SecretProtector& protector,
                                  const std::string& computer, const std::vector<settings::SqlInstance>& instances) {
  const settings::LoadedSettings loaded = settings::LoadStoredSettings(registry, protector, settings::Groups::Window | settings::Groups::Limits);
  const settings::StoredSettings& stored = loaded.settings;
  StoredSchedule out;
  BackupSettings& s = out.schedule.settings;
  // Trimmed as the save checks them; the password counts every character.
  s.server = TrimControl(computer.empty() ? stored.mEdt2 : settings::DefaultServer(computer, instances, stored.mEdt2));
  s.user = TrimControl(stored.mEdt3);
  s.password = stored.mEdt4;
  s.database = TrimControl(stored.mEdt1);
  s.backupDir = Folder(stored.mavBEdit2);
  if (s.backupDir.empty()) s.backupDir = "\\";
  const settings::CheckState* checks[] = {&stored.dxCheckEdit1, &stored.dxCheckEdit2, &stored.dxCheckEdit3,
                                          &stored.dxCheckEdit4};
  const std::string* times[] = {&stored.dxTimeEdit1, &stored.dxTimeEdit2, &stored.dxTimeEdit3, &stored.dxTimeEdit4};
  for (size_t i = 0; i < 4; ++i) {
    s.slots[i].enabled = checks[i]->checked;
    s.slots[i].time = form::TimeDigits(*times[i]);
  }
  bool daysUnreadable = false;
  for (const settings::LoadProblem& problem : loaded.problems) {
    // A slot whose stored time is no time of the day is not armed.
    if (const int slot = SlotOfTimeEditor(problem.control);
        slot != 0 && problem.kind == settings::LoadProblem::Kind::InvalidTime)
      s.slots[static_cast<size_t>(slot) - 1].enabled = false;
    // The days' default of a few: cleaning up with it would delete backups
    // that a user who keeps them for years chose to keep.
    if (problem.control == "mavSpinEdit1") daysUnreadable = true;
  }
  s.cleanupEnabled = stored.dxCheckEdit5.checked;
  out.schedule.cleanupHeld = daysUnreadable;
  const double days = std::isnan(stored.mavSpinEdit1) ? 0 : std::clamp(stored.mavSpinEdit1, 1.0, 999999.0);
  s.retentionDays = static_cast<std::int32_t>(std::trunc(days));
  s.replicaDir = Folder(stored.CopyFolder);
  out.schedule.makeUpMissed = stored.MakeUpMissed;
  s.stallMinutes = stored.StallMinutes;
  s.verifyBackups = stored.VerifyBackups;
  s.restoreTest = settings::StoredRestoreTestPlan(stored);
  s.logBackups = stored.BackupLog;
  s.pingAddress = TrimControl(stored.PingAddress);
  s.restoreTestPingAddress = TrimControl(stored.RestoreTestPingAddress);
  out.armed = !stored.mEdt1.empty();
  out.lines = LoadProblemLines(loaded.problems, daysUnreadable && s.cleanupEnabled);
  return out;
}

bool ApplyStoredSchedule(Runtime& runtime, const StoredSchedule& stored, const char* whenChanged) {
  const bool wasArmed = runtime.armed();
  const Schedule before = runtime.latest();
  if (stored.armed) {
    runtime.arm(stored.schedule);
  } else {
    runtime.disarm();
  }
  const bool changed = wasArmed != runtime.armed() || (stored.armed && !SameSchedule(before, stored.schedule));
  if (changed && whenChanged) runtime.log(whenChanged);
  runtime.logSettingsProblems(stored.lines);
  return changed;
}

void StartFromStore(Runtime& runtime, const StoredSchedule& stored) {
  runtime.history().append(runtime.now(), "备份记录:");
  runtime.start();
  if (stored.armed) runtime.arm(stored.schedule);
  runtime.applyKeptSlotDates();
  runtime.makeUpAtNextTick();
  runtime.logSettingsProblems(stored.lines);
}

}  // namespace bakwyn::app
