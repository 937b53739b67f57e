#include "engine/VerifiedBackups.h"

#include <algorithm>
#include <limits>
#include <set>
#include <utility>

#include "engine/BackupEngine.h"

namespace bakwyn {
namespace {

std::string Digits(std::uint64_t value, int width) {
  std::string out = std::to_string(value);
  if (out.size() < static_cast<size_t>(width)) out.insert(0, static_cast<size_t>(width) - out.size(), '0');
  return out;
}

bool AllDigits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A number written the one way FormatVerifiedLine writes it: digits only, no
// leading zero (but "0" itself), at most `max`.
std::optional<std::uint64_t> Number(std::string_view text, std::uint64_t max) {
  if (!AllDigits(text) || (text.size() > 1 && text[0] == '0') || text.size() > 20) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (max - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

int Fixed(std::string_view text) {
  int value = 0;
  for (const char c : text) value = value * 10 + (c - '0');
  return value;
}

int DaysIn(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

// "yyyy-mm-dd hh:nn:ss", and a date and time that exist.
std::optional<LocalDateTime> Moment(std::string_view text) {
  constexpr std::string_view kShape = "0000-00-00 00:00:00";
  if (text.size() != kShape.size()) return std::nullopt;
  for (size_t i = 0; i < text.size(); ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (kShape[i] == '0' ? !digit : text[i] != kShape[i]) return std::nullopt;
  }
  LocalDateTime t{Fixed(text.substr(0, 4)), Fixed(text.substr(5, 2)),  Fixed(text.substr(8, 2)),
                  Fixed(text.substr(11, 2)), Fixed(text.substr(14, 2)), Fixed(text.substr(17, 2))};
  if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > DaysIn(t.year, t.month) || t.hour > 23 || t.minute > 59 ||
      t.second > 59)
    return std::nullopt;
  return t;
}

// A plain name of a file in the folder itself: no separator, no drive, no
// control character, not "." or "..", a backup's extension or a log backup's
// name. The listing never returns anything else, so nothing else can ever
// match one of its names; this only keeps such lines out of a pruned record.
bool PlainBackupName(std::string_view name) {
  if (!(HasBackupExtension(name) || IsLogBackupName(name)) || name == "." || name == "..") return false;
  return std::none_of(name.begin(), name.end(), [](char c) {
    return c == '\\' || c == '/' || c == ':' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
  });
}

std::string RecordPath(const std::string& dir) { return dir + std::string(kVerifiedRecordName); }

// The record written anew with the lines of `entries` that still prove a
// backup of `dir` as it is now, then `line`. False when it could not be done:
// the caller appends instead.
bool Rewrite(FileSystem& files, const std::string& dir, const std::vector<VerifiedEntry>& entries,
             const std::string& newName, const std::string& line, const LocalDateTime& at) {
  const std::vector<std::string> listed = files.listDirectory(dir);
  const std::set<std::string> names(listed.begin(), listed.end());
  // A listing that cannot even see the backup just verified is no listing to
  // judge the others by.
  if (!names.count(newName)) return false;
  std::string kept;
  for (const VerifiedEntry& e : entries) {
    if (!names.count(e.name) || files.fileSize(dir + e.name) != e.size) continue;
    kept += FormatVerifiedLine(e);
  }
  kept += line;
  const std::string record = RecordPath(dir);
  const std::string temporary = record + ".new";
  Opened<FileWriter> writer = files.createForWriting(temporary);
  if (!writer) return false;
  const bool written = writer.file->write(kept.data(), kept.size()) && writer.file->finish(at);
  writer.file.reset();
  if (written && files.replaceFile(temporary, record)) return true;
  files.removeFile(temporary);
  return false;
}

}  // namespace

std::string FormatVerifiedLine(const VerifiedEntry& e) {
  return e.name + "\t" + std::to_string(e.position) + "\t" + std::to_string(e.size) + "\t" +
         Digits(static_cast<std::uint64_t>(e.at.year), 4) + "-" + Digits(static_cast<std::uint64_t>(e.at.month), 2) +
         "-" + Digits(static_cast<std::uint64_t>(e.at.day), 2) + " " +
         Digits(static_cast<std::uint64_t>(e.at.hour), 2) + ":" + Digits(static_cast<std::uint64_t>(e.at.minute), 2) +
         ":" + Digits(static_cast<std::uint64_t>(e.at.second), 2) + "\n";
}

std::optional<VerifiedEntry> ParseVerifiedLine(std::string_view line) {
  std::string_view fields[4];
  size_t count = 0;
  for (size_t from = 0;;) {
    const size_t tab = line.find('\t', from);
    if (count == 4) return std::nullopt;  // a fifth field
    fields[count++] = line.substr(from, tab == std::string_view::npos ? std::string_view::npos : tab - from);
    if (tab == std::string_view::npos) break;
    from = tab + 1;
  }
  if (count != 4 || !PlainBackupName(fields[0])) return std::nullopt;
  const std::optional<std::uint64_t> position = Number(fields[1], static_cast<std::uint64_t>(std::numeric_limits<int>::max()));
  const std::optional<std::uint64_t> size = Number(fields[2], std::numeric_limits<std::uint64_t>::max());
  const std::optional<LocalDateTime> at = Moment(fields[3]);
  if (!position || *position == 0 || !size || !at) return std::nullopt;
  return VerifiedEntry{std::string(fields[0]), static_cast<int>(*position), *size, *at};
}

std::vector<VerifiedEntry> ReadVerifiedRecord(FileSystem& files, const std::string& dir) {
  const std::string record = RecordPath(dir);
  const std::optional<std::uint64_t> size = files.fileSize(record);
  if (!size) return {};
  const std::uint64_t from = *size > kVerifiedRecordReadLimit ? *size - kVerifiedRecordReadLimit : 0;
  const std::optional<std::string> text = files.readShared(record, from, kVerifiedRecordReadLimit);
  if (!text) return {};
  std::string_view rest(*text);
  // Read from the middle of the record: the first piece is the end of a line.
  if (from > 0) {
    const size_t end = rest.find('\n');
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
  }
  std::vector<VerifiedEntry> entries;
  // What follows the last "\n" is a line whose write did not finish.
  for (size_t end; (end = rest.find('\n')) != std::string_view::npos; rest.remove_prefix(end + 1)) {
    if (std::optional<VerifiedEntry> entry = ParseVerifiedLine(rest.substr(0, end))) entries.push_back(std::move(*entry));
  }
  return entries;
}

int VerifiedPosition(const std::vector<VerifiedEntry>& entries, std::string_view name, std::uint64_t size) {
  int position = 0;
  for (const VerifiedEntry& e : entries) {
    if (e.name == name && e.size == size) position = std::max(position, e.position);
  }
  return position;
}

FileResult RecordVerified(FileSystem& files, const std::string& dir, const std::string& name, int position,
                          const LocalDateTime& at) {
  const std::optional<std::uint64_t> size = files.fileSize(dir + name);
  if (!size) return {false, "无法读取备份文件的大小: " + dir + name};
  const std::string line = FormatVerifiedLine({name, position, *size, at});
  const std::string record = RecordPath(dir);
  if (const std::optional<std::uint64_t> grown = files.fileSize(record); grown && *grown > kVerifiedRecordPruneAbove) {
    if (Rewrite(files, dir, ReadVerifiedRecord(files, dir), name, line, at)) return {true, {}};
  }
  return files.appendDurably(record, line);
}

std::optional<VerifiedBackup> NewestVerified(FileSystem& files, const std::string& dir, const LocalDateTime& now) {
  const std::int64_t until = CalendarMilliseconds(now);
  std::optional<VerifiedBackup> newest;
  std::int64_t newestAt = 0;
  // Full backups only: a log backup restores nothing by itself.
  for (const BackupFile& b : ListBackups(files, dir, false, 0, now, true)) {
    const std::int64_t at = CalendarMilliseconds(b.modified);
    if (b.position == 0 || at > until) continue;
    // Two proven backups of the same minute (to the millisecond): the later
    // name, so that the answer does not depend on the listing's order.
    if (newest && (at < newestAt || (at == newestAt && dir + b.name < newest->path))) continue;
    newest = VerifiedBackup{dir + b.name, b.position, b.modified};
    newestAt = at;
  }
  return newest;
}

}  // namespace bakwyn
