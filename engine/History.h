#pragma once
// The history: every log line, with its full date, appended to a UTF-8 text file
// that outlives the program, so that after a restart (or a crash, or a power
// loss) anyone can still tell whether last night's backup happened.
//
// Each line goes to the disk in one flushed write: a crash loses at most the
// line being written. The file is kept within a size bound: when the next line
// would pass it, the file becomes "<name>.1.log", the older ones move up one
// number, and the oldest beyond the kept count is replaced.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/Clock.h"
#include "engine/FileSystem.h"

namespace bakwyn {

class History {
 public:
  // `path` is the current file, e.g. "C:\ProgramData\Bakwyn\Bakwyn.log"; `keep`
  // older files are kept beside it.
  History(FileSystem& files, std::string path, std::uint64_t maxBytes = 1024 * 1024, int keep = 3);

  // Appends "YYYY-MM-DD HH:NN:SS text" and a line break. False when the line
  // could not be written (the folder cannot be created, the disk is full);
  // the next line tries again.
  bool append(const LocalDateTime& at, const std::string& text);

  const std::string& path() const { return path_; }
  FileSystem& files() const { return files_; }
  // The name of the n-th older file: "<name>.<n>.log".
  std::string olderPath(int n) const;

 private:
  void rotate();

  FileSystem& files_;
  std::string path_;
  std::uint64_t maxBytes_;
  int keep_;
};

// Follows a history that another process writes (the window onto the backup
// service): whole lines only, each once.
class HistoryFollower {
 public:
  HistoryFollower(FileSystem& files, std::string path) : files_(files), path_(std::move(path)) {}

  // The first call gives the last `tail` lines of the file; every later call
  // the lines added since, and after a rotation the new file's lines from its
  // start. A line still being written waits for the next call.
  std::vector<std::string> newLines(size_t tail = 200);

 private:
  FileSystem& files_;
  std::string path_;
  std::optional<std::uint64_t> offset_;  // how far the lines were given; nothing before the first call
};

// "YYYY-MM-DD HH:NN:SS", as the history writes every line's date.
std::string FullStamp(const LocalDateTime& t);

}  // namespace bakwyn
