#pragma once
// The history: every log line, with its full date, appended to a UTF-8 text file
// that outlives the program, so that after a restart (or a crash, or a power
// loss) anyone can still tell whether last night's backup happened.
//
// Each line goes to the disk in one flushed write: a crash loses at most the
// line being written. The file is kept within a size bound: when the next line
// would pass it, the file becomes "<name>.1.log", the older ones move up one
// number, and the oldest beyond the kept count is replaced.
//
// The service and the tray program append to the same shared file, which the
// service (an administrator) created; a program without the rights to it keeps
// its lines in a file of its own instead.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/Clock.h"
#include "engine/FileSystem.h"

namespace bakwyn {

class History {
 public:
  // `path` is the shared file, e.g. "C:\ProgramData\Bakwyn\Bakwyn.log";
  // `ownPath`, when given, takes the lines that cannot be written there. Each
  // keeps `keep` older files beside it.
  History(FileSystem& files, std::string path, std::string ownPath = {}, std::uint64_t maxBytes = 1024 * 1024,
          int keep = 3);

  // Appends "YYYY-MM-DD HH:NN:SS text" and a line break to the shared file, or
  // when that fails to the own one. False when the line reached neither (the
  // folder cannot be created, the disk is full); the next line tries again.
  // `at` also times the retries: a failed rotation, or a shared file that
  // refused a line, is tried again once a minute of line times has passed.
  bool append(const LocalDateTime& at, const std::string& text);

  // The shared file, which the service writes and the window follows.
  const std::string& path() const { return shared_.path; }
  // The file of this program's own, for the lines the shared one refused; empty when none.
  const std::string& ownPath() const { return own_.path; }
  // Whether a line of this run went to the own file.
  bool usedOwn() const { return usedOwn_; }
  // The file a user should open to see this program's lines: the own one when
  // the last line went there, else the shared one.
  std::string shownPath() const { return lastOwn_ ? own_.path : shared_.path; }
  FileSystem& files() const { return files_; }
  // The name of the shared file's n-th older file: "<name>.<n>.log".
  std::string olderPath(int n) const;

 private:
  // What this program knows of one history file.
  struct File {
    std::string path;
    // The first line of this run looks at how the file ends (a crash may
    // have left half a line); later ones know.
    bool looked = false;
    // The last append failed: the file's size before it and the bytes asked
    // for, so that the next append can take out what it left.
    struct Failure {
      std::uint64_t sizeBefore = 0;
      std::string bytes;
    };
    std::optional<Failure> failed;
    // A rotation moved the current file away but could not finish: the
    // moved file waits under its temporary name.
    bool unfinished = false;
    // No rotation is tried before this moment (milliseconds, CalendarMilliseconds).
    std::optional<std::int64_t> rotateAfter;
  };

  bool write(File& file, std::int64_t now, const std::string& line);
  bool rotate(File& file);
  bool finishRotation(const File& file) const;

  FileSystem& files_;
  File shared_;
  File own_;
  std::uint64_t maxBytes_;
  int keep_;
  std::optional<std::int64_t> sharedAfter_;  // with an own file: the shared one is not tried before this moment
  bool usedOwn_ = false;
  bool lastOwn_ = false;
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

// A line of the history at its date: "YYYY-MM-DD HH:NN:SS text" gives the
// stamp and the text; a line without one (a header) no stamp and all of it.
struct HistoryLine {
  std::string_view stamp;
  std::string_view text;
};
HistoryLine SplitHistoryLine(std::string_view line);

}  // namespace bakwyn
