#pragma once
// The record of the backups (full backups and this program's log backups)
// that the server read back and found whole (RESTORE VERIFYONLY ... WITH
// CHECKSUM), for the cleanup, which never lets the last proven backup go, for
// the copies, and for the restore test, which restores only a
// proven one, also after a restart.
//
// It is a text file in the backup folder itself, beside the backups it speaks
// of: it goes wherever they go (a folder moved, copied back from elsewhere or
// chosen again later still says which of its backups were proven), the
// cleanup lists that folder anyway, and the service and the tray program,
// which both make backups there, both reach it. One line per verified set:
//   <file name> TAB <position> TAB <file size> TAB <yyyy-mm-dd hh:nn:ss> LF
// The backup folder may be writable by users while the service, as the
// system, deletes in it: a line is taken only when it is exactly of that shape,
// and a name from it is only ever compared with the names the folder's own
// listing returned, never made into a path. The size ties a line to the file as
// it was when verified: a file written to since (a failed backup appended to
// it, a file cut short) or a new file under an old name is not proven by it.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/Clock.h"
#include "engine/FileSystem.h"

namespace bakwyn {

// The record's name in the backup folder. Not ".bak": no cleanup ever takes it
// for a backup.
inline constexpr std::string_view kVerifiedRecordName = "Bakwyn校验记录.txt";

// One line of the record: the backup set at `position` (RESTORE ... WITH FILE =)
// of the backup `name` in the record's own folder passed verification at `at`,
// when the file had `size` bytes.
struct VerifiedEntry {
  std::string name;
  int position = 0;
  std::uint64_t size = 0;
  LocalDateTime at;
  friend bool operator==(const VerifiedEntry&, const VerifiedEntry&) = default;
};

// The line of `entry`, ending with "\n".
std::string FormatVerifiedLine(const VerifiedEntry& entry);
// `line` (without its "\n") read back, or nothing unless it is exactly what
// FormatVerifiedLine writes for a plain ".bak" file name or a log backup's
// (IsLogBackupName): four fields, a position from 1 on and a size without sign
// or leading zeros, a real date. Versions that made no log backups pass over
// the lines of log backups as they pass over any line they cannot read.
std::optional<VerifiedEntry> ParseVerifiedLine(std::string_view line);

// The well-formed lines of the record of `dir` (ending with "\"), oldest
// first. Only whole lines of the record's last kVerifiedRecordReadLimit bytes
// count: a line cut off by a power loss is no line, and a record grown huge
// cannot make the program read it all. Nothing when there is no record.
std::vector<VerifiedEntry> ReadVerifiedRecord(FileSystem& files, const std::string& dir);
inline constexpr std::size_t kVerifiedRecordReadLimit = 1024 * 1024;

// Of `entries`, the highest position verified in the file `name` when it had
// `size` bytes, or 0 when none proves it as it is.
int VerifiedPosition(const std::vector<VerifiedEntry>& entries, std::string_view name, std::uint64_t size);

// Records that the set at `position` of the backup `name` in `dir` passed
// verification at `at`, with the file's size now. One line appended and
// flushed (FileSystem::appendDurably, which goes through no link and into no
// file with other names). Once the record has grown past
// kVerifiedRecordPruneAbove, it is written anew instead with only the lines
// that still prove a backup of the folder, under a temporary name first and
// then renamed over the old one; if that fails, the line is appended after all.
FileResult RecordVerified(FileSystem& files, const std::string& dir, const std::string& name, int position,
                          const LocalDateTime& at);
inline constexpr std::uint64_t kVerifiedRecordPruneAbove = 64 * 1024;

// A backup that passed verification, as the restore test takes it.
struct VerifiedBackup {
  std::string path;  // the folder and a name that its listing returned
  int position = 0;  // the verified set in it
  LocalDateTime modified;
};

// The newest backup of `dir` that the record proves and that still exists,
// with the set to restore: by the same rule as the cleanup's (see ListBackups
// in BackupEngine.h), so the restore test tries exactly the backup that the
// cleanup holds on to. A backup dated after `now` (written before the clock
// was set back) is not taken. Nothing when no backup is proven.
std::optional<VerifiedBackup> NewestVerified(FileSystem& files, const std::string& dir, const LocalDateTime& now);

}  // namespace bakwyn
