#pragma once
// The settings window's stored fields and the stored record, one to the other:
// the window shows what is stored and the save stores what it shows. Each
// field is named here once, beside its control; the record and its table of
// keys (settings/SettingsRecord.h) say how it is stored.
#include <vector>

#include "form/SettingsForm.h"
#include "settings/Registry.h"
#include "settings/SecretProtector.h"
#include "settings/SettingsRecord.h"

namespace bakwyn::form {

// The window's stored fields put into `into` (whose other fields stay): the
// texts as they stand (the second folder trimmed), the check boxes with
// whether they are enabled, the days, the database list's column width, the
// options page's check boxes, pick lists and ping addresses (trimmed).
settings::StoredSettings StoredFields(const SettingsForm& form, settings::StoredSettings into = {});
// The record's window fields shown in the window, in the order of the record,
// so that a check box enables its time editor before the editor gets its text.
void ShowStored(const settings::StoredSettings& stored, SettingsForm& form);

// Reads what is stored for the window's fields into it (a value not stored
// leaves its field as it is; see LoadStoredSettings); what could not be taken.
std::vector<settings::LoadProblem> LoadWindowSettings(SettingsForm& form, settings::Registry& registry,
                                                      const settings::SecretProtector& protector);
// Stores the window's fields; false when a key could not be opened or created
// (see SaveStoredSettings).
bool SaveWindowSettings(const SettingsForm& form, settings::Registry& registry,
                        const settings::SecretProtector& protector);

}  // namespace bakwyn::form
