#pragma once
// The run-time copy of the backup settings. The engine works only from this
// record; applying the settings in the window is the only writer of its
// configuration fields, and the schedule writes the per-slot date stamps.
#include <array>
#include <cstdint>
#include <string>

namespace bakwyn {

struct SlotState {
  bool enabled = false;
  std::string time;         // "HH:NN" as the time editors produce it
  std::string lastRunDate;  // "yyyymmdd" of the slot's last run; empty when not run since start-up
};

struct BackupSettings {
  std::string server;
  std::string user;
  std::string password;
  std::string database;
  std::string backupDir;  // always ends with "\" once applied
  std::array<SlotState, 4> slots;  // slots[0] is slot 1
  bool cleanupEnabled = false;
  std::int32_t retentionDays = 0;
  std::string replicaDir;  // the second folder each backup is copied to; empty: none. Ends with "\" when set
  // A backup with no progress from the server for this long is cancelled and
  // logged as failed; 0 or less: no limit.
  std::int32_t stallMinutes = 60;
};

}  // namespace bakwyn
