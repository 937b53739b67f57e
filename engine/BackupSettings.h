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

// When the restore test runs: never, once a week on `weekday`, or every day;
// at `hour`, or right after the first backup slot of that day when `hour` is
// kAfterFirstSlot.
struct RestoreTestPlan {
  enum class Every { never, week, day };
  static constexpr int kAfterFirstSlot = -1;
  Every every = Every::week;
  int weekday = 0;              // 0 Sunday .. 6 Saturday
  int hour = kAfterFirstSlot;   // 0 to 23, or kAfterFirstSlot
  friend bool operator==(const RestoreTestPlan&, const RestoreTestPlan&) = default;
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
  // Each backup is written with checksums and read back by the server
  // (RESTORE VERIFYONLY) before it counts as a success.
  bool verifyBackups = true;
  // After each full backup that succeeded, the database's log is backed up
  // too ("同时备份事务日志"): in the FULL recovery model the log keeps every
  // change until a log backup takes it, and grows until the disk is full.
  bool logBackups = false;
  // The restore test of the newest verified backup: when it runs.
  RestoreTestPlan restoreTest;
  // Where each backup's start and result are POSTed, and each restore test's
  // result; empty: nowhere. They may hold a secret token: never logged whole.
  std::string pingAddress;
  std::string restoreTestPingAddress;
};

}  // namespace bakwyn
