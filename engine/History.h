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
#include <string>

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
  // The name of the n-th older file: "<name>.<n>.log".
  std::string olderPath(int n) const;

 private:
  void rotate();

  FileSystem& files_;
  std::string path_;
  std::uint64_t maxBytes_;
  int keep_;
};

// "YYYY-MM-DD HH:NN:SS", as the history writes every line's date.
std::string FullStamp(const LocalDateTime& t);

}  // namespace bakwyn
