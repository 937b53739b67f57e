#pragma once
// Stand-ins for the engine's seams: a clock set by the test, a scripted server
// session that records what it was asked, an in-memory backup directory and a
// log that keeps its lines.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/Clock.h"
#include "engine/FileSystem.h"
#include "tests/support/FakeSession.h"
#include "server/ServerSession.h"

namespace bakwyn::testing {

inline LocalDateTime At(int year, int month, int day, int hour, int minute, int second = 0, int ms = 0) {
  return {year, month, day, hour, minute, second, ms};
}

// Calendar arithmetic for the tests, through std::chrono rather than the
// engine's own helpers: milliseconds since 1970-01-01 00:00 of a wall-clock reading.
inline std::int64_t ToMs(const LocalDateTime& t) {
  using namespace std::chrono;
  const sys_days day = year_month_day{year{t.year}, month{static_cast<unsigned>(t.month)}, std::chrono::day{static_cast<unsigned>(t.day)}};
  return duration_cast<milliseconds>(day.time_since_epoch()).count() +
         ((t.hour * 60LL + t.minute) * 60 + t.second) * 1000 + t.millisecond;
}

inline LocalDateTime FromMs(std::int64_t ms) {
  using namespace std::chrono;
  const auto dayCount = static_cast<int>(ms >= 0 ? ms / 86400000 : (ms - 86399999) / 86400000);
  const year_month_day date{sys_days{days{dayCount}}};
  std::int64_t rest = ms - dayCount * 86400000LL;
  return {static_cast<int>(date.year()), static_cast<int>(static_cast<unsigned>(date.month())),
          static_cast<int>(static_cast<unsigned>(date.day())), static_cast<int>(rest / 3600000),
          static_cast<int>(rest / 60000 % 60), static_cast<int>(rest / 1000 % 60), static_cast<int>(rest % 1000)};
}

inline std::string Show(const LocalDateTime& t) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", t.year, t.month, t.day, t.hour, t.minute,
                t.second, t.millisecond);
  return text;
}

class FakeClock final : public Clock {
 public:
  explicit FakeClock(LocalDateTime t = At(2004, 11, 17, 10, 30)) : t_(t) {}
  LocalDateTime now() const override { return next_ ? next_() : t_; }
  void set(LocalDateTime t) { t_ = t; }
  // Each reading asks `next` instead: for clocks that move between readings.
  void script(std::function<LocalDateTime()> next) { next_ = std::move(next); }

 private:
  LocalDateTime t_;
  std::function<LocalDateTime()> next_;
};

// One backup directory held in memory. Entries are files unless marked as a
// directory; a locked file cannot be opened or deleted.
class FakeFiles final : public FileSystem {
 public:
  struct Entry {
    LocalDateTime modified;
    bool directory = false;
    bool locked = false;
    std::string undeletable{};  // non-empty: it opens, but deleting it fails for this reason
  };

  explicit FakeFiles(std::string dir = "D:\\bak\\") : dir_(std::move(dir)) {}

