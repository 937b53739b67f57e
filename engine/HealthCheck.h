#pragma once
// The health checks: what makes backups fail later, found while there is
// still time. Run at a save and once a day. Each check is a rule over what
// the server and the file system tell, testable without either; the run asks
// them and applies the rules, and a check that cannot be made never stops the
// others.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/BackupSettings.h"
#include "engine/FileSystem.h"
#include "server/ServerSession.h"

namespace bakwyn {

// A problem found. Its key names the problem and its level and stays the same
// from one check to the next: a problem found again need not be told again,
// and one found before but no longer found is told with HealthResolvedLine.
struct HealthFinding {
  std::string key;    // "log", "volume", "space", "space-copies", "size-80", "size-95"
  std::string line;   // for the log: "警告: ...", with the figures
  std::string title;  // short, for a balloon
  friend bool operator==(const HealthFinding&, const HealthFinding&) = default;
};

struct HealthReport {
  // The server was reached. When it was not, nothing was checked, and a
  // problem found before is not resolved by this report.
  bool reached = false;
  std::vector<HealthFinding> findings;
  // One line for each check that could not be made, and why: "无法检查...: ...".
  std::vector<std::string> skipped;
};

// The line for a problem `key` of `database` that an earlier check found and
// this one no longer finds ("已解决: ..."); nothing for a key no check makes.
std::optional<std::string> HealthResolvedLine(std::string_view key, std::string_view database);

// The log: a database in the FULL or BULK_LOGGED recovery model whose log
// waits for a log backup (log_reuse_wait_desc LOG_BACKUP) keeps every change
// until one is made, and grows until the disk is full, unless this program
// backs the log up (`logBackups`). The size and the part used (DBCC
// SQLPERF(LOGSPACE)) are named when known.
struct LogSpace {
  double megabytes = 0;    // "Log Size (MB)"
  double usedPercent = 0;  // "Log Space Used (%)"
};
std::optional<HealthFinding> CheckLog(std::string_view database, std::string_view recoveryModel,
                                      std::string_view reuseWait, bool logBackups,
                                      const std::optional<LogSpace>& space = std::nullopt);

// The same volume: backups on the volume of one of the database's files
// (`databaseFiles`, as the server names them) are lost with it, unless the
// second folder (settings.replicaDir) is on a volume that holds none of them.
// A volume that cannot be told (FileSystem::volumeOf) proves nothing either way.
std::optional<HealthFinding> CheckVolume(FileSystem& files, const BackupSettings& settings,
                                         const std::vector<std::string>& databaseFiles);

// What the next backup is judged by: the newest backup of the backup folder,
// or, before the first one, the pages the database uses.
struct BackupEstimate {
  std::uint64_t bytes = 0;
  bool fromBackup = true;  // false: the database's used pages times 8192
};
// The bytes the next backup of about `estimate` bytes needs: the estimate and
// a tenth more, at least 64 MB more (a database grows between two backups).
std::uint64_t SpaceNeeded(std::uint64_t estimate);
// The size of the newest ".bak" of `dir` (ending with "\"); nothing when it
// has none.
std::optional<std::uint64_t> NewestBackupSize(FileSystem& files, const std::string& dir);
// Free space: the folder `folder` (the backup folder, or with `copies` the
// second folder) has `available` bytes, fewer than SpaceNeeded. Nothing when
// the room cannot be told.
std::optional<HealthFinding> CheckFreeSpace(const std::string& folder, bool copies,
                                            const std::optional<std::uint64_t>& available,
                                            const BackupEstimate& estimate);
// For a backup that failed for lack of room: the room left on the backup
// folder's volume and the size of the last backup, "备份目录所在磁盘只剩
// 1.2 GB,上次备份 3.1 GB" (without the last backup when there is none);
// nothing when the room cannot be told.
std::optional<std::string> SpaceShortfall(FileSystem& files, const BackupSettings& settings);

// The size limit of the Express edition (EngineEdition 4): the data files of
// one database may hold 10 GB, from major version 17 on 50 GB. A database at
// 80 % of it is told, at 95 % told more urgently; other editions have none.
std::optional<HealthFinding> CheckDatabaseSize(std::string_view database, int engineEdition, int majorVersion,
                                               std::uint64_t dataBytes);

// How long a check waits for the server's answer to one statement: the
// catalogue answers at once, and a save waits for the checks.
inline constexpr int kHealthCheckTimeoutSeconds = 15;

// Opens `session` with the settings' login and runs every check on
// settings.database, its backup folder and its second folder. A query the
// server refuses, or whose answer cannot be read, skips the checks that need
// it and is named in `skipped`; the others are still made.
HealthReport RunHealthChecks(const BackupSettings& settings, ServerSession& session, FileSystem& files);

}  // namespace bakwyn
