// Cleanup figure: one pass of the engine's cleanup over a folder of 20,000 files,
// half of them expired ".bak" files, against a minimal loop that makes the same
// system calls (list, open, read the time, close, delete). Both run on a freshly
// filled folder, alternately, several rounds; prints the median of each and the ratio.
//   cleanup_figure FOLDER [rounds]        (FOLDER: a Windows path on Windows, a POSIX path elsewhere)
//   cleanup_figure FOLDER engine|minimal  one pass over a folder filled by the caller; prints its
//                                         milliseconds (under Wine, filling from Windows is slow)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/BackupEngine.h"
#include "engine/Clock.h"

#ifdef _WIN32
#include <windows.h>

#include "base/Text.h"
#include "engine/WindowsFileSystem.h"
#else
#include <dirent.h>
#include <strings.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>

#include "engine/PosixFileSystem.h"
#endif

namespace {

using namespace bakwyn;
constexpr int kFiles = 20000;

class NoServer final : public ServerSession {
 public:
  void open(const std::string&, const std::string&, const std::string&) override {}
  std::vector<std::string> listDatabases() override { return {}; }
  bool locate(const std::string&) const override { return false; }
  void closeQuery() override {}
  void execute(const std::string&) override {}
  QueryResult query(const std::string&) override { return {}; }
  const std::vector<Diagnostic>& messages() const override { return none_; }

 private:
  std::vector<Diagnostic> none_;
};

// Half the files are ".bak" files ten days old; a quarter are fresh ".bak" files,
// a quarter other files.
std::string FileName(int i) {
  const char* ext = i % 2 == 0 ? ".bak" : (i % 4 == 1 ? ".bak" : ".log");
  return "f" + std::to_string(i) + ext;
}
bool Expired(int i) { return i % 2 == 0; }

#ifdef _WIN32
constexpr unsigned long long kTicksPerDay = 864000000000ULL;  // 100-ns ticks

FILETIME DaysAgo(int days) {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  ULARGE_INTEGER t{{now.dwLowDateTime, now.dwHighDateTime}};
  t.QuadPart -= days * kTicksPerDay;
  return {t.LowPart, t.HighPart};
}

std::wstring W(const std::string& s) {
  const std::u16string u = Utf8ToUtf16(s);
  return std::wstring(u.begin(), u.end());
}

void Fill(const std::string& dir) {
  CreateDirectoryW(W(dir).c_str(), nullptr);
  const FILETIME oldUtc = DaysAgo(10), freshUtc = DaysAgo(1);
  for (int i = 0; i < kFiles; ++i) {
    HANDLE h = CreateFileW(W(dir + FileName(i)).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    SetFileTime(h, nullptr, nullptr, Expired(i) ? &oldUtc : &freshUtc);
    CloseHandle(h);
  }
}

void Empty(const std::string& dir) {
  WIN32_FIND_DATAW fd;
  HANDLE find = FindFirstFileW(W(dir + "*").c_str(), &fd);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) DeleteFileW((W(dir) + fd.cFileName).c_str());
  } while (FindNextFileW(find, &fd));
  FindClose(find);
}

void MinimalPass(const std::string& dir, const FILETIME& limitUtc) {
  const std::wstring wdir = W(dir);
  WIN32_FIND_DATAW fd;
  HANDLE find = FindFirstFileExW((wdir + L"*").c_str(), FindExInfoBasic, &fd, FindExSearchNameMatch, nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = fd.cFileName;
    if (name.size() < 4 || _wcsicmp(name.c_str() + name.size() - 4, L".bak") != 0) continue;
    const std::wstring path = wdir + name;
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) continue;
    FILETIME written, local;
    GetFileTime(h, nullptr, nullptr, &written);
    CloseHandle(h);
    FileTimeToLocalFileTime(&written, &local);  // the engine reads local time as well
    if (CompareFileTime(&written, &limitUtc) <= 0) DeleteFileW(path.c_str());
  } while (FindNextFileW(find, &fd));
  FindClose(find);
}
#else
void Fill(const std::string& dir) {
  std::filesystem::create_directories(dir);
  const time_t now = time(nullptr);
  for (int i = 0; i < kFiles; ++i) {
    const std::string path = dir + "/" + FileName(i);
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const time_t t = Expired(i) ? now - 10 * 86400 : now - 86400;
    struct timespec times[2] = {{t, 0}, {t, 0}};
    futimens(fd, times);
    ::close(fd);
  }
}

void Empty(const std::string& dir) {
  std::filesystem::create_directories(dir);
  for (const auto& e : std::filesystem::directory_iterator(dir)) std::filesystem::remove(e.path());
}

void MinimalPass(const std::string& dir, time_t limit) {
  DIR* d = opendir(dir.c_str());
  if (!d) return;
  while (dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name.size() < 4 || strcasecmp(name.c_str() + name.size() - 4, ".bak") != 0) continue;
    const std::string path = dir + "/" + name;
    int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) continue;
    struct stat st;
    fstat(fd, &st);
    ::close(fd);
    struct tm local;
    localtime_r(&st.st_mtime, &local);  // the engine reads local time as well
    if (st.st_mtime <= limit) unlink(path.c_str());
  }
  closedir(d);
}
#endif

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("usage: cleanup_figure FOLDER [rounds]\n", stderr);
    return 2;
  }
  const std::string mode = argc > 2 ? argv[2] : "";
  const int rounds = mode == "engine" || mode == "minimal" ? 0 : (argc > 2 ? std::atoi(argv[2]) : 5);
  using Clock = std::chrono::steady_clock;
#ifdef _WIN32
  std::string dir = argv[1];
  if (dir.back() != '\\') dir += '\\';
  WindowsFileSystem files;
  const std::string engineDir = dir;
  const FILETIME limit = DaysAgo(3);
#else
  const std::string dir = argv[1];
  PosixFileSystem files({{'B', std::filesystem::path(dir)}});
  const std::string engineDir = "B:\\";
  const time_t limit = time(nullptr) - 3 * 86400;
#endif
  BackupSettings settings;
  settings.backupDir = engineDir;
  settings.cleanupEnabled = true;
  settings.retentionDays = 3;
  // The minimal loop deletes by age alone: the cleanup's rule with
  // verification off. With it on, a folder without a record of verified
  // backups would have the engine delete nothing, and the figure compare
  // unequal work.
  settings.verifyBackups = false;
  SystemClock clock;
  NoServer server;
  BackupEngine engine(settings, clock, server, files, [](const std::string&) {});

  if (rounds == 0) {
    const auto t0 = Clock::now();
    if (mode == "engine") {
      engine.deleteoldfileExecute();
    } else {
      MinimalPass(dir, limit);
    }
    std::printf("%.1f\n", std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    return 0;
  }

  std::vector<double> engineTimes, minimalTimes;
  for (int r = 0; r < rounds; ++r) {
    Empty(dir);
    Fill(dir);
    auto t0 = Clock::now();
    engine.deleteoldfileExecute();
    engineTimes.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());

    Empty(dir);
    Fill(dir);
    t0 = Clock::now();
    MinimalPass(dir, limit);
    minimalTimes.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
  }
  Empty(dir);
  const double e = Median(engineTimes), m = Median(minimalTimes);
  std::printf("cleanup %d files: engine %.1f ms, minimal loop %.1f ms, ratio %.2f\n", kFiles, e, m, e / m);
  return 0;
}
