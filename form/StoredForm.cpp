#include "form/StoredForm.h"

#include "base/Text.h"

namespace bakwyn::form {
namespace {

settings::CheckState StateOf(const TdxCheckEdit& check) { return {check.checked(), check.enabled()}; }

// A pick list's choice into a stored value counted from `first`; a list
// showing none of its items leaves the value as it is.
void TakeChoice(const TdxPickEdit& pick, int first, int& into) {
  if (const int index = pick.itemIndex(); index >= 0) into = first + index;
}

}  // namespace

settings::StoredSettings StoredFields(const SettingsForm& form, settings::StoredSettings into) {
  const SettingsForm& f = form;
  if (!form.mavTree1.columns().empty()) into.mavTree1ColumnWidth = form.mavTree1.columns()[0].width;
  into.mEdt2 = form.mEdt2.text();
  into.mEdt3 = form.mEdt3.text();
  into.mEdt4 = form.mEdt4.text();
  into.mavBEdit2 = form.mavBEdit2.text();
  into.dxCheckEdit1 = StateOf(f.slotCheck(1));
  into.dxTimeEdit1 = f.slotTime(1).text();
  into.dxCheckEdit2 = StateOf(f.slotCheck(2));
  into.dxTimeEdit2 = f.slotTime(2).text();
  into.dxCheckEdit3 = StateOf(f.slotCheck(3));
  into.dxTimeEdit3 = f.slotTime(3).text();
  into.dxCheckEdit4 = StateOf(f.slotCheck(4));
  into.dxTimeEdit4 = f.slotTime(4).text();
  into.mEdt1 = form.mEdt1.text();
  into.dxCheckEdit5 = StateOf(form.dxCheckEdit5);
  into.mavSpinEdit1 = form.mavSpinEdit1.value();
  into.CopyFolder = form.mavBEdit3.tText();
  into.MakeUpMissed = form.dxCheckEdit6.checked();
  into.VerifyBackups = form.dxCheckEdit7.checked();
  TakeChoice(form.dxPickEdit1, 0, into.RestoreTestEvery);
  TakeChoice(form.dxPickEdit2, 0, into.RestoreTestDay);
  TakeChoice(form.dxPickEdit3, -SettingsForm::kFirstHourItem, into.RestoreTestHour);
  // Blanks around a pasted address would only make its pings fail.
  into.PingAddress = form.mEdt5.tText();
  into.RestoreTestPingAddress = form.mEdt6.tText();
  into.BackupLog = form.dxCheckEdit8.checked();
  return into;
}

void ShowStored(const settings::StoredSettings& stored, SettingsForm& form) {
  if (!form.mavTree1.columns().empty()) form.mavTree1.columns()[0].width = stored.mavTree1ColumnWidth;
  form.mEdt2.setText(stored.mEdt2);
  form.mEdt3.setText(stored.mEdt3);
  form.mEdt4.setText(stored.mEdt4);
  form.mavBEdit2.setText(stored.mavBEdit2);
  const settings::CheckState* checks[] = {&stored.dxCheckEdit1, &stored.dxCheckEdit2, &stored.dxCheckEdit3,
                                          &stored.dxCheckEdit4};
  const std::string* times[] = {&stored.dxTimeEdit1, &stored.dxTimeEdit2, &stored.dxTimeEdit3, &stored.dxTimeEdit4};
  for (int slot = 1; slot <= 4; ++slot) {
    TdxCheckEdit& check = form.slotCheck(slot);
    if (check.enabled()) check.setChecked(checks[slot - 1]->checked);
    form.slotTime(slot).setText(*times[slot - 1]);
  }
  form.mEdt1.setText(stored.mEdt1);
  if (form.dxCheckEdit5.enabled()) form.dxCheckEdit5.setChecked(stored.dxCheckEdit5.checked);
  form.mavSpinEdit1.setValue(stored.mavSpinEdit1);
  form.mavBEdit3.setText(stored.CopyFolder);
  form.dxCheckEdit6.setChecked(stored.MakeUpMissed);
  form.dxCheckEdit7.setChecked(stored.VerifyBackups);
  // The frequency first: it enables the day and the hour.
  form.dxPickEdit1.setItemIndex(stored.RestoreTestEvery);
  form.dxPickEdit2.setItemIndex(stored.RestoreTestDay);
  form.dxPickEdit3.setItemIndex(stored.RestoreTestHour + SettingsForm::kFirstHourItem);
  form.mEdt5.setText(stored.PingAddress);
  form.mEdt6.setText(stored.RestoreTestPingAddress);
  form.dxCheckEdit8.setChecked(stored.BackupLog);
}

std::vector<settings::LoadProblem> LoadWindowSettings(SettingsForm& form, settings::Registry& registry,
                                                      const settings::SecretProtector& protector) {
  settings::LoadedSettings loaded =
      settings::LoadStoredSettings(registry, protector, settings::Groups::Window, StoredFields(form));
  ShowStored(loaded.settings, form);
  return std::move(loaded.problems);
}

bool SaveWindowSettings(const SettingsForm& form, settings::Registry& registry,
                        const settings::SecretProtector& protector) {
  return settings::SaveStoredSettings(StoredFields(form), registry, protector, settings::Groups::Window);
}

}  // namespace bakwyn::form
