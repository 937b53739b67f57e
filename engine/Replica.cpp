#include "engine/Replica.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <exception>
#include <utility>

namespace bakwyn {
namespace {

// CRC-32C rather than a cryptographic hash: the check is against disks,
// networks and drivers that drop, repeat or damage data, not against anyone
// forging a backup. A 32-bit CRC finds every burst error up to 32 bits and
// misses random damage once in four billion; this table-driven form runs at
// about a gigabyte a second in plain C++, several times SHA-256, and the file
// is read twice (copying, then reading the copy back), so the hash must not be
// what makes a copy slow or keeps a core busy beside the server.
using CrcTables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr CrcTables MakeCrcTables() {
  CrcTables t{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0x82F63B78u & (0u - (c & 1u)));  // reflected Castagnoli polynomial
    t[0][i] = c;
  }
  for (std::uint32_t i = 0; i < 256; ++i) {
    for (size_t s = 1; s < 8; ++s) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFFu];
  }
  return t;
}

constexpr CrcTables kCrc = MakeCrcTables();

std::uint32_t Byte(const char* p, int i) { return static_cast<unsigned char>(p[i]); }

bool EndsWith(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

// The folder as the file system names it: ASCII letters in one case, one kind
// of separator, no trailing separator.
std::string FolderKey(std::string_view dir) {
  std::string key;
  for (const char c : dir) {
    key += c == '/' ? '\\' : (c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
  }
  while (!key.empty() && key.back() == '\\') key.pop_back();
  return key;
}

std::string Hex(std::uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(value));
  return text;
}

struct Copied {
  bool ok = false;
  bool stopped = false;
  std::string reason;
  bool targetRefused = false;  // the copy could not be created or written: the folder takes no copy now
  bool sourceChanged = false;  // the backup was written to while it was copied
};

bool Stopping(const std::atomic<bool>* stop) { return stop && stop->load(std::memory_order_relaxed); }

// Reads `reader` to its end through `buffer`, adding every piece to `crc` and
// `size`, and handing it to `piece` when given.
template <typename Piece>
FileResult ReadThrough(FileReader& reader, std::vector<char>& buffer, std::uint32_t& crc, std::uint64_t& size,
                       const std::atomic<bool>* stop, bool& stopped, Piece piece) {
  for (;;) {
    if (Stopping(stop)) {
      stopped = true;
      return {true, {}};
    }
    std::size_t got = 0;
    FileResult read = reader.read(buffer.data(), buffer.size(), got);
    if (!read) return read;
    if (got == 0) return {true, {}};
    crc = Crc32c(crc, buffer.data(), got);
    size += got;
    FileResult handed = piece(buffer.data(), got);
    if (!handed) return handed;
  }
}

// Copies `source` to `target` through a temporary file beside `target`, which
// takes the name `target` only once its size and CRC-32C, read back from the
// disk, match what was read from `source`, and `source` is still the file it
// was when the copy began. Whatever happens, nothing but a verified copy is
// ever under the name `target`, and the temporary file is removed when the
// copy fails.
Copied CopyOnce(FileSystem& files, const std::string& source, const std::string& target,
                const LocalDateTime& modified, std::vector<char>& buffer, const std::atomic<bool>* stop) {
  // Its size and date before the first byte is read, to compare with after
  // the copy. The reader lets others write (the server appending the next
  // backup of the same minute must never fail because a copy is being made),
  // so a change is found by these two readings, and the copy made again.
  const std::optional<FileSystem::Stamp> before = files.stamp(source);
  Opened<FileReader> reader = files.openForReading(source);
  if (!reader) return {false, false, reader.reason};
  if (!before) return {false, false, "无法读取文件大小"};

  const std::string temp = target + std::string(kReplicaTempSuffix);
  Opened<FileWriter> writer = files.createForWriting(temp);
  if (!writer) return {false, false, writer.reason, true};
  const auto fail = [&](std::string reason, bool targetRefused = false, bool changed = false) {
    writer.file.reset();  // closed first: an open file cannot be removed on Windows
    files.removeFile(temp);
    return Copied{false, false, std::move(reason), targetRefused, changed};
  };

  std::uint32_t written = 0;
  std::uint64_t copiedSize = 0;
  bool stopped = false;
  bool writeFailed = false;
  FileResult copied = ReadThrough(*reader.file, buffer, written, copiedSize, stop, stopped,
                                  [&](const char* data, std::size_t size) {
                                    FileResult done = writer.file->write(data, size);
                                    writeFailed = !done;
                                    return done;
                                  });
  reader.file.reset();
  if (!copied) return fail(copied.reason, writeFailed);
  if (stopped) {
    Copied out = fail({});
    out.stopped = true;
    return out;
  }
  // The copy keeps the backup's own date, so that the second folder's cleanup
  // ages it as the backup folder's cleanup ages the original.
  if (FileResult finished = writer.file->finish(modified); !finished) return fail(finished.reason, true);
  writer.file.reset();

  // Read back past the system's cache: a copy answered from the memory it was
  // written from proves nothing about what reached the disk or the share.
  Opened<FileReader> check = files.openUncached(temp);
  if (!check) return fail(check.reason);
  std::uint32_t readBack = 0;
  std::uint64_t readBackSize = 0;
  FileResult verified = ReadThrough(*check.file, buffer, readBack, readBackSize, stop, stopped,
                                    [](const char*, std::size_t) { return FileResult{true, {}}; });
  check.file.reset();
  if (!verified) return fail(verified.reason);
  if (stopped) {
    Copied out = fail({});
    out.stopped = true;
    return out;
  }
  // What was read must be the whole of one version of the backup: the same
  // size and date as before the copy, and as many bytes as that size.
  const std::optional<FileSystem::Stamp> after = files.stamp(source);
  if (!after || *after != *before || copiedSize != before->size) {
    return fail("原文件在复制时有改动: 原为 " + std::to_string(before->size) + " 字节, 读到 " +
                    std::to_string(copiedSize) + " 字节",
                false, true);
  }
  if (readBackSize != copiedSize) {
    return fail("复制件大小不符: 原文件 " + std::to_string(copiedSize) + " 字节, 复制件 " +
                std::to_string(readBackSize) + " 字节");
  }
  if (readBack != written) return fail("复制件校验和不符: 原文件 CRC-32C " + Hex(written) + ", 复制件 " + Hex(readBack));

  // The same folder, so a rename: the name appears with the whole file or not at all.
  if (FileResult renamed = files.replaceFile(temp, target); !renamed) return fail(renamed.reason);
  return {true, false, {}};
}

// CopyOnce, again from the start while the backup keeps changing under it.
Copied CopyVerified(FileSystem& files, const std::string& source, const std::string& target,
                    const LocalDateTime& modified, std::vector<char>& buffer, const std::atomic<bool>* stop) {
  Copied copied;
  for (int attempt = 1; attempt <= kReplicaCopyAttempts; ++attempt) {
    copied = CopyOnce(files, source, target, modified, buffer, stop);
    if (!copied.sourceChanged) return copied;
  }
  copied.reason = "原文件在复制时一直有改动,复制了 " + std::to_string(kReplicaCopyAttempts) + " 次: " + copied.reason;
  return copied;
}

// The names Windows takes for devices in any folder: CON, PRN, AUX, NUL,
// CONIN$, CONOUT$, COM1-9, LPT1-9, and COM and LPT with a superscript 1, 2 or
// 3 (which the system counts among the digits).
bool IsDeviceName(std::string_view name) {
  // The part before the first dot, in any letter case: "con.txt" is CON too.
  std::string base(name.substr(0, name.find('.')));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (char& c : base) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL" || base == "CONIN$" || base == "CONOUT$") {
    return true;
  }
  if (base.compare(0, 3, "COM") != 0 && base.compare(0, 3, "LPT") != 0) return false;
  const std::string_view number = std::string_view(base).substr(3);
  return (number.size() == 1 && number[0] >= '1' && number[0] <= '9') || number == "\xC2\xB9" || number == "\xC2\xB2" ||
         number == "\xC2\xB3";
}

}  // namespace

