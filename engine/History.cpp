#include "engine/History.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <utility>

namespace bakwyn {
namespace {

// How long a failed rotation, or a shared file that refused a line, waits
// before it is tried again: long enough that a file that stays refused costs
// one failed attempt a minute, not one a line.
constexpr std::int64_t kRetryMs = 60 * 1000;

std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string WithoutLog(const std::string& path) {
  if (path.size() >= 4 && path.compare(path.size() - 4, 4, ".log") == 0) return path.substr(0, path.size() - 4);
  return path;
}

std::string OlderPath(const std::string& path, int n) { return WithoutLog(path) + "." + std::to_string(n) + ".log"; }

// Where a rotation puts the current file until the older ones have moved up.
std::string RotatingPath(const std::string& path) { return WithoutLog(path) + ".rotating.log"; }

// Whether a retry is due at `now`. A clock set back by more than the wait (a
// correction, a time zone change) must not put the retry off until the clock
// is back where it was.
bool Due(std::int64_t now, const std::optional<std::int64_t>& after) {
  return !after || now >= *after || *after - now > kRetryMs;
}

// Whether the file of `size` bytes ends with a line break; nothing when it
// cannot be read.
std::optional<bool> EndsWithLineBreak(FileSystem& files, const std::string& path, std::uint64_t size) {
  const std::optional<std::string> last = files.readShared(path, size - 1, 1);
  if (!last || last->size() != 1) return std::nullopt;
  return last->front() == '\n';
}

}  // namespace

std::string FullStamp(const LocalDateTime& t) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                t.second);
  return text;
}

HistoryLine SplitHistoryLine(std::string_view line) {
  if (line.size() > 20 && line[4] == '-' && line[10] == ' ' && line[19] == ' ') return {line.substr(0, 19), line.substr(20)};
  return {{}, line};
}

History::History(FileSystem& files, std::string path, std::string ownPath, std::uint64_t maxBytes, int keep)
    : files_(files), maxBytes_(maxBytes), keep_(keep) {
  shared_.path = std::move(path);
  own_.path = std::move(ownPath);
}

std::string History::olderPath(int n) const { return OlderPath(shared_.path, n); }

bool History::append(const LocalDateTime& at, const std::string& text) {
  // CR LF, so that every editor on Windows shows one line per entry.
  const std::string line = FullStamp(at) + " " + text + "\r\n";
  const std::int64_t now = CalendarMilliseconds(at);
  // The shared file first, whenever it is due: an administrator may have
  // mended its rights since. Without an own file every line tries it; with
  // one, a refusal is tried again only once a minute, so that a program
  // without the rights does not fail to open it for every line.
  const bool hasOwn = !own_.path.empty();
  if (!hasOwn || Due(now, sharedAfter_)) {
    if (write(shared_, now, line)) {
      sharedAfter_.reset();
      lastOwn_ = false;
      return true;
    }
    sharedAfter_ = now + kRetryMs;
  }
  if (!hasOwn || !write(own_, now, line)) return false;
  usedOwn_ = lastOwn_ = true;
  return true;
}

