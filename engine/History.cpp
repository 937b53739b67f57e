#include "engine/History.h"

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

}  // namespace bakwyn