  bool createDirectories(const std::string& dir) override {
    created.push_back(dir);
    return dir == dir_;
  }
  std::vector<std::string> listDirectory(const std::string& dir) override {
    ++listings;
    std::vector<std::string> names;
    if (dir == dir_) {
      for (const auto& [name, entry] : entries) names.push_back(name);
    }
    return names;
  }
  std::optional<LocalDateTime> readModifiedTime(const std::string& path) override {
    const Entry* entry = find(path);
    if (!entry || entry->directory || entry->locked) return std::nullopt;
    return entry->modified;
  }
  FileResult removeFile(const std::string& path) override {
    removed.push_back(path);
    const Entry* entry = find(path);
    if (!entry) return {false, "The system cannot find the file specified."};
    if (entry->directory) return {false, "Access is denied."};
    if (entry->locked) return {false, "The process cannot access the file because it is being used by another process."};
    if (!entry->undeletable.empty()) return {false, entry->undeletable};
    entries.erase(path.substr(dir_.size()));
    return {true, {}};
  }
  // Files outside the backup directory (the history) are kept whole, by path.
  std::optional<std::uint64_t> fileSize(const std::string& path) override {
    const auto it = others.find(path);
    if (it == others.end()) return std::nullopt;
    return it->second.size();
  }
  FileResult appendDurably(const std::string& path, const std::string& bytes) override {
    appends.push_back(path);
    if (failAppend) return {false, "There is not enough space on the disk."};
    if (refuses(path)) return {false, "Access is denied."};
    if (appendWritesOnly) {
      others[path] += bytes.substr(0, *appendWritesOnly);
      return {false, "There is not enough space on the disk."};
    }
    others[path] += bytes;
    return {true, {}};
  }
  std::optional<std::string> readShared(const std::string& path, std::uint64_t offset, std::size_t maxBytes) override {
    const auto it = others.find(path);
    if (it == others.end()) return std::nullopt;
    if (offset >= it->second.size()) return std::string();
    return it->second.substr(static_cast<size_t>(offset), maxBytes);
  }
  FileResult replaceFile(const std::string& from, const std::string& to) override {
    renames.push_back(from + " -> " + to);
    if (refuses(from) || refuses(to)) return {false, "Access is denied."};
    if (held.count(from) || held.count(to))
      return {false, "The process cannot access the file because it is being used by another process."};
    const auto it = others.find(from);
    if (it == others.end()) return {false, "The system cannot find the file specified."};
    others[to] = std::move(it->second);
    others.erase(from);
    return {true, {}};
  }
  FileResult truncateFile(const std::string& path, std::uint64_t size) override {
    truncations.push_back(path + " " + std::to_string(size));
    if (failTruncate || refuses(path)) return {false, "Access is denied."};
    const auto it = others.find(path);
    if (it == others.end()) return {false, "The system cannot find the file specified."};
    if (size > it->second.size()) return {false, "The parameter is incorrect."};
    it->second.resize(static_cast<size_t>(size));
    return {true, {}};
  }
  // Streams over the whole files kept elsewhere; the copies to a second folder
  // have a fake of their own (ReplicaFakes.h), with contents and faults.
  Opened<FileReader> openForReading(const std::string& path) override {
    const auto it = others.find(path);
    if (it == others.end()) return {nullptr, "The system cannot find the file specified."};
    struct Reader final : FileReader {
      std::string content;
      std::size_t at = 0;
      FileResult read(char* buffer, std::size_t size, std::size_t& got) override {
        got = content.copy(buffer, size, at);
        at += got;
        return {true, {}};
      }
    };
    auto reader = std::make_unique<Reader>();
    reader->content = it->second;
    return {std::move(reader), {}};
  }
  Opened<FileWriter> createForWriting(const std::string& path) override {
    struct Writer final : FileWriter {
      std::string* file = nullptr;
      FileResult write(const char* data, std::size_t size) override {
        file->append(data, size);
        return {true, {}};
      }
      FileResult finish(const LocalDateTime&) override { return {true, {}}; }
    };
    auto writer = std::make_unique<Writer>();
    others[path].clear();
    writer->file = &others[path];
    return {std::move(writer), {}};
  }

  std::map<std::string, Entry> entries;  // by name inside the directory
  std::vector<std::string> created;
  std::vector<std::string> removed;
  std::map<std::string, std::string> others;  // whole files elsewhere, by path
  bool failAppend = false;
  int listings = 0;
  // Faults of the history's files. An append that writes only the first
  // bytes of a line and then fails, as on a disk that fills up half-way:
  std::optional<std::size_t> appendWritesOnly;
  // Files, or folders ending with a backslash, that nothing may be written to
  // or renamed in (no rights):
  std::vector<std::string> readOnly;
  // Files another program holds open, which cannot be renamed or replaced:
  std::set<std::string> held;
  bool failTruncate = false;
  // What was asked for: the path of every append, "from -> to" of every
  // rename, "path size" of every truncation.
  std::vector<std::string> appends;
  std::vector<std::string> renames;
  std::vector<std::string> truncations;

 private:
  bool refuses(const std::string& path) const {
    for (const std::string& entry : readOnly) {
      if (!entry.empty() && entry.back() == '\\' ? path.compare(0, entry.size(), entry) == 0 : path == entry) return true;
    }
    return false;
  }
  const Entry* find(const std::string& path) const {
    if (path.compare(0, dir_.size(), dir_) != 0) return nullptr;
    const auto it = entries.find(path.substr(dir_.size()));
    return it == entries.end() ? nullptr : &it->second;
  }
  std::string dir_;
};

struct LogLines {
  std::vector<std::string> lines;
  auto sink() {
    return [this](const std::string& line) { lines.push_back(line); };
  }
};

}  // namespace bakwyn::testing
