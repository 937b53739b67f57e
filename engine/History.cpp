#include "engine/History.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <utility>

namespace bakwyn {
namespace {

std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace

std::string FullStamp(const LocalDateTime& t) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                t.second);
  return text;
}

History::History(FileSystem& files, std::string path, std::uint64_t maxBytes, int keep)
    : files_(files), path_(std::move(path)), maxBytes_(maxBytes), keep_(keep) {}

std::string History::olderPath(int n) const {
  std::string base = path_;
  if (base.size() >= 4 && base.compare(base.size() - 4, 4, ".log") == 0) base.resize(base.size() - 4);
  return base + "." + std::to_string(n) + ".log";
}

void History::rotate() {
  // The oldest kept file is replaced by the one before it, and so on down to
  // the current file, which then starts anew.
  for (int n = keep_ - 1; n >= 1; --n) {
    if (files_.fileSize(olderPath(n))) files_.replaceFile(olderPath(n), olderPath(n + 1));
  }
  if (keep_ >= 1)
    files_.replaceFile(path_, olderPath(1));
  else
    files_.removeFile(path_);
}

bool History::append(const LocalDateTime& at, const std::string& text) {
  // CR LF, so that every editor on Windows shows one line per entry.
  const std::string line = FullStamp(at) + " " + text + "\r\n";
  const auto size = files_.fileSize(path_);
  if (size && *size > 0 && *size + line.size() > maxBytes_) rotate();
  if (!size) files_.createDirectories(FolderOf(path_));
  return static_cast<bool>(files_.appendDurably(path_, line));
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
