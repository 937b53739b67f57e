#pragma once
// The store of earlier versions, kept for the tests as what the stored record
// must read and write the same as: it walked a window's controls and stored
// the state of each, one key per control named after the window and the
// control, and restored it. It knew control kinds, not the controls of a
// particular window: any control of a stored kind was kept.
//
// Layout under HKEY_LOCAL_MACHINE, string values only:
//   StateRoot + window + "\" + control
//     "TEXT"          text editors: the text, untrimmed
//     "VALUE"         spin editors: the value in general number format ("3")
//     "CHECKED"       check boxes: "-1" checked, "0" unchecked
//     "0", "1", ...   tree lists: column widths in pixels (read only)
// The password edit (a TdxEdit with its password flag set) keeps its "TEXT"
// protected: ProtectedPrefix followed by the protected bytes in Base64. A text
// without the prefix is a password stored in clear by an older version; it is
// read as it stands and protected at the next save.
#include <string>
#include <string_view>
#include <optional>
#include <vector>

#include "engine/Clock.h"
#include "settings/Registry.h"
#include "settings/SecretProtector.h"
#include "settings/SettingsRecord.h"
#include "settings/StateText.h"
#include "form/Controls.h"

namespace bakwyn::testing {

using settings::LoadProblem;
using settings::Registry;
using settings::SecretProtector;



// The record of the backups (LastBackup, LastResult, LastSuccess, ArmedSince,
// LastRestoreTest, RestoreTestPassed under StatusKey) as the status functions
// wrote and read it value by value before the settings record took it over:
// the format the record must keep.
struct EarlierBackupRecord {
  std::optional<LocalDateTime> lastBackup;
  bool lastSucceeded = false;
  std::optional<LocalDateTime> lastSuccess;
  std::optional<LocalDateTime> armedSince;
  std::optional<LocalDateTime> lastRestoreTest;
  std::optional<LocalDateTime> restoreTestPassed;
};
EarlierBackupRecord LoadEarlierBackupRecord(Registry& registry);
bool StoreEarlierBackupRecord(Registry& registry, const EarlierBackupRecord& record);

// Writes the state of every stored control of `window`, in creation order. A
// key that cannot be opened or created ends the pass; the controls before it
// are stored, and the result is false, so that a caller never reports a save
// that did not happen. A value that cannot be written raises RegistryError.
bool SaveControlStates(const form::ComponentOwner& window, Registry& registry, const SecretProtector& protector);

// Reads and applies the state of every stored control of `window`, in creation
// order, creating the keys of controls never stored. A missing or empty value
// leaves the control as it is; a stored text is cut at its first NUL, as an
// edit control would show it; a spin editor's value is held to its range (an
// editor whose minimum and maximum are both 0 has none); a check box is read
// only while it is enabled. A key that cannot be opened or created ends the
// pass silently. A stored value that cannot be taken is passed over and
// returned, and the pass goes on: one bad value must not keep the others, and
// the schedule they make, from loading. Checking a check box runs its change
// handler, so an editor enabled by its check box is enabled before its own
// state is read.
std::vector<LoadProblem> LoadControlStates(form::ComponentOwner& window, Registry& registry,
                                           const SecretProtector& protector);

}  // namespace bakwyn::testing