bool History::write(File& file, std::int64_t now, const std::string& line) {
  std::optional<std::uint64_t> size = files_.fileSize(file.path);
  const bool missing = !size;
  // Every line starts on a line of its own. What a failed append left is taken
  // out again; when the file still does not end with a line break after that
  // (the cut could not be made, or a crash before this run left half a line),
  // the new line starts with one: that piece stays, but no whole line is glued
  // to it.
  bool breakFirst = false;
  if (file.failed || !file.looked) {
    if (file.failed) {
      const auto& [before, bytes] = *file.failed;
      // Only what the failed append itself can have left is cut: the file grew
      // by at most its bytes, and by their beginning. Anything else is another
      // writer's (the service and the tray program share the file) or a
      // rotation's, and stays.
      if (size && *size > before && *size - before <= bytes.size()) {
        const auto grown = static_cast<std::size_t>(*size - before);
        const std::optional<std::string> piece = files_.readShared(file.path, before, grown);
        if (piece && bytes.compare(0, grown, *piece) == 0 && files_.truncateFile(file.path, before)) size = before;
      }
    }
    if (size && *size > 0) {
      const std::optional<bool> whole = EndsWithLineBreak(files_, file.path, *size);
      // Unreadable: after a failure a break is the safe side; at the start of
      // a run the file is taken to end as it normally does.
      breakFirst = whole ? !*whole : file.failed.has_value();
    }
    file.failed.reset();
    file.looked = true;
  }

  if (file.unfinished && Due(now, file.rotateAfter)) {
    file.unfinished = !finishRotation(file);
    file.rotateAfter = file.unfinished ? std::optional<std::int64_t>(now + kRetryMs) : std::nullopt;
  }
  if (size && *size > 0 && *size + line.size() > maxBytes_ && Due(now, file.rotateAfter)) {
    const bool moved = rotate(file);
    if (moved) {
      size.reset();
      breakFirst = false;
    }
    // A rotation that cannot be made now is tried again a minute later; until
    // then the lines go on into the current file.
    file.rotateAfter = !moved || file.unfinished ? std::optional<std::int64_t>(now + kRetryMs) : std::nullopt;
  }

  if (missing) files_.createDirectories(FolderOf(file.path));
  std::string bytes = breakFirst ? "\r\n" + line : line;
  if (files_.appendDurably(file.path, bytes)) return true;
  file.failed = File::Failure{size.value_or(0), std::move(bytes)};
  return false;
}

bool History::rotate(File& file) {
  if (keep_ < 1) return static_cast<bool>(files_.removeFile(file.path));
  // A rotation that stopped after moving the current file away (a crash, an
  // older file that could not move) is finished first: that file is older
  // than the current one, and renaming the current one onto it would lose it.
  if (!finishRotation(file)) return false;
  file.unfinished = false;
  // The current file moves first, under a name of its own. When it cannot
  // (another program holds it open, no right to rename it), nothing else has
  // moved either: the older files stay as they are.
  if (!files_.replaceFile(file.path, RotatingPath(file.path))) return false;
  file.unfinished = !finishRotation(file);
  return true;
}

bool History::finishRotation(const File& file) const {
  const std::string moving = RotatingPath(file.path);
  // Gone: another writer of the same history finished it. Moving the older
  // files up without it would only drop the oldest.
  if (!files_.fileSize(moving)) return true;
  // The oldest kept file is replaced by the one before it, and so on down to
  // the moved current file. One that cannot move stops the rest, so that no
  // file is renamed onto one still there; the next try goes on from there.
  for (int n = keep_ - 1; n >= 1; --n) {
    const std::string older = OlderPath(file.path, n);
    if (files_.fileSize(older) && !files_.replaceFile(older, OlderPath(file.path, n + 1))) return false;
  }
  return static_cast<bool>(files_.replaceFile(moving, OlderPath(file.path, 1)));
}

std::vector<std::string> HistoryFollower::newLines(size_t tail) {
  // What one look reads at most: the tail shown first, and what a busy second adds.
  constexpr std::uint64_t kTailBytes = 64 * 1024;
  constexpr std::uint64_t kMostBytes = 1024 * 1024;
  const std::optional<std::uint64_t> size = files_.fileSize(path_);
  const bool first = !offset_;
  std::uint64_t from = offset_.value_or(0);
  if (!size) {
    // No history yet: everything it gets is new.
    offset_ = 0;
    return {};
  }
  if (*size < from) from = 0;  // rotated: the current file is a new one
  if (first && *size > kTailBytes) from = *size - kTailBytes;
  if (*size == from) {
    offset_ = from;
    return {};
  }
  const std::optional<std::string> bytes = files_.readShared(path_, from, static_cast<size_t>(std::min(*size - from, kMostBytes)));
  if (!bytes) return {};
  size_t start = 0;
  if (first && from > 0) {
    // The tail starts inside a line: it begins after the first break.
    const size_t newline = bytes->find('\n');
    if (newline == std::string::npos) return {};
    start = newline + 1;
  }
  std::vector<std::string> lines;
  size_t end = start;
  for (size_t newline; (newline = bytes->find('\n', end)) != std::string::npos; end = newline + 1) {
    std::string line = bytes->substr(end, newline - end);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
  }
  offset_ = from + end;
  if (first && lines.size() > tail) lines.erase(lines.begin(), lines.end() - static_cast<std::ptrdiff_t>(tail));
  return lines;
}

}  // namespace bakwyn