std::uint32_t Crc32c(std::uint32_t crc, const char* data, std::size_t size) {
  crc = ~crc;
  // Eight bytes a step, assembled byte by byte: no alignment or byte-order assumption.
  for (; size >= 8; data += 8, size -= 8) {
    const std::uint32_t lo = crc ^ (Byte(data, 0) | Byte(data, 1) << 8 | Byte(data, 2) << 16 | Byte(data, 3) << 24);
    const std::uint32_t hi = Byte(data, 4) | Byte(data, 5) << 8 | Byte(data, 6) << 16 | Byte(data, 7) << 24;
    crc = kCrc[7][lo & 0xFFu] ^ kCrc[6][(lo >> 8) & 0xFFu] ^ kCrc[5][(lo >> 16) & 0xFFu] ^ kCrc[4][lo >> 24] ^
          kCrc[3][hi & 0xFFu] ^ kCrc[2][(hi >> 8) & 0xFFu] ^ kCrc[1][(hi >> 16) & 0xFFu] ^ kCrc[0][hi >> 24];
  }
  for (; size > 0; ++data, --size) crc = (crc >> 8) ^ kCrc[0][(crc ^ Byte(data, 0)) & 0xFFu];
  return ~crc;
}

std::string FolderName(std::string_view name) {
  constexpr std::string_view kForbidden = "\\/:*?\"<>|";
  std::string out;
  for (const char c : name) {
    const bool control = static_cast<unsigned char>(c) < 32 || c == 127;
    out += control || kForbidden.find(c) != std::string_view::npos ? '_' : c;
  }
  // The system drops trailing dots and blanks ("..", "shop." would name the
  // folder above, or another one): they are kept visible as "_".
  for (size_t i = out.size(); i > 0 && (out[i - 1] == '.' || out[i - 1] == ' '); --i) out[i - 1] = '_';
  if (out.empty()) return "_";
  if (IsDeviceName(out)) out.insert(out.begin(), '_');
  return out;
}

