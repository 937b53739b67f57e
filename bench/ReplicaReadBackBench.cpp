// What reading a copy back past the system's cache costs a whole copy: one
// backup of 512 MB (by default) copied to a second folder and verified by a
// pass of ReplicateBackups, with the copy read back through the cache (as
// before) and past it (openUncached), alternately, several rounds each. Prints
// the median time of each and their ratio. A whole pass is seconds long, so a
// plain clock around it measures it; the same source builds for Windows, where
// it runs under Wine or on the disk or share to be measured.
//   replica_readback_bench FOLDER [megabytes] [rounds]
// FOLDER: a scratch folder on the disk to measure (a POSIX path natively, a
// Windows path on Windows); the program writes its files there and removes
// them again (its two folders stay).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "engine/Replica.h"

#ifdef _WIN32
#include "engine/WindowsFileSystem.h"
#else
#include <filesystem>
#include <map>

#include "engine/PosixFileSystem.h"
#endif

#include "tests/support/ForwardingFiles.h"

namespace {

using namespace bakwyn;

// The platform's file system, with the read-back of a copy either past the
// cache or, as the copies read it before, through it.
class ReadBack final : public testing::ForwardingFiles {
 public:
  ReadBack(FileSystem& inner, bool uncached) : ForwardingFiles(inner), uncached_(uncached) {}
  Opened<FileReader> openUncached(const std::string& path) override {
    return uncached_ ? inner_.openUncached(path) : inner_.openForReading(path);
  }

 private:
  bool uncached_;
};

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: replica_readback_bench FOLDER [megabytes] [rounds]\n");
    return 2;
  }
  const std::uint64_t megabytes = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 512;
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 3;
#ifdef _WIN32
  std::string root = argv[1];
  if (root.back() != '\\') root += '\\';
  WindowsFileSystem platform;
#else
  std::filesystem::create_directories(argv[1]);
  const std::string root = "B:\\";
  PosixFileSystem platform({{'B', std::filesystem::path(argv[1])}});
#endif
  ReplicaRequest request{root + "backups\\", root + "second\\", {}, false, 0, "BENCH", "db"};
  request.newBackup = request.backupDir + "2026年12月10日02时00分.bak";
  const LocalDateTime now{2026, 12, 10, 2, 1, 0, 0};
  if (!platform.createDirectories(request.backupDir)) {
    std::fprintf(stderr, "cannot create %s\n", request.backupDir.c_str());
    return 1;
  }
  {
    Opened<FileWriter> writer = platform.createForWriting(request.newBackup);
    if (!writer) {
      std::fprintf(stderr, "cannot write the backup: %s\n", writer.reason.c_str());
      return 1;
    }
    std::vector<char> piece(1 << 20);
    for (std::uint64_t i = 0; i < megabytes; ++i) {
      for (std::size_t b = 0; b < piece.size(); b += 64) piece[b] = static_cast<char>(i * 31 + b);
      if (!writer.file->write(piece.data(), piece.size())) return 1;
    }
    if (!writer.file->finish({2026, 12, 10, 2, 0, 40, 0})) return 1;
  }
  const std::string copy = ReplicaFolder(request) + "2026年12月10日02时00分.bak";

  std::vector<double> times[2];  // [0] through the cache, [1] past it
  for (int round = 0; round < rounds; ++round) {
    for (int i = 0; i < 2; ++i) {
      const bool uncached = (round + i) % 2 == 1;  // the order alternates from round to round
      platform.removeFile(copy);
      ReadBack files(platform, uncached);
      const auto start = std::chrono::steady_clock::now();
      const ReplicaReport report = ReplicateBackups(files, request, now);
      const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
      if (!report.complete || report.lines.size() != 1 || report.lines[0].rfind("备份已复制到: ", 0) != 0) {
        std::fprintf(stderr, "the pass failed: %s\n", report.lines.empty() ? "?" : report.lines[0].c_str());
        return 1;
      }
      times[uncached].push_back(ms);
    }
  }
  platform.removeFile(copy);
  platform.removeFile(request.newBackup);

  const double cached = Median(times[0]), uncached = Median(times[1]);
  std::printf("copy and verify %llu MB, median of %d: read back through the cache %.0f ms, past it %.0f ms, ratio %.2f\n",
              static_cast<unsigned long long>(megabytes), rounds, cached, uncached, uncached / cached);
  for (int k = 0; k < 2; ++k) {
    std::printf("  %s:", k ? "past the cache   " : "through the cache");
    for (const double t : times[k]) std::printf(" %.0f", t);
    std::printf(" ms\n");
  }
  return 0;
}
