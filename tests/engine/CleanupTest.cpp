#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "engine/BackupEngine.h"
#include "tests/support/EngineFakes.h"
#include "tests/engine/TestDirectory.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace bakwyn {
namespace {

using testing::At;
using testing::FakeClock;
using testing::MemoryFiles;
using testing::FakeSession;
using testing::FromMs;
using testing::LogLines;
using testing::TestDirectory;
using testing::ToMs;

const LocalDateTime kNow = At(2026, 3, 12, 2, 0, 0);

LocalDateTime Before(const LocalDateTime& t, int hours, int minutes, int seconds = 0, int ms = 0) {
  return FromMs(ToMs(t) - (((hours * 60LL + minutes) * 60 + seconds) * 1000 + ms));
}

// A file of the backup folder in a row: a directory, a file held by another
// program, or one that opens but cannot be deleted (for this reason).
struct Entry {
  LocalDateTime modified;
  bool directory = false;
  bool locked = false;
  std::string undeletable{};
};

struct CleanupCase {
  const char* name;
  bool enabled;
  int retentionDays;
  std::map<std::string, Entry> entries;
  std::set<std::string> deleted;  // exactly these names are deleted, nothing else is attempted
  std::vector<std::string> log{};  // what the pass logs
};
void PrintTo(const CleanupCase& c, std::ostream* os) { *os << c.name; }

class CleanupTest : public ::testing::TestWithParam<CleanupCase> {};

TEST_P(CleanupTest, DeletesExactlyTheExpiredBackups) {
  const CleanupCase& c = GetParam();
  BackupSettings settings;
  settings.verifyBackups = false;  // the rule of every version before verification came
  settings.backupDir = "D:\\bak\\";
  settings.cleanupEnabled = c.enabled;
  settings.retentionDays = c.retentionDays;
  FakeClock clock(kNow);
  FakeSession session;
  MemoryFiles files;
  for (const auto& [name, entry] : c.entries) {
    files.add(settings.backupDir + name, "", entry.modified);
    MemoryFiles::File& file = files.files[settings.backupDir + name];
    file.directory = entry.directory;
    file.locked = entry.locked;
    file.undeletable = entry.undeletable;
  }
  LogLines log;
  BackupEngine engine(settings, clock, session, files, log.sink());

  engine.deleteoldfileExecute();

  std::set<std::string> attempted;
  for (const std::string& path : files.done("remove")) attempted.insert(path.substr(settings.backupDir.size()));
  std::set<std::string> refused;
  for (const auto& [name, entry] : c.entries) {
    if (!entry.undeletable.empty() && attempted.count(name)) refused.insert(name);
  }
  std::set<std::string> deleted;
  std::set_difference(attempted.begin(), attempted.end(), refused.begin(), refused.end(),
                      std::inserter(deleted, deleted.end()));
  EXPECT_EQ(deleted, c.deleted);
  for (const auto& [name, entry] : c.entries) {
    EXPECT_EQ(files.files.count(settings.backupDir + name), c.deleted.count(name) ? 0u : 1u) << name;
  }
  EXPECT_EQ(log.lines, c.log) << "only an expired backup that could not be deleted is logged";
  EXPECT_TRUE(session.calls.empty());
  if (!c.enabled) {
    EXPECT_EQ(files.listings, 0) << "cleanup off enumerates nothing";
  }
}

// In every row "newest.bak" is the newest file and is kept whatever its age.
const Entry kNewest{Before(kNow, 0, 1)};

INSTANTIATE_TEST_SUITE_P(
    Cases, CleanupTest,
    ::testing::Values(
        CleanupCase{"OneDayThreeMinuteMargin",
                    true,
                    1,
                    {{"a.bak", {Before(kNow, 23, 57)}},
                     {"b.bak", {Before(kNow, 23, 56)}},
                     {"c.bak", {Before(kNow, 23, 56, 59, 999)}},
                     {"d.bak", {Before(kNow, 23, 57, 0, 1)}},
                     {"newest.bak", kNewest}},
                    {"a.bak", "d.bak"}},
        CleanupCase{"ThreeDaysAtTheTwoOClockSlot",
                    true,
                    3,
                    {{"2026年03月09日02时00分.bak", {At(2026, 3, 9, 2, 1, 40)}},
                     {"2026年03月10日02时00分.bak", {At(2026, 3, 10, 2, 1, 40)}},
                     {"2026年03月11日02时00分.bak", {At(2026, 3, 11, 2, 1, 40)}},
                     {"newest.bak", kNewest}},
                    {"2026年03月09日02时00分.bak"}},
        CleanupCase{"AcrossMonthAndLeapDay",
                    true,
                    14,
                    {{"feb.bak", {At(2024, 2, 27, 2, 0)}}, {"mar.bak", {At(2026, 2, 26, 2, 3)}}, {"newest.bak", kNewest}},
                    {"feb.bak", "mar.bak"}},
        CleanupCase{"FutureTimestampNeverDeleted",
                    true,
                    1,
                    {{"future.bak", {At(2030, 1, 1, 0, 0)}}, {"old.bak", {At(2026, 1, 1, 0, 0)}}, {"newest.bak", kNewest}},
                    {"old.bak"}},
        // The clock was set back: files written before the jump are dated in
        // the future. The newest backup kept is the newest dated up to now.
        CleanupCase{"FutureFileDoesNotHideTheLastRealBackup",
                    true,
                    1,
                    {{"future.bak", {At(2026, 3, 20, 2, 0)}},
                     {"last.bak", {Before(kNow, 48, 0)}},
                     {"older.bak", {Before(kNow, 72, 0)}}},
                    {"older.bak"}},
        CleanupCase{"SeveralFutureFilesAndOneRealBackup",
                    true,
                    3,
                    {{"a.bak", {At(2027, 1, 1, 0, 0)}}, {"b.bak", {At(2026, 3, 12, 2, 0, 0, 1)}},
                     {"only.bak", {At(2025, 1, 1, 0, 0)}}},
                    {}},
        CleanupCase{"FileAMinuteAheadIsNeitherNewestNorExpired",
                    true,
                    1,
                    {{"ahead.bak", {FromMs(ToMs(kNow) + 60'000)}},
                     {"last.bak", {Before(kNow, 30, 0)}},
                     {"older.bak", {Before(kNow, 54, 0)}}},
                    {"older.bak"}},
        CleanupCase{"FileDatedExactlyNowIsTheNewest",
                    true,
                    1,
                    {{"now.bak", {kNow}}, {"future.bak", {At(2030, 1, 1, 0, 0)}}, {"old.bak", {Before(kNow, 25, 0)}}},
                    {"old.bak"}},
        CleanupCase{"EveryFileInTheFuture",
                    true,
                    1,
                    {{"a.bak", {At(2030, 1, 1, 0, 0)}}, {"b.bak", {At(2031, 1, 1, 0, 0)}}},
                    {}},
        CleanupCase{"DirectoryNamedBakIsSkipped",
                    true,
                    1,
                    {{"x.bak", {At(2020, 1, 1, 0, 0), true}}, {"old.bak", {At(2026, 1, 1, 0, 0)}}, {"newest.bak", kNewest}},
                    {"old.bak"}},
        CleanupCase{"LockedFileIsSkippedAndThePassGoesOn",
                    true,
                    1,
                    {{"a.bak", {At(2026, 1, 1, 0, 0)}},
                     {"b.bak", {At(2026, 1, 2, 0, 0), false, true}},
                     {"c.bak", {At(2026, 1, 3, 0, 0)}},
                     {"newest.bak", kNewest}},
                    {"a.bak", "c.bak"}},
        CleanupCase{"OnlyTheBakExtensionInAnyCase",
                    true,
                    1,
                    {{"x.bakold", {At(2020, 1, 1, 0, 0)}},
                     {"x.bak.zip", {At(2020, 1, 1, 0, 0)}},
                     {"x.ba", {At(2020, 1, 1, 0, 0)}},
                     {"xbak", {At(2020, 1, 1, 0, 0)}},
                     {"x.bak~", {At(2020, 1, 1, 0, 0)}},
                     {"x.bak ", {At(2020, 1, 1, 0, 0)}},
                     {"x.mdf", {At(2020, 1, 1, 0, 0)}},
                     {"UPPER.BAK", {At(2020, 1, 1, 0, 0)}},
                     {"mixed.Bak", {At(2020, 1, 1, 0, 0)}},
                     {".bak", {At(2020, 1, 1, 0, 0)}},
                     {"引号'和;括号].bak", {At(2020, 1, 1, 0, 0)}},
                     {"newest.bak", kNewest}},
                    {"UPPER.BAK", "mixed.Bak", ".bak", "引号'和;括号].bak"}},
        CleanupCase{"ExpiredFilesThatCannotBeDeletedAreLogged",
                    true,
                    1,
                    {{"a.bak", {At(2026, 1, 1, 0, 0)}},
                     {"只读'备份.bak", {At(2026, 1, 2, 0, 0), false, false, "Access is denied."}},
                     {"b.bak", {At(2026, 1, 3, 0, 0)}},
                     {"shared.bak", {At(2026, 1, 4, 0, 0), false, false, "拒绝访问。"}},
                     {"young.bak", {Before(kNow, 2, 0), false, false, "Access is denied."}},
                     {"newest.bak", kNewest}},
                    {"a.bak", "b.bak"},
                    {"无法删除过期备份: D:\\bak\\shared.bak (拒绝访问。)",
                     "无法删除过期备份: D:\\bak\\只读'备份.bak (Access is denied.)"}},
        CleanupCase{"NewestIsKeptWhenEverythingExpired",
                    true,
                    1,
                    {{"a.bak", {At(2026, 1, 1, 0, 0)}}, {"b.bak", {At(2026, 1, 5, 0, 0)}}, {"c.bak", {At(2026, 1, 3, 0, 0)}}},
                    {"a.bak", "c.bak"}},
        CleanupCase{"NewestTiesAreAllKept",
                    true,
                    1,
                    {{"a.bak", {At(2026, 1, 1, 0, 0)}}, {"b.bak", {At(2026, 1, 5, 0, 0)}}, {"c.bak", {At(2026, 1, 5, 0, 0)}}},
                    {"a.bak"}},
        CleanupCase{"NewestCountsOnlyBakFiles",
                    true,
                    1,
                    {{"a.bak", {At(2026, 1, 1, 0, 0)}}, {"b.bak", {At(2026, 1, 2, 0, 0)}}, {"recent.txt", kNewest},
                     {"recent.bak", {kNewest.modified, true}}},
                    {"a.bak"}},
        CleanupCase{"CleanupOff",
                    false,
                    1,
                    {{"a.bak", {At(2020, 1, 1, 0, 0)}}, {"newest.bak", kNewest}},
                    {}}),
    [](const ::testing::TestParamInfo<CleanupCase>& info) { return std::string(info.param.name); });

// With verification on, the backup kept whatever its age is the newest
// verified one, and every backup newer than it is kept too: a newer one that
// failed its verification, or that was never verified, may restore nothing.
// The folder's record ("Bakwyn校验记录.txt") says which were verified, each
// line for the file's size when it was (every file here is empty but "grown").
struct VerifiedCleanupCase {
  const char* name;
  bool verification;
  std::map<std::string, LocalDateTime> files;
  std::string record;
  std::set<std::string> deleted;
};
void PrintTo(const VerifiedCleanupCase& c, std::ostream* os) { *os << c.name; }

class VerifiedCleanupTest : public ::testing::TestWithParam<VerifiedCleanupCase> {};

TEST_P(VerifiedCleanupTest, KeepsTheNewestVerifiedAndAllNewer) {
  const VerifiedCleanupCase& c = GetParam();
  BackupSettings settings;
  settings.verifyBackups = c.verification;
  settings.backupDir = "D:\\bak\\";
  settings.cleanupEnabled = true;
  settings.retentionDays = 3;
  FakeClock clock(kNow);
  FakeSession session;
  MemoryFiles files;
  for (const auto& [name, modified] : c.files) files.add(settings.backupDir + name, name == "grown.bak" ? "set;" : "", modified);
  if (!c.record.empty()) files.add(settings.backupDir + "Bakwyn校验记录.txt", c.record, Before(kNow, 0, 30));
  LogLines log;
  BackupEngine engine(settings, clock, session, files, log.sink());

  engine.deleteoldfileExecute();

  std::set<std::string> deleted;
  for (const std::string& path : files.done("remove")) deleted.insert(path.substr(settings.backupDir.size()));
  EXPECT_EQ(deleted, c.deleted);
  EXPECT_EQ(files.files.count(settings.backupDir + "Bakwyn校验记录.txt"), c.record.empty() ? 0u : 1u)
      << "the record is never deleted";
  EXPECT_TRUE(log.lines.empty());
}

std::string Verified(const std::string& name, int position = 1, int size = 0) {
  return name + "\t" + std::to_string(position) + "\t" + std::to_string(size) + "\t2026-03-01 02:05:00\n";
}

// Ages at 02:00 on 12 March, three days kept.
const std::map<std::string, LocalDateTime> kMixed{
    {"older-verified.bak", Before(kNow, 24 * 12, 0)}, {"old.bak", Before(kNow, 24 * 11, 0)},
    {"verified.bak", Before(kNow, 24 * 10, 0)},       {"failed.bak", Before(kNow, 24 * 8, 0)},
    {"new.bak", Before(kNow, 0, 1)}};

INSTANTIATE_TEST_SUITE_P(
    Cases, VerifiedCleanupTest,
    ::testing::Values(
        VerifiedCleanupCase{"NewestVerifiedAndAllNewerKept", true, kMixed,
                            Verified("older-verified.bak") + Verified("verified.bak"),
                            {"older-verified.bak", "old.bak"}},
        VerifiedCleanupCase{"VerificationOffIsTheAgeRule", false, kMixed,
                            Verified("older-verified.bak") + Verified("verified.bak"),
                            {"older-verified.bak", "old.bak", "verified.bak", "failed.bak"}},
        // An upgrade's first cleanup, or verification that keeps failing.
        VerifiedCleanupCase{"NoneVerifiedNothingDeleted", true, kMixed, "", {}},
        VerifiedCleanupCase{"RecordNamesNoneOfTheFolder", true, kMixed, Verified("elsewhere.bak"), {}},
        VerifiedCleanupCase{"EveryBackupVerified", true, kMixed,
                            Verified("older-verified.bak") + Verified("old.bak") + Verified("verified.bak") +
                                Verified("failed.bak") + Verified("new.bak"),
                            {"older-verified.bak", "old.bak", "verified.bak", "failed.bak"}},
        // A backup set appended to the file since it was verified (a backup of
        // the same minute that failed its verification) left it unproven.
        VerifiedCleanupCase{"FileWrittenToSinceItWasVerified", true,
                            {{"old.bak", Before(kNow, 24 * 11, 0)}, {"grown.bak", Before(kNow, 24 * 10, 0)}},
                            Verified("grown.bak", 1, 0),
                            {}},
        VerifiedCleanupCase{"FileVerifiedAgainAfterItGrew", true,
                            {{"old.bak", Before(kNow, 24 * 11, 0)}, {"grown.bak", Before(kNow, 24 * 10, 0)}},
                            Verified("grown.bak", 1, 0) + Verified("grown.bak", 2, 4),
                            {"old.bak"}},
        // Written before the clock was set back: no anchor for the rule.
        VerifiedCleanupCase{"VerifiedInTheFutureDoesNotAnchor", true,
                            {{"future.bak", At(2026, 3, 20, 2, 0)}, {"old.bak", Before(kNow, 24 * 6, 0)},
                             {"last.bak", Before(kNow, 24 * 4, 0)}},
                            Verified("future.bak") + Verified("last.bak"),
                            {"old.bak"}},
        VerifiedCleanupCase{"OnlyTheFutureVerified", true,
                            {{"future.bak", At(2026, 3, 20, 2, 0)}, {"old.bak", Before(kNow, 24 * 6, 0)}},
                            Verified("future.bak"),
                            {}}),
    [](const ::testing::TestParamInfo<VerifiedCleanupCase>& info) { return std::string(info.param.name); });

// This program's log backups (".trn" named as it names them) go with the full
// backups but never decide which of those are kept: a log backup goes once its
// age has expired and it is older than the oldest full backup kept, since it
// restores nothing without a full backup made before it. The rule holds
// whether or not log backups are made now (they are off here): those of a
// time when they were are let go alike. Ages at 02:00 on 12 March, three days
// kept; every full backup is written at 02:02, its log backup at 02:03.
struct LogCleanupCase {
  const char* name;
  bool verification;
  std::map<std::string, Entry> entries;
  std::string record;
  std::set<std::string> deleted;
  std::vector<std::string> log{};
};
void PrintTo(const LogCleanupCase& c, std::ostream* os) { *os << c.name; }

class LogCleanupTest : public ::testing::TestWithParam<LogCleanupCase> {};

TEST_P(LogCleanupTest, LogBackupsGoOnlyWhenNoFullBackupKeptNeedsThem) {
  const LogCleanupCase& c = GetParam();
  BackupSettings settings;
  settings.verifyBackups = c.verification;
  settings.backupDir = "D:\\bak\\";
  settings.cleanupEnabled = true;
  settings.retentionDays = 3;
  FakeClock clock(kNow);
  FakeSession session;
  MemoryFiles files;
  for (const auto& [name, entry] : c.entries) {
    files.add(settings.backupDir + name, "", entry.modified);
    files.files[settings.backupDir + name].locked = entry.locked;
    files.files[settings.backupDir + name].undeletable = entry.undeletable;
  }
  if (!c.record.empty()) files.add(settings.backupDir + "Bakwyn校验记录.txt", c.record, Before(kNow, 0, 30));
  LogLines log;
  BackupEngine engine(settings, clock, session, files, log.sink());

  engine.deleteoldfileExecute();

  std::set<std::string> deleted;
  for (const auto& [name, entry] : c.entries) {
    if (!files.files.count(settings.backupDir + name)) deleted.insert(name);
  }
  EXPECT_EQ(deleted, c.deleted);
  EXPECT_EQ(log.lines, c.log);
}

std::string Bak(int month, int day) {
  char name[64];
  std::snprintf(name, sizeof name, "2026年%02d月%02d日02时00分.bak", month, day);
  return name;
}
std::string Trn(int month, int day) {
  std::string name = Bak(month, day);
  return name.replace(name.size() - 4, 4, ".trn");
}
Entry BakAt(int month, int day) { return {At(2026, month, day, 2, 2)}; }
Entry TrnAt(int month, int day) { return {At(2026, month, day, 2, 3)}; }

INSTANTIATE_TEST_SUITE_P(
    Cases, LogCleanupTest,
    ::testing::Values(
        LogCleanupCase{"BothAgeAndTheOldestFullBackupKeptDecide",
                       false,
                       {{Bak(3, 5), BakAt(3, 5)},
                        {Trn(3, 5), TrnAt(3, 5)},
                        {Trn(3, 10), TrnAt(3, 10)},  // older than every full backup kept, but young
                        {Bak(3, 11), BakAt(3, 11)},
                        {Trn(3, 11), TrnAt(3, 11)}},
                       "",
                       {Bak(3, 5), Trn(3, 5)}},
        // With verification the oldest full backup kept is the newest
        // verified one: the log backups after it stay, however old.
        LogCleanupCase{"OldLogsOfTheVerifiedBackupStay",
                       true,
                       {{Bak(2, 25), BakAt(2, 25)},
                        {Trn(2, 25), TrnAt(2, 25)},
                        {Bak(3, 1), BakAt(3, 1)},
                        {"2026年03月01日02时01分.trn", BakAt(3, 1)},  // the same moment: not older
                        {Trn(3, 1), TrnAt(3, 1)},
                        {Bak(3, 5), BakAt(3, 5)},
                        {Trn(3, 5), TrnAt(3, 5)}},
                       Verified(Bak(2, 25)) + Verified(Bak(3, 1)),
                       {Bak(2, 25), Trn(2, 25)}},
        // No full backup verified: every one is kept, and only what is
        // older than all of them goes.
        LogCleanupCase{"NoFullBackupVerified",
                       true,
                       {{Trn(2, 28), TrnAt(2, 28)}, {Bak(3, 1), BakAt(3, 1)}, {Trn(3, 1), TrnAt(3, 1)},
                        {Bak(3, 5), BakAt(3, 5)}},
                       "",
                       {Trn(2, 28)}},
        // The newest log backup does not make the newest full backup expire,
        // verified or not.
        LogCleanupCase{"ALogBackupIsNoAnchor",
                       false,
                       {{Trn(2, 27), TrnAt(2, 27)}, {Bak(3, 1), BakAt(3, 1)}, {Trn(3, 11), TrnAt(3, 11)}},
                       "",
                       {Trn(2, 27)}},
        LogCleanupCase{"AVerifiedLogBackupIsNoAnchor",
                       true,
                       {{Bak(2, 20), BakAt(2, 20)}, {Bak(3, 1), BakAt(3, 1)}, {Trn(3, 11), TrnAt(3, 11)}},
                       Verified(Bak(2, 20)) + Verified(Bak(3, 1)) + Verified(Trn(3, 11)),
                       {Bak(2, 20)}},
        LogCleanupCase{"NoFullBackupLeft", false, {{Trn(1, 1), TrnAt(1, 1)}, {Trn(2, 1), TrnAt(2, 1)}}, "", {}},
        LogCleanupCase{"TheThreeMinuteMargin",
                       false,
                       {{"2026年03月09日02时03分.trn", {At(2026, 3, 9, 2, 3)}},
                        {"2026年03月09日02时04分.trn", {At(2026, 3, 9, 2, 3, 0, 1)}},
                        {Bak(3, 11), BakAt(3, 11)}},
                       "",
                       {"2026年03月09日02时03分.trn"}},
        LogCleanupCase{"DatedInTheFuture", false,
                       {{Trn(3, 20), TrnAt(3, 20)}, {Bak(3, 11), BakAt(3, 11)}}, "", {}},
        LogCleanupCase{"OnlyOurOwnLogBackups",
                       false,
                       {{"2020年01月01日02时00分.TRN", {At(2020, 1, 1, 2, 0)}},
                        {"shop_log_202001010200.trn", {At(2020, 1, 1, 2, 0)}},
                        {"2020年01月01日02时00分.trn.old", {At(2020, 1, 1, 2, 0)}},
                        {"2020年1月01日02时00分.trn", {At(2020, 1, 1, 2, 0)}},
                        {"LOG.TRN", {At(2020, 1, 1, 2, 0)}},
                        {Bak(3, 11), BakAt(3, 11)}},
                       "",
                       {"2020年01月01日02时00分.TRN"}},
        LogCleanupCase{"HeldOrUndeletable",
                       false,
                       {{Trn(1, 1), {At(2026, 1, 1, 2, 3), false, true}},
                        {Trn(1, 2), {At(2026, 1, 2, 2, 3), false, false, "Access is denied."}},
                        {Trn(1, 3), TrnAt(1, 3)},
                        {Bak(3, 11), BakAt(3, 11)}},
                       "",
                       {Trn(1, 3)},
                       {"无法删除过期备份: D:\\bak\\" + Trn(1, 2) + " (Access is denied.)"}}),
    [](const ::testing::TestParamInfo<LogCleanupCase>& info) { return std::string(info.param.name); });

// Ages are differences of wall-clock readings: whole calendar days across month
// ends, leap days and century years.
TEST(CalendarMillisecondsTest, DifferencesCountCalendarDays) {
  struct Span {
    LocalDateTime from, to;
    std::int64_t days;
  };
  const Span spans[] = {
      {At(2024, 2, 28, 2, 0), At(2024, 3, 1, 2, 0), 2},   // leap year
      {At(2023, 2, 28, 2, 0), At(2023, 3, 1, 2, 0), 1},
      {At(2100, 2, 28, 0, 0), At(2100, 3, 1, 0, 0), 1},   // no leap day in 2100
      {At(2000, 2, 28, 0, 0), At(2000, 3, 1, 0, 0), 2},   // but in 2000
      {At(1999, 12, 31, 23, 0), At(2000, 1, 1, 23, 0), 1},
      {At(2026, 1, 1, 0, 0), At(2027, 1, 1, 0, 0), 365},
      {At(2024, 1, 1, 0, 0), At(2025, 1, 1, 0, 0), 366},
      {At(1970, 1, 1, 0, 0), At(2000, 1, 1, 0, 0), 10957},
  };
  for (const Span& s : spans) {
    EXPECT_EQ(CalendarMilliseconds(s.to) - CalendarMilliseconds(s.from), s.days * 86'400'000) << testing::Show(s.from);
  }
  EXPECT_EQ(CalendarMilliseconds(At(2026, 3, 9, 23, 59, 59, 999)) - CalendarMilliseconds(At(2026, 3, 9, 0, 0)),
            86'400'000 - 1);
}

TEST(CleanupTest, MissingDirectoryIsSilent) {
  BackupSettings settings;
  settings.backupDir = "Q:\\missing\\";
  settings.cleanupEnabled = true;
  settings.retentionDays = 1;
  FakeClock clock(kNow);
  FakeSession session;
  MemoryFiles files;
  files.add("D:\\bak\\a.bak", "", At(2020, 1, 1, 0, 0));
  LogLines log;
  BackupEngine engine(settings, clock, session, files, log.sink());

  engine.deleteoldfileExecute();

  EXPECT_EQ(files.listings, 1);
  EXPECT_TRUE(files.done("remove").empty());
  EXPECT_TRUE(log.lines.empty());
}

// The same pass on the platform's real file system: natively through the
// POSIX implementation, under Wine through the Windows one.
TEST(CleanupOnDiskTest, DeletesOldBackupFilesOnly) {
  TestDirectory dir;
  const std::string root = dir.windowsRoot();
  const auto now = std::filesystem::file_time_type::clock::now();
  const auto age = [&](std::chrono::hours hours) { return now - hours; };
  struct FileRow {
    std::string name;
    std::chrono::hours age;
    bool deleted;
  };
  const std::vector<FileRow> rows{
      {"old.bak", std::chrono::hours(72), true},
      {"OLD2.BAK", std::chrono::hours(50), true},
      {"数据库'备份].bak", std::chrono::hours(49), true},
      {"recent.bak", std::chrono::hours(1), false},
      {"old.bakold", std::chrono::hours(72), false},
      {"old.txt", std::chrono::hours(72), false},
      {"old.bak.zip", std::chrono::hours(72), false},
      // Log backups: this program's go once expired and older than every
      // backup kept ("recent.bak"); another program's stay.
      {"2026年03月01日02时00分.trn", std::chrono::hours(72), true},
      {"2026年03月02日02时00分.TRN", std::chrono::hours(49), true},
      {"2026年03月03日02时00分.trn", std::chrono::hours(30), false},
      {"shop_log_202603010200.trn", std::chrono::hours(72), false},
  };
  for (const FileRow& row : rows) {
    dir.write(root + row.name);
    std::filesystem::last_write_time(dir.local(root + row.name), age(row.age));
  }
  std::filesystem::create_directory(dir.local(root + "folder.bak"));

  BackupSettings settings;
  settings.verifyBackups = false;
  settings.backupDir = root;
  settings.cleanupEnabled = true;
  settings.retentionDays = 2;
  SystemClock clock;
  FakeSession session;
  LogLines log;
  BackupEngine engine(settings, clock, session, dir.files(), log.sink());

#ifdef _WIN32
  // Another program holds an old backup open without sharing: it is skipped.
  dir.write(root + "locked.bak");
  std::filesystem::last_write_time(dir.local(root + "locked.bak"), age(std::chrono::hours(72)));
  const HANDLE locked = CreateFileW(dir.local(root + "locked.bak").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(locked, INVALID_HANDLE_VALUE);
  engine.deleteoldfileExecute();
  CloseHandle(locked);
  EXPECT_TRUE(std::filesystem::exists(dir.local(root + "locked.bak")));
  EXPECT_TRUE(log.lines.empty()) << "a file that cannot be opened is skipped without a word";

  // An old backup that can be read but not deleted: read-only, or held open
  // by a program that shares reading only. Each is logged with the reason.
  const std::string readOnly = root + "只读.bak";
  const std::string shared = root + "shared.bak";
  for (const std::string& path : {readOnly, shared}) {
    dir.write(path);
    std::filesystem::last_write_time(dir.local(path), age(std::chrono::hours(72)));
  }
  ASSERT_TRUE(SetFileAttributesW(dir.local(readOnly).c_str(), FILE_ATTRIBUTE_READONLY));
  const HANDLE reader = CreateFileW(dir.local(shared).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  engine.deleteoldfileExecute();
  CloseHandle(reader);
  SetFileAttributesW(dir.local(readOnly).c_str(), FILE_ATTRIBUTE_NORMAL);
  EXPECT_TRUE(std::filesystem::exists(dir.local(readOnly)));
  EXPECT_TRUE(std::filesystem::exists(dir.local(shared)));
  std::vector<std::string> logged = log.lines;
  std::sort(logged.begin(), logged.end());
  ASSERT_EQ(logged.size(), 2u) << ::testing::PrintToString(log.lines);
  for (size_t i = 0; i < 2; ++i) {
    const std::string prefix = "无法删除过期备份: " + (i == 0 ? shared : readOnly) + " (";
    EXPECT_EQ(logged[i].rfind(prefix, 0), 0u) << logged[i];
    EXPECT_GT(logged[i].size(), prefix.size() + 1) << "with a reason: " << logged[i];
    EXPECT_EQ(logged[i].back(), ')') << logged[i];
  }
  log.lines.clear();
#else
  engine.deleteoldfileExecute();
#endif

  for (const FileRow& row : rows) {
    EXPECT_EQ(std::filesystem::exists(dir.local(root + row.name)), !row.deleted) << row.name;
  }
  EXPECT_TRUE(std::filesystem::is_directory(dir.local(root + "folder.bak")));
  EXPECT_TRUE(log.lines.empty());
}

}  // namespace
}  // namespace bakwyn