std::string ReplicaFolder(const ReplicaRequest& request) {
  return request.replicaDir + FolderName(request.computer) + "\\" + FolderName(request.database) + "\\";
}

ReplicaReport ReplicateBackups(FileSystem& files, const ReplicaRequest& request, const LocalDateTime& now,
                               const std::atomic<bool>* stop) {
  ReplicaReport report;
  if (request.replicaDir.empty()) {
    report.complete = true;
    return report;
  }
  const std::string copies = ReplicaFolder(request);
  const auto failed = [&](const std::string& file, const std::string& folder, const std::string& reason) {
    report.lines.push_back("备份复制失败: " + file + " -> " + folder + " (" + reason + ")");
  };
  if (FolderKey(request.replicaDir) == FolderKey(request.backupDir) || FolderKey(copies) == FolderKey(request.backupDir)) {
    // Each backup would be copied onto itself, and the one folder cleaned twice.
    failed(request.newBackup.empty() ? request.backupDir : request.newBackup, request.replicaDir, "复制目录就是备份目录");
    return report;
  }

  // A folder that cannot be made takes no copy: one line, with the system's
  // reason, and the next pass tries again.
  if (const FileResult made = files.makeDirectories(copies); !made) {
    failed(request.newBackup.empty() ? request.backupDir : request.newBackup, copies, made.reason);
    return report;
  }
  // A pass cut off (a crash, a power loss) leaves its copy under the temporary
  // name. One that another program still writes cannot be removed and stays.
  for (const std::string& name : files.listDirectory(copies)) {
    if (EndsWith(name, kReplicaTempSuffix)) files.removeFile(copies + name);
  }

  // Only what the backup folder's cleanup keeps: a backup about to be
  // deleted there is not worth copying here only to be deleted again. This
  // program's log backups go with the full backups: a copy of a full backup
  // restores to the moment of any log backup copied beside it.
  std::vector<BackupFile> due;
  for (BackupFile& b : ListBackups(files, request.backupDir, request.cleanupEnabled, request.retentionDays, now,
                                   request.verifiedOnly, true)) {
    if (!b.expired && (!request.verifiedOnly || b.position > 0)) due.push_back(std::move(b));
  }
  // The backup just made goes first. It is copied even when the listing could
  // not open it (no right to read the server's file, say), so that its
  // failure is told rather than passed over.
  std::string newName;
  if (!request.newBackup.empty() && request.newBackup.compare(0, request.backupDir.size(), request.backupDir) == 0) {
    newName = request.newBackup.substr(request.backupDir.size());
  }
  std::stable_sort(due.begin(), due.end(), [&](const BackupFile& a, const BackupFile& b) {
    if ((a.name == newName) != (b.name == newName)) return a.name == newName;
    const std::int64_t am = CalendarMilliseconds(a.modified), bm = CalendarMilliseconds(b.modified);
    return am != bm ? am > bm : a.name > b.name;
  });
  if (!newName.empty() && (due.empty() || due.front().name != newName)) {
    due.insert(due.begin(), BackupFile{newName, now});
  }

  bool allCopied = true;
  std::vector<char> buffer;  // one buffer for the whole pass, made at the first copy
  for (const BackupFile& b : due) {
    const std::string source = request.backupDir + b.name;
    const std::string target = copies + b.name;
    // Same name and size: copied by an earlier pass. A backup that grew since
    // (a second backup in the same minute appends to the file) differs in size.
    const std::optional<std::uint64_t> copySize = files.fileSize(target);
    if (copySize && copySize == files.fileSize(source)) continue;
    if (buffer.empty()) buffer.resize(kReplicaChunkSize);
    const Copied copied = CopyVerified(files, source, target, b.modified, buffer, stop);
    if (copied.stopped) return report;
    if (copied.ok) {
      report.lines.push_back("备份已复制到: " + target);
      continue;
    }
    // A backup that cannot be copied (unreadable, changing, damaged on the
    // way) is passed over, so that it never keeps the others from their
    // copies. When no copy can be written there at all, the rest would fail
    // the same way, each with a line: one says it, and the next pass tries.
    failed(source, copies, copied.reason);
    allCopied = false;
    if (copied.targetRefused) break;
  }
  if (Stopping(stop)) return report;
  report.complete = allCopied;

  // Also after a failure: a folder that is full is what makes copies fail,
  // and its expired copies are what frees it.
  if (request.cleanupEnabled) {
    for (const std::string& path : ExpiredBackups(files, copies, request.retentionDays, now, false, true)) {
      const FileResult removed = files.removeFile(path);
      if (!removed) report.lines.push_back("无法删除过期备份: " + path + " (" + removed.reason + ")");
    }
  }
  return report;
}

}  // namespace bakwyn
