// The cost of reading a copy back past the system's cache: one file of the
// given size (512 MB by default) is read through once with the cached reader
// the copies use for the backup and once with the uncached one they use to
// prove the copy, each after the other has run, and the times are printed with
// their ratio. Run it on the disk or share to be measured:
//   readback_figure.exe D:\scratch\readback.tmp [megabytes]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/WindowsFileSystem.h"

using bakwyn::FileReader;
using bakwyn::Opened;

namespace {

double ReadThrough(Opened<FileReader> reader, std::vector<char>& buffer, std::uint64_t& total) {
  const auto start = std::chrono::steady_clock::now();
  total = 0;
  for (std::size_t got = 1; got > 0;) {
    if (!reader.file->read(buffer.data(), buffer.size(), got)) return -1;
    total += got;
  }
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: readback_figure <file> [megabytes]\n");
    return 2;
  }
  const std::string path = argv[1];
  const std::uint64_t megabytes = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 512;
  bakwyn::WindowsFileSystem files;
  std::vector<char> buffer(1 << 20);
  {
    Opened<bakwyn::FileWriter> writer = files.createForWriting(path);
    if (!writer) return 1;
    for (std::uint64_t i = 0; i < megabytes; ++i) {
      for (std::size_t b = 0; b < buffer.size(); b += 4096) buffer[b] = static_cast<char>(i + b);
      if (!writer.file->write(buffer.data(), buffer.size())) return 1;
    }
    if (!writer.file->finish({2026, 12, 10, 2, 0, 0, 0})) return 1;
  }
  std::uint64_t cachedBytes = 0, uncachedBytes = 0;
  const double cached = ReadThrough(files.openForReading(path), buffer, cachedBytes);
  const double uncached = ReadThrough(files.openUncached(path), buffer, uncachedBytes);
  files.removeFile(path);
  std::printf("read-back of %llu MB: cached %.0f ms, uncached %.0f ms, ratio %.2f (%s)\n",
              static_cast<unsigned long long>(megabytes), cached, uncached, uncached / cached,
              cachedBytes == uncachedBytes && cachedBytes == megabytes << 20 ? "same bytes" : "BYTES DIFFER");
  return cachedBytes == uncachedBytes ? 0 : 1;
}
