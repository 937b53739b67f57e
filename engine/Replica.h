#pragma once
// The second copy of every backup: after a successful backup, the backups not
// yet copied go to a second folder (another disk, a removable disk, a network
// share), each verified against its original before it takes a backup's name,
// and that folder is then cleaned by the same rules as the backup folder.
//
// ReplicateBackups does one such pass, synchronously, through the FileSystem
// seam. Replica runs passes on a worker thread of its own and hands their log
// lines back to whoever polls it, so that the user-interface thread never
// waits for a copy and the log sink is only ever called on that thread.
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
// 2. list the backups to copy: every ".bak" file of the backup folder that
//    the backup folder's own cleanup would keep at `now` and that has no copy
//    of the same name and size there, newest first; the new backup is among
//    them even when it cannot be read, so that its failure is told;
// 3. copy each (copy, compare size and CRC-32C read back from the disk,
//    check that the backup did not change meanwhile, rename), logging
//    "备份已复制到: <copy>". A backup that fails is logged as
//    "备份复制失败: <backup> -> <folder of the copies> (<reason>)" and passed
//    over, and the others go on; when the copy cannot be written at all (the
//    folder is unreachable or read-only, the disk is full) the rest would
//    fail the same way and wait for the next pass;
// 4. delete the expired copies there, by the backup folder's rules (see
//    ExpiredBackups in BackupEngine.h), also after a failure: a full folder
//    is what makes copies fail.
// `stop`, when set, ends the pass between two pieces of a copy, without a line.
ReplicaReport ReplicateBackups(FileSystem& files, const ReplicaRequest& request, const LocalDateTime& now,
                               const std::atomic<bool>* stop = nullptr);

// Runs passes on a worker thread. Every member is called on the one thread
// that owns the object (the user-interface thread); `files` and `clock` are
// used on the worker and must allow that (WindowsFileSystem, PosixFileSystem
// and SystemClock keep no state).
class Replica {
 public:
  Replica(FileSystem& files, const Clock& clock);
  // Stops a pass under way between two pieces of its copy (its temporary file
  // is removed) and waits for the worker. Lines not yet polled are dropped.
  ~Replica();
  Replica(const Replica&) = delete;
  Replica& operator=(const Replica&) = delete;

  // Asks for a pass and returns at once. When a pass is under way, one more
  // runs after it with the latest request (a request waiting is replaced, not
  // queued twice): that pass finds every backup the earlier ones left.
  void start(ReplicaRequest request);
  // Hands the lines the worker produced since the last call to `log`, in
  // order, on the calling thread. Returns true while a pass runs or waits.
  // Does not allocate when there is nothing to hand over, so that the
  // 100-millisecond tick may call it every time.
  bool poll(const LogSink& log);

 private:
  void work();

  FileSystem& files_;
  const Clock& clock_;
  std::mutex mutex_;
  std::optional<ReplicaRequest> waiting_;  // under mutex_
  std::vector<std::string> lines_;         // under mutex_
  bool running_ = false;                   // under mutex_: the worker is between start and its end
  std::atomic<bool> busy_{false};          // running_, readable without the lock
  std::atomic<bool> news_{false};          // lines_ has lines, or the worker ended and waits to be joined
  std::atomic<bool> stop_{false};
  std::thread worker_;  // owner thread only
};

}  // namespace bakwyn
