#pragma once
// The second copy of every backup: after a successful backup, the backups not
// yet copied go to a second folder (another disk, a removable disk, a network
// share), each verified against its original before it takes a backup's name,
// and that folder is then cleaned by the same rules as the backup folder.
//
// ReplicateBackups does one such pass, synchronously, through the FileSystem
// seam; the program runs it on the worker that made the backup.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "engine/BackupEngine.h"
#include "engine/Clock.h"
#include "engine/FileSystem.h"

namespace bakwyn {

// CRC-32C (Castagnoli) of a byte stream, computed piece by piece:
// Crc32c(Crc32c(0, a), b) == Crc32c(0, a + b).
std::uint32_t Crc32c(std::uint32_t crc, const char* data, std::size_t size);

// A copy is written under its backup's name followed by this, and renamed to
// the backup's name only once verified. Not ".bak" at the end, so that no
// cleanup ever takes a half-written copy for a backup.
inline constexpr std::string_view kReplicaTempSuffix = ".bakwyn-copy";

// Copies pass through one buffer of this size, whatever the size of the file.
inline constexpr std::size_t kReplicaChunkSize = 1024 * 1024;

// What one pass works from: a copy of the settings taken when it was asked
// for, so that settings applied meanwhile never change a pass under way.
struct ReplicaRequest {
  std::string backupDir;   // ends with "\"
  std::string replicaDir;  // the second folder; ends with "\"
  std::string newBackup;   // the backup just written (a path in backupDir), or empty
  bool cleanupEnabled = false;
  std::int32_t retentionDays = 0;
  // Whose backups these are. A second folder is often a share that several
  // computers copy to, and copies are named by date and time only: each
  // computer's copies of each database go to a folder of their own in it.
  std::string computer;
  std::string database;
  // With verification on: only the backups that passed it are copied, and
  // the backup folder's cleanup rule is the verified one. A backup that failed
  // its verification is no backup to keep a second copy of.
  bool verifiedOnly = false;
};

// `name` as one folder name that stays where it is put: separators,
// characters a folder name cannot hold (control characters among them) and
// trailing dots and blanks (which the system would drop, so that ".." would
// name the folder above) each replaced by "_"; an empty name is "_"; a device
// name ("CON", "lpt1.txt", "COM¹") gets a "_" in front, so that it names a
// folder rather than the device.
std::string FolderName(std::string_view name);

// Where a pass puts its copies and cleans up: "<replicaDir><computer>\<database>\".
std::string ReplicaFolder(const ReplicaRequest& request);

// A backup that changes while it is copied is copied again from its start, up
// to this many times in all.
inline constexpr int kReplicaCopyAttempts = 3;

// The log lines of a pass, in order, and whether every backup due for copying
// is now in the second folder.
struct ReplicaReport {
  std::vector<std::string> lines;
  bool complete = false;
};

// One pass, in this order (the folder of the copies is ReplicaFolder; nothing
// outside it is created, removed or cleaned, so copies that an earlier version
// left at the top of the second folder, and other computers' and programs'
// files, stay as they are):
// 1. create the folder of the copies; remove the copies a cut-off pass left
//    there under a temporary name;
// 2. list the backups to copy: every ".bak" file and every log backup of this
//    program (IsLogBackupName) of the backup folder that the backup folder's
//    own cleanup would keep at `now` (and that was verified, with
//    `verifiedOnly`) and that has no copy of the same name and size there,
//    newest first; the new backup is among them even when it cannot be read,
//    so that its failure is told;
// 3. copy each (copy, compare size and CRC-32C read back from the disk,
//    check that the backup did not change meanwhile, rename), logging
//    "备份已复制到: <copy>". A backup that fails is logged as
//    "备份复制失败: <backup> -> <folder of the copies> (<reason>)" and passed
//    over, and the others go on; when the copy cannot be written at all (the
//    folder is unreachable or read-only, the disk is full) the rest would
//    fail the same way and wait for the next pass;
// 4. delete the expired copies there, the log backups' among them, by the
//    backup folder's rules (see ListBackups in BackupEngine.h), also after a
//    failure: a full folder is what makes copies fail.
// `stop`, when set, ends the pass between two pieces of a copy, without a line.
ReplicaReport ReplicateBackups(FileSystem& files, const ReplicaRequest& request, const LocalDateTime& now,
                               const std::atomic<bool>* stop = nullptr);

}  // namespace bakwyn
