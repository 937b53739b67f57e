// The stored settings as one record: loaded and saved exactly as the window's
// control store and the status functions beside it load and save them today,
// value by value and write by write.
#include "settings/SettingsRecord.h"
#include "tests/settings/EarlierStore.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <ostream>
#include <set>
#include <sstream>

#include "app/BackupStatus.h"
#include "engine/History.h"
#include "settings/Base64.h"
#include "form/StoredForm.h"
#include "settings/MemoryRegistry.h"
#ifdef _WIN32
#include "settings/DpapiProtector.h"
#endif
#include "tests/support/StoreWindow.h"
#include "tests/support/TestProtector.h"

namespace bakwyn::settings {

using bakwyn::testing::LoadControlStates;
using bakwyn::testing::SaveControlStates;
using bakwyn::testing::EarlierBackupRecord;
using bakwyn::testing::LoadEarlierBackupRecord;
using bakwyn::testing::StoreEarlierBackupRecord;

void PrintTo(const StoredSettings& s, std::ostream* out) {
  auto stamp = [](const std::optional<LocalDateTime>& t) { return t ? FullStamp(*t) : std::string("none"); };
  auto check = [](const CheckState& c) {
    return std::string(c.checked ? "checked" : "unchecked") + (c.enabled ? "" : " disabled");
  };
  *out << "\nmavTree1 " << s.mavTree1ColumnWidth << "\nmEdt2 [" << s.mEdt2 << "]\nmEdt3 [" << s.mEdt3
       << "]\nmEdt4 [" << s.mEdt4 << "]\nmavBEdit2 [" << s.mavBEdit2 << "]\ndxCheckEdit1 " << check(s.dxCheckEdit1)
       << "\ndxTimeEdit1 [" << s.dxTimeEdit1 << "]\ndxCheckEdit2 " << check(s.dxCheckEdit2) << "\ndxTimeEdit2 ["
       << s.dxTimeEdit2 << "]\ndxCheckEdit3 " << check(s.dxCheckEdit3) << "\ndxTimeEdit3 [" << s.dxTimeEdit3
       << "]\ndxCheckEdit4 " << check(s.dxCheckEdit4) << "\ndxTimeEdit4 [" << s.dxTimeEdit4 << "]\nmEdt1 ["
       << s.mEdt1 << "]\ndxCheckEdit5 " << check(s.dxCheckEdit5) << "\nmavSpinEdit1 " << s.mavSpinEdit1
       << "\nCopyFolder [" << s.CopyFolder << "]\nMakeUpMissed " << s.MakeUpMissed << "\nSlotLastRun ["
       << s.Slot1LastRun << "] [" << s.Slot2LastRun << "] [" << s.Slot3LastRun << "] [" << s.Slot4LastRun
       << "]\nLastBackup " << stamp(s.LastBackup) << "\nLastResult " << s.LastResult << "\nLastSuccess "
       << stamp(s.LastSuccess) << "\nArmedSince " << stamp(s.ArmedSince) << "\nStallMinutes " << s.StallMinutes
       << "\nVerifyBackups " << s.VerifyBackups << "\nRestoreTest " << s.RestoreTestEvery << " " << s.RestoreTestDay
       << " " << s.RestoreTestHour << "\nLastRestoreTest " << stamp(s.LastRestoreTest) << "\nRestoreTestPassed "
       << stamp(s.RestoreTestPassed) << "\nPingAddress [" << s.PingAddress << "]\nRestoreTestPingAddress ["
       << s.RestoreTestPingAddress << "]\nBackupLog " << s.BackupLog << "\n";
}

namespace {

using bakwyn::testing::StoreWindow;
using bakwyn::testing::TestProtector;
using namespace std::string_literals;

std::string Leaf(const std::string& path) { return path.substr(path.find_last_of('\\') + 1); }

// Passes every call on to a MemoryRegistry and writes down every write in
// order. Chosen values ("mEdt3/TEXT") fail: a read as a value of another type
// does, a write as a value that cannot be set does.
class TracedRegistry : public Registry {
 public:
  MemoryRegistry inner;
  std::vector<std::string> writes;  // "mEdt3/TEXT=sa"
  std::set<std::string> failingReads, failingWrites;

  std::unique_ptr<RegistryKey> open(const std::string& path, Access access) override {
    std::unique_ptr<RegistryKey> key = inner.open(path, access);
    if (!key) return nullptr;
    return std::make_unique<Key>(*this, Leaf(path), std::move(key));
  }

 private:
  class Key : public RegistryKey {
   public:
    Key(TracedRegistry& owner, std::string leaf, std::unique_ptr<RegistryKey> inner)
        : owner_(owner), leaf_(std::move(leaf)), inner_(std::move(inner)) {}
    std::optional<std::string> readString(const std::string& name) override {
      if (owner_.failingReads.count(leaf_ + "/" + name)) throw RegistryError("not a string: " + name);
      return inner_->readString(name);
    }
    void writeString(const std::string& name, const std::string& data) override {
      owner_.writes.push_back(leaf_ + "/" + name + "=" + data);
      if (owner_.failingWrites.count(leaf_ + "/" + name)) throw RegistryError("Failed to set data for '" + name + "'");
      inner_->writeString(name, data);
    }
    std::vector<std::string> valueNames() override { return inner_->valueNames(); }

   private:
    TracedRegistry& owner_;
    std::string leaf_;
    std::unique_ptr<RegistryKey> inner_;
  };
};

// Every key in creation order with its values.
std::string Dump(const MemoryRegistry& registry) {
  std::ostringstream out;
  for (const std::string& key : registry.keys()) {
    out << key << "\n";
    for (const auto& [name, data] : registry.values(key)) out << "  " << name << "=[" << data << "]\n";
  }
  return out.str();
}

std::vector<std::string> Texts(const std::vector<LoadProblem>& problems) {
  std::vector<std::string> out;
  for (const LoadProblem& p : problems)
    out.push_back((p.kind == LoadProblem::Kind::InvalidTime ? "InvalidTime " : "Unreadable ") + p.control + " [" +
                  p.stored + "]");
  return out;
}

std::string Control(const std::string& name) { return std::string(StateRoot) + "FrmMain\\" + name; }
const std::string kStatus(StatusKey);

LocalDateTime At(int day, int hour, int minute, int second = 0) { return {2026, 12, day, hour, minute, second, 0}; }

class SettingsRecord : public ::testing::Test {
 protected:
  TestProtector protector;

  std::string Protected(const std::string& secret) const {
    return std::string(ProtectedPrefix) + Base64Encode(protector.protect(secret));
  }
};

TEST_F(SettingsRecord, LoadsWhatTheWindowsStoreAndTheStatusFunctionsLoad) {
  using Store = std::function<void(TracedRegistry&)>;
  auto set = [](const std::string& path, const std::string& name, const std::string& data) {
    return [=](TracedRegistry& r) { r.inner.setValue(path, name, data); };
  };
  auto all = [](std::vector<Store> steps) {
    return [=](TracedRegistry& r) {
      for (const Store& step : steps) step(r);
    };
  };
  const Store everyKind = all({
      set(Control("mavTree1"), "0", "80"),
      set(Control("mEdt2"), "TEXT", "PC-01\\SQLEXPRESS"),
      set(Control("mEdt3"), "TEXT", " sa "),
      set(Control("mEdt4"), "TEXT", Protected("Pa$$'口令")),
      set(Control("mavBEdit2"), "TEXT", "D:\\数据库自动备份目录\\"),
      set(Control("dxCheckEdit1"), "CHECKED", "-1"),
      set(Control("dxTimeEdit1"), "TEXT", " 8: 5"),
      set(Control("dxCheckEdit2"), "CHECKED", "True"),
      set(Control("dxTimeEdit2"), "TEXT", "23:59"),
      set(Control("dxCheckEdit4"), "CHECKED", "0"),
      set(Control("mEdt1"), "TEXT", "库'];{x}"),
      set(Control("dxCheckEdit5"), "CHECKED", "5"),
      set(Control("mavSpinEdit1"), "VALUE", "30"),
      set(kStatus, "CopyFolder", "\\\\server\\share\\副本"),
      set(kStatus, "MakeUpMissed", "1"),
      set(kStatus, "Slot1LastRun", "20261210"),
      set(kStatus, "Slot4LastRun", "20261209"),
      set(kStatus, "LastBackup", "2026-12-10 02:00:05"),
      set(kStatus, "LastResult", "ok"),
      set(kStatus, "LastSuccess", "2026-12-10 02:00:05"),
      set(kStatus, "ArmedSince", "2026-12-01 07:00:00"),
  });
  auto disable = [](StoreWindow& w) { w.dxCheckEdit5.setEnabled(false); };
  struct Case {
    const char* name;
    Store store;
    std::function<void(StoreWindow&)> before = {};
  };
  const Case cases[] = {
      {"nothing stored", [](TracedRegistry&) {}},
      {"every kind of value", everyKind},
      {"password stored in clear by an older version", set(Control("mEdt4"), "TEXT", "old secret")},
      {"password protected elsewhere", set(Control("mEdt4"), "TEXT", std::string(ProtectedPrefix) + Base64Encode("made elsewhere"))},
      {"password that is no Base64", set(Control("mEdt4"), "TEXT", std::string(ProtectedPrefix) + "not base64!")},
      {"days that are no number", set(Control("mavSpinEdit1"), "VALUE", "abc")},
      {"days with a fraction", set(Control("mavSpinEdit1"), "VALUE", "2.5")},
      {"days beyond any integer", set(Control("mavSpinEdit1"), "VALUE", "9999999999")},
      {"days in exponent form beyond the range", set(Control("mavSpinEdit1"), "VALUE", "1E20")},
      {"negative days beyond any integer", set(Control("mavSpinEdit1"), "VALUE", "-9999999999")},
      {"days below the range", set(Control("mavSpinEdit1"), "VALUE", "0")},
      {"NUL in texts", all({set(Control("mEdt1"), "TEXT", "shop\0junk"s), set(Control("mEdt3"), "TEXT", "\0sa"s),
                            set(Control("mavSpinEdit1"), "VALUE", "12\0" "3"s),
                            set(kStatus, "CopyFolder", "E:\\copy\0junk"s), set(kStatus, "MakeUpMissed", "1\0"s)})},
      {"times that are no time of the day",
       all({set(Control("dxTimeEdit1"), "TEXT", "24:00"), set(Control("dxTimeEdit2"), "TEXT", "7:5"),
            set(Control("dxTimeEdit3"), "TEXT", "12:60"), set(Control("dxTimeEdit4"), "TEXT", "07:05:00")})},
      {"check states that are none", all({set(Control("dxCheckEdit1"), "CHECKED", "yes"),
                                          set(Control("dxCheckEdit3"), "CHECKED", "")})},
      {"disabled check box is not read",
       all({set(Control("dxCheckEdit5"), "CHECKED", "-1"), set(Control("dxCheckEdit4"), "CHECKED", "-1")}), disable},
      {"disabled check box with a value that is none", set(Control("dxCheckEdit5"), "CHECKED", "yes"), disable},
      {"column widths", all({set(Control("mavTree1"), "0", "2"), set(Control("mavTree1"), "1", "wide")})},
      {"column width that is no number", set(Control("mavTree1"), "0", "wide")},
      {"empty stored values keep what the window shows",
       all({set(Control("mEdt3"), "TEXT", ""), set(Control("mEdt4"), "TEXT", ""), set(Control("mavSpinEdit1"), "VALUE", "")}),
       [](StoreWindow& w) {
         w.mEdt3.setText("shown");
         w.mEdt4.setText("shown secret");
         w.mavSpinEdit1.setValue(7);
         w.mavBEdit3.setText("E:\\shown");  // the second folder is not kept: none stored is none
       }},
      {"values of another type",
       [&](TracedRegistry& r) {
         everyKind(r);
         r.failingReads = {"mEdt3/TEXT", "mEdt4/TEXT", "dxCheckEdit2/CHECKED", "mavSpinEdit1/VALUE", "mavTree1/0",
                           "Bakwyn/CopyFolder", "Bakwyn/Slot1LastRun", "Bakwyn/LastBackup"};
       }},
      {"a key that cannot be opened ends the controls' pass",
       [&](TracedRegistry& r) {
         everyKind(r);
         r.inner.failKey(Control("mavBEdit2"));
       }},
      {"status key that cannot be opened",
       [&](TracedRegistry& r) {
         everyKind(r);
         r.inner.failKey(kStatus);
       }},
      {"a user without write access, the database list never stored",
       [&](TracedRegistry& r) {
         everyKind(r);
         r.inner.setReadOnly(true);
       }},
      {"a user without write access, every key stored",
       [&](TracedRegistry& r) {
         everyKind(r);
         for (const char* name : {"dxCheckEdit3", "dxTimeEdit3", "dxTimeEdit4"}) r.inner.setValue(Control(name), "x", "");
         r.inner.setReadOnly(true);
       }},
      {"status values of the wrong shape",
       all({set(kStatus, "MakeUpMissed", "yes"), set(kStatus, "Slot1LastRun", "2026121"),
            set(kStatus, "Slot2LastRun", "2026121x"), set(kStatus, "Slot3LastRun", "202612100"),
            set(kStatus, "LastBackup", "2026-13-10 02:00:00"), set(kStatus, "LastResult", "failed"),
            set(kStatus, "LastSuccess", "2026-12-10 02:00:05 "), set(kStatus, "ArmedSince", "junk")})},
      {"a failed last backup", all({set(kStatus, "LastBackup", "2026-12-10 02:00:05"), set(kStatus, "LastResult", "OK")})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TracedRegistry before, after;
    c.store(before);
    c.store(after);

    StoreWindow window;
    if (c.before) c.before(window);
    const StoredSettings onto = form::StoredFields(window);
    const std::vector<LoadProblem> expectedProblems = LoadControlStates(window, before, protector);
    StoredSettings expected = form::StoredFields(window);
    expected.CopyFolder = app::LoadCopyFolder(before);
    expected.MakeUpMissed = app::LoadMakeUpMissed(before);
    const std::array<std::string, 4> slots = app::LoadSlotStamps(before);
    expected.Slot1LastRun = slots[0];
    expected.Slot2LastRun = slots[1];
    expected.Slot3LastRun = slots[2];
    expected.Slot4LastRun = slots[3];
    const EarlierBackupRecord record = LoadEarlierBackupRecord(before);
    expected.LastBackup = record.lastBackup;
    expected.LastResult = record.lastSucceeded;
    expected.LastSuccess = record.lastSuccess;
    expected.ArmedSince = record.armedSince;

    const LoadedSettings loaded = LoadStoredSettings(after, protector, Groups::All, onto);
    EXPECT_EQ(loaded.settings, expected);
    EXPECT_EQ(Texts(loaded.problems), Texts(expectedProblems));
    EXPECT_EQ(Dump(after.inner), Dump(before.inner)) << "the same keys created";
    EXPECT_TRUE(after.writes.empty());
  }
}

// The options page's values as this version lays them down beside the
// controls, the ping addresses and the log backup last; false, ending there, at
// the first that cannot be written.
bool StoreOptions(TracedRegistry& registry, const std::array<std::string, 7>& texts) {
  const char* names[] = {"VerifyBackups", "RestoreTestEvery",       "RestoreTestDay", "RestoreTestHour",
                         "PingAddress",   "RestoreTestPingAddress", "BackupLog"};
  std::unique_ptr<RegistryKey> key = registry.open(kStatus, Access::Write);
  if (!key) return false;
  for (size_t i = 0; i < texts.size(); ++i) {
    try {
      key->writeString(names[i], texts[i]);
    } catch (const RegistryError&) {
      return false;
    }
  }
  return true;
}

TEST_F(SettingsRecord, SavesWhatTheWindowsStoreAndTheStatusFunctionsSave) {
  auto fill = [](StoreWindow& w) {
    w.mEdt2.setText("PC-01");
    w.mEdt3.setText(" O'Neil \"sa\" ");
    w.mEdt4.setText("Pa$$'口令\t😀");
    w.mavBEdit2.setText("D:\\数据库自动备份目录\\[x]];{y}%");
    w.slotCheck(1).setChecked(true);
    w.slotTime(1).setText(" 8:05");
    w.slotCheck(2).setChecked(true);
    w.slotTime(2).setText("23:59");
    w.slotTime(3).setText("");
    w.mEdt1.setText(std::string(3000, 'x') + "库");
    w.dxCheckEdit5.setChecked(true);
    w.mavSpinEdit1.setValue(30);
    w.mavBEdit3.setText("\\\\server\\share\\副本");
    w.dxCheckEdit6.setChecked(true);
  };
  auto filled = [&](std::function<void(StoreWindow&)> more) {
    return [=](StoreWindow& w) {
      fill(w);
      more(w);
    };
  };
  struct Case {
    const char* name;
    std::function<void(StoreWindow&)> window;
    std::function<void(TracedRegistry&)> prepare = {};
    // The options page's values, written after everything an earlier version
    // wrote: VerifyBackups, RestoreTestEvery, RestoreTestDay, RestoreTestHour.
    std::array<const char*, 4> options = {"1", "1", "0", "-1"};
    // Then the ping addresses as typed; each stored protected, or empty.
    std::array<std::string, 2> pings = {"", ""};
    // Then the log backup.
    const char* backupLog = "0";
  };
  const Case cases[] = {
      {"a fresh window", [](StoreWindow&) {}},
      {"every option changed",
       filled([](StoreWindow& w) {
         w.dxCheckEdit7.setChecked(false);
         w.dxPickEdit1.setItemIndex(2);
         w.dxPickEdit2.setItemIndex(6);
         w.dxPickEdit3.setItemIndex(24);
         w.mEdt5.setText(" https://hc.example/ping/5f0c-Tok3n ");
         w.mEdt6.setText("https://chat.example/hook?key=秘'密&x=1");
         w.dxCheckEdit8.setChecked(true);
       }),
       {}, {"0", "2", "6", "23"}, {"https://hc.example/ping/5f0c-Tok3n", "https://chat.example/hook?key=秘'密&x=1"},
       "1"},
      {"only the log backed up", [](StoreWindow& w) { w.dxCheckEdit8.setChecked(true); }, {}, {"1", "1", "0", "-1"},
       {"", ""}, "1"},
      {"the log backup cannot be written", filled([](StoreWindow& w) { w.dxCheckEdit8.setChecked(true); }),
       [](TracedRegistry& r) { r.failingWrites = {"Bakwyn/BackupLog"}; }, {"1", "1", "0", "-1"}, {"", ""}, "1"},
      {"only the restore test's address", [](StoreWindow& w) { w.mEdt6.setText("http://127.0.0.1:8080/rt"); }, {},
       {"1", "1", "0", "-1"}, {"", "http://127.0.0.1:8080/rt"}},
      {"the first address cannot be written", filled([](StoreWindow& w) { w.mEdt5.setText("https://hc.example/x"); }),
       [](TracedRegistry& r) { r.failingWrites = {"Bakwyn/PingAddress"}; }, {"1", "1", "0", "-1"},
       {"https://hc.example/x", ""}},
      {"never tested, at midnight", [](StoreWindow& w) {
         w.dxPickEdit1.setItemIndex(0);
         w.dxPickEdit3.setItemIndex(1);
       }, {}, {"1", "0", "0", "0"}},
      {"an option that cannot be written", fill, [](TracedRegistry& r) { r.failingWrites = {"Bakwyn/RestoreTestDay"}; }},
      {"every field filled", fill},
      {"a fraction of a day and a disabled check box keeping what it stored",
       filled([](StoreWindow& w) {
         w.mavSpinEdit1.setValue(2.5);
         w.slotCheck(3).setEnabled(false);
       }),
       [](TracedRegistry& r) { r.inner.setValue(Control("dxCheckEdit3"), "CHECKED", "-1"); }},
      {"days beyond the range are written as they are", filled([](StoreWindow& w) { w.mavSpinEdit1.setValue(1e20); })},
      {"a key that cannot be created ends the save", fill,
       [](TracedRegistry& r) { r.inner.failKey(Control("dxCheckEdit3")); }},
      {"status key that cannot be created", fill, [](TracedRegistry& r) { r.inner.failKey(kStatus); }},
      {"a control's value that cannot be written", fill, [](TracedRegistry& r) { r.failingWrites = {"mEdt1/TEXT"}; }},
      {"the second folder cannot be written", fill, [](TracedRegistry& r) { r.failingWrites = {"Bakwyn/CopyFolder"}; }},
      {"a user without write access", fill,
       [](TracedRegistry& r) {
         r.inner.setValue(Control("mEdt2"), "TEXT", "old");
         r.inner.setReadOnly(true);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TracedRegistry before, after;
    if (c.prepare) {
      c.prepare(before);
      c.prepare(after);
    }
    StoreWindow window;
    c.window(window);

    std::optional<bool> expected;
    std::string expectedError;
    try {
      expected = SaveControlStates(window, before, protector) &&
                 app::StoreCopyFolder(before, window.mavBEdit3.text()) &&
                 app::StoreMakeUpMissed(before, window.dxCheckEdit6.checked()) &&
                 StoreOptions(before, {c.options[0], c.options[1], c.options[2], c.options[3],
                                       c.pings[0].empty() ? "" : Protected(c.pings[0]),
                                       c.pings[1].empty() ? "" : Protected(c.pings[1]), c.backupLog});
    } catch (const RegistryError& e) {
      expectedError = e.what();
    }
    std::optional<bool> saved;
    std::string error;
    try {
      saved = SaveStoredSettings(form::StoredFields(window), after, protector, Groups::Window);
    } catch (const RegistryError& e) {
      error = e.what();
    }
    EXPECT_EQ(saved, expected);
    EXPECT_EQ(error, expectedError);
    EXPECT_EQ(after.writes, before.writes);
    EXPECT_EQ(Dump(after.inner), Dump(before.inner));
  }
}

TEST_F(SettingsRecord, SavesTheRecordAndASlotsDateAsTheStatusFunctionsDo) {
  struct Case {
    const char* name;
    EarlierBackupRecord record;
    std::set<std::string> failingWrites = {};
    bool statusKeyFails = false;
  };
  const Case cases[] = {
      {"nothing yet", {std::nullopt, false, std::nullopt, std::nullopt}},
      {"armed only", {std::nullopt, false, std::nullopt, At(1, 7, 0)}},
      {"a failed backup", {At(10, 2, 0, 5), false, std::nullopt, std::nullopt}},
      {"a successful backup", {At(10, 2, 0, 5), true, At(10, 2, 0, 5), At(1, 7, 0)}},
      {"the result cannot be written", {At(10, 2, 0, 5), true, At(10, 2, 0, 5), At(1, 7, 0)}, {"Bakwyn/LastResult"}},
      {"the key cannot be created", {At(10, 2, 0, 5), true, At(10, 2, 0, 5), At(1, 7, 0)}, {}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TracedRegistry before, after;
    for (TracedRegistry* r : {&before, &after}) {
      r->failingWrites = c.failingWrites;
      if (c.statusKeyFails) r->inner.failKey(kStatus);
    }
    StoredSettings s;
    s.LastBackup = c.record.lastBackup;
    s.LastResult = c.record.lastSucceeded;
    s.LastSuccess = c.record.lastSuccess;
    s.ArmedSince = c.record.armedSince;
    s.Slot2LastRun = "20261210";  // another group: not written
    const bool earlier = StoreEarlierBackupRecord(before, c.record);
    EXPECT_EQ(SaveStoredSettings(s, after, protector, Groups::Status), earlier);
    // The status functions go through the record now, and keep its format.
    TracedRegistry through;
    through.failingWrites = c.failingWrites;
    if (c.statusKeyFails) through.inner.failKey(kStatus);
    const app::BackupRecord record{c.record.lastBackup, c.record.lastSucceeded, c.record.lastSuccess,
                                   c.record.armedSince, std::nullopt, std::nullopt};
    EXPECT_EQ(app::StoreBackupRecord(through, record), earlier);
    EXPECT_EQ(through.writes, before.writes);
    EXPECT_EQ(after.writes, before.writes);
    EXPECT_EQ(Dump(after.inner), Dump(before.inner));
  }

  for (int slot = 1; slot <= 4; ++slot) {
    for (const std::string date : {"20261210", ""}) {
      SCOPED_TRACE(std::to_string(slot) + " [" + date + "]");
      TracedRegistry before, after;
      StoredSettings s;
      s.Slot1LastRun = s.Slot2LastRun = s.Slot3LastRun = s.Slot4LastRun = "19991231";
      s.MakeUpMissed = true;
      (slot == 1 ? s.Slot1LastRun : slot == 2 ? s.Slot2LastRun : slot == 3 ? s.Slot3LastRun : s.Slot4LastRun) = date;
      EXPECT_EQ(SaveStoredSettings(s, after, protector, SlotRunGroup(slot)), app::StoreSlotStamp(before, slot, date));
      EXPECT_EQ(after.writes, before.writes);
      EXPECT_EQ(after.writes.size(), 1u);
    }
  }
}

// The layout older versions read, which no later version may change: the
// exact keys, values and order of writes.
TEST_F(SettingsRecord, StoredLayout) {
  StoredSettings s;
  s.mavTree1ColumnWidth = 99;
  s.mEdt2 = "PC-01";
  s.mEdt3 = " sa ";
  s.mEdt4 = "pw";
  s.dxCheckEdit1 = {true, true};
  s.dxTimeEdit1 = " 8:05";
  s.dxCheckEdit3 = {true, false};
  s.mEdt1 = "库";
  s.mavSpinEdit1 = 2.5;
  s.CopyFolder = "E:\\副本";
  s.Slot3LastRun = "20261210";
  s.LastBackup = At(10, 2, 0, 5);
  s.LastResult = false;
  s.VerifyBackups = false;
  s.RestoreTestEvery = 2;
  s.RestoreTestDay = 6;
  s.RestoreTestPassed = At(6, 3, 2, 15);  // and no test since: LastRestoreTest is none, not written
  s.PingAddress = "https://hc.example/ping/abc";
  s.BackupLog = true;
  TracedRegistry registry;
  ASSERT_TRUE(SaveStoredSettings(s, registry, protector, Groups::All));
  const std::vector<std::string> expected = {
      "mEdt2/TEXT=PC-01",
      "mEdt3/TEXT= sa ",
      "mEdt4/TEXT=" + Protected("pw"),
      "mavBEdit2/TEXT=",
      "dxCheckEdit1/CHECKED=-1",
      "dxTimeEdit1/TEXT= 8:05",
      "dxCheckEdit2/CHECKED=0",
      "dxTimeEdit2/TEXT=00:00",
      "dxTimeEdit3/TEXT=00:00",
      "dxCheckEdit4/CHECKED=0",
      "dxTimeEdit4/TEXT=00:00",
      "mEdt1/TEXT=库",
      "dxCheckEdit5/CHECKED=0",
      "mavSpinEdit1/VALUE=2.5",
      "Bakwyn/CopyFolder=E:\\副本",
      "Bakwyn/MakeUpMissed=0",
      "Bakwyn/Slot1LastRun=",
      "Bakwyn/Slot2LastRun=",
      "Bakwyn/Slot3LastRun=20261210",
      "Bakwyn/Slot4LastRun=",
      "Bakwyn/LastBackup=2026-12-10 02:00:05",
      "Bakwyn/LastResult=failed",
      "Bakwyn/StallMinutes=60",
      // This version's values after them all.
      "Bakwyn/VerifyBackups=0",
      "Bakwyn/RestoreTestEvery=2",
      "Bakwyn/RestoreTestDay=6",
      "Bakwyn/RestoreTestHour=-1",
      "Bakwyn/RestoreTestPassed=2026-12-06 03:02:15",
      // The ping addresses after them, protected; none stays empty.
      "Bakwyn/PingAddress=" + Protected("https://hc.example/ping/abc"),
      "Bakwyn/RestoreTestPingAddress=",
      // The log backup after them.
      "Bakwyn/BackupLog=1",
  };
  EXPECT_EQ(registry.writes, expected);
  EXPECT_EQ(registry.inner.value("Software\\Tarsel软件\\Oskavel\\窗体属性风格\\FrmMain\\mEdt2", "TEXT"), "PC-01");
  EXPECT_EQ(registry.inner.value("Software\\Tarsel软件\\Oskavel\\Bakwyn", "LastResult"), "failed");
  EXPECT_TRUE(registry.inner.hasKey(Control("dxCheckEdit3"))) << "a disabled check box's key is still created";
  EXPECT_FALSE(registry.inner.hasKey(Control("mavTree1"))) << "the user's layout is never written";
}

// The time a backup may go without progress: only a whole number of minutes
// up to a week is taken; anything else keeps the hour.
TEST_F(SettingsRecord, StallMinutesAreTakenOnlyAsAWholeNumberUpToAWeek) {
  const std::pair<const char*, int> cases[] = {
      {"", 60}, {"90", 90}, {"0", 0}, {"10080", 10080}, {"10081", 60}, {"-1", 60}, {"1.5", 60}, {"abc", 60}, {"1E3", 1000},
  };
  for (const auto& [stored, minutes] : cases) {
    SCOPED_TRACE(stored);
    MemoryRegistry registry;
    registry.setValue(std::string(StatusKey), "StallMinutes", stored);
    EXPECT_EQ(LoadStoredSettings(registry, protector, Groups::Limits).settings.StallMinutes, minutes);
  }
  // The window's save never writes it: a value an administrator set stays.
  MemoryRegistry registry;
  registry.setValue(std::string(StatusKey), "StallMinutes", "15");
  ASSERT_TRUE(SaveStoredSettings(StoredSettings{}, registry, protector, Groups::Window));
  EXPECT_EQ(registry.value(std::string(StatusKey), "StallMinutes"), "15");
}

TEST_F(SettingsRecord, SavedRecordLoadsBack) {
  const std::string hostile[] = {
      "plain",
      "O'Neil \"quoted\"",
      "[bracket]]; DROP TABLE x; --",
      "{braces} %percent% _under_",
      std::string("tab\tcr\rlf\n\x01\x1f end "),
      "数据库自动备份目录\\中文 😀",
      std::string(3000, 'x') + "长",
  };
  for (const std::string& text : hostile) {
    SCOPED_TRACE(text.substr(0, 40));
    StoredSettings s;
    s.mEdt2 = text + "2";
    s.mEdt3 = text + "3";
    s.mEdt4 = text + "4";
    s.mavBEdit2 = text;
    s.dxCheckEdit1.checked = true;
    s.dxTimeEdit1 = "23:59";
    s.dxCheckEdit3.checked = true;
    s.dxTimeEdit3 = " 0: 0";
    s.dxTimeEdit4 = "12:30";
    s.mEdt1 = text;
    s.dxCheckEdit5.checked = true;
    s.mavSpinEdit1 = 999999;
    s.CopyFolder = text;
    s.MakeUpMissed = true;
    s.Slot2LastRun = "20261210";
    s.LastBackup = At(10, 2, 0, 5);
    s.LastResult = true;
    s.LastSuccess = At(9, 23, 59, 59);
    s.ArmedSince = At(1, 0, 0);
    s.VerifyBackups = false;
    s.RestoreTestEvery = 0;
    s.RestoreTestDay = 6;
    s.RestoreTestHour = 23;
    s.LastRestoreTest = At(10, 2, 15, 0);
    s.RestoreTestPassed = At(3, 2, 14, 59);
    s.PingAddress = "https://hc.example/" + text;
    s.RestoreTestPingAddress = text + "/rt";
    s.BackupLog = true;
    MemoryRegistry registry;
    ASSERT_TRUE(SaveStoredSettings(s, registry, protector, Groups::All));
    const LoadedSettings loaded = LoadStoredSettings(registry, protector);
    EXPECT_EQ(loaded.settings, s);
    EXPECT_TRUE(loaded.problems.empty());
  }
}

// Each group loads only its own values: a slot's date or the record read every
// minute must not read the controls again, nor report their problems again.
TEST_F(SettingsRecord, GroupsLoadOnlyTheirOwnValues) {
  MemoryRegistry registry;
  registry.setValue(Control("mEdt3"), "TEXT", "sa");
  registry.setValue(Control("mavSpinEdit1"), "VALUE", "abc");
  registry.setValue(kStatus, "CopyFolder", "E:\\");
  registry.setValue(kStatus, "Slot1LastRun", "20261210");
  registry.setValue(kStatus, "Slot2LastRun", "20261211");
  registry.setValue(kStatus, "LastBackup", "2026-12-10 02:00:05");

  StoredSettings expected;
  expected.Slot2LastRun = "20261211";
  expected.LastBackup = At(10, 2, 0, 5);
  const LoadedSettings loaded = LoadStoredSettings(registry, protector, SlotRunGroup(2) | Groups::Status);
  EXPECT_EQ(loaded.settings, expected);
  EXPECT_TRUE(loaded.problems.empty());
  EXPECT_FALSE(registry.hasKey(Control("mEdt2"))) << "no control's key created";

  const LoadedSettings window = LoadStoredSettings(registry, protector, Groups::Window);
  EXPECT_EQ(window.settings.mEdt3, "sa");
  EXPECT_EQ(window.settings.CopyFolder, "E:\\");
  EXPECT_EQ(window.settings.Slot1LastRun, "");
  EXPECT_EQ(window.settings.LastBackup, std::nullopt);
  EXPECT_EQ(Texts(window.problems), std::vector<std::string>{"Unreadable mavSpinEdit1 [abc]"});
}

// An older version's store has the controls and none of the options: its
// backups are verified and restore-tested weekly, on Sunday right after the
// first backup, from the first start of this version on; its log is not
// backed up (a database in the simple recovery model has none to back up).
TEST_F(SettingsRecord, OlderVersionsStoreGetsTheOptionsDefaults) {
  MemoryRegistry registry;
  registry.setValue(Control("mEdt1"), "TEXT", "shop");
  registry.setValue(Control("dxCheckEdit1"), "CHECKED", "-1");
  registry.setValue(kStatus, "CopyFolder", "E:\\");
  registry.setValue(kStatus, "LastBackup", "2026-12-10 02:00:05");
  registry.setValue(kStatus, "LastResult", "ok");
  const LoadedSettings loaded = LoadStoredSettings(registry, protector);
  EXPECT_TRUE(loaded.problems.empty());
  EXPECT_TRUE(loaded.settings.VerifyBackups);
  EXPECT_EQ(StoredRestoreTestPlan(loaded.settings),
            (RestoreTestPlan{RestoreTestPlan::Every::week, 0, RestoreTestPlan::kAfterFirstSlot}));
  EXPECT_EQ(loaded.settings.LastRestoreTest, std::nullopt) << "never tested";
  EXPECT_EQ(loaded.settings.RestoreTestPassed, std::nullopt);
  EXPECT_EQ(loaded.settings.PingAddress, "") << "nothing is sent";
  EXPECT_EQ(loaded.settings.RestoreTestPingAddress, "");
  EXPECT_FALSE(loaded.settings.BackupLog);

  // The window shows the same defaults, and its save stores them.
  StoreWindow window;
  EXPECT_TRUE(form::LoadWindowSettings(window, registry, protector).empty());
  EXPECT_TRUE(window.dxCheckEdit7.checked());
  EXPECT_EQ(window.dxPickEdit1.text(), "每周");
  EXPECT_EQ(window.dxPickEdit2.text(), "星期日");
  EXPECT_EQ(window.dxPickEdit3.text(), "第一次备份后");
  EXPECT_EQ(window.mEdt5.text(), "");
  EXPECT_EQ(window.mEdt6.text(), "");
  EXPECT_FALSE(window.dxCheckEdit8.checked());
  ASSERT_TRUE(form::SaveWindowSettings(window, registry, protector));
  EXPECT_EQ(registry.values(kStatus).at("VerifyBackups"), "1");
  EXPECT_EQ(registry.values(kStatus).at("RestoreTestHour"), "-1");
  EXPECT_EQ(registry.values(kStatus).at("PingAddress"), "");
  EXPECT_EQ(registry.values(kStatus).at("RestoreTestPingAddress"), "");
  EXPECT_EQ(registry.values(kStatus).at("BackupLog"), "0");
}

// The options follow the controls' rules: a value missing or empty keeps what
// the field holds, one outside its kind is passed over and named by its value
// name, never taken as some other plan.
TEST_F(SettingsRecord, OptionsLoadRules) {
  struct Case {
    const char* name;
    const char* value;
    std::string stored;
    std::function<void(const StoredSettings&)> check;  // empty: passed over, named, the field as it was
  };
  auto verify = [](bool on) { return [=](const StoredSettings& s) { EXPECT_EQ(s.VerifyBackups, on); }; };
  auto every = [](int v) { return [=](const StoredSettings& s) { EXPECT_EQ(s.RestoreTestEvery, v); }; };
  auto day = [](int v) { return [=](const StoredSettings& s) { EXPECT_EQ(s.RestoreTestDay, v); }; };
  auto hour = [](int v) { return [=](const StoredSettings& s) { EXPECT_EQ(s.RestoreTestHour, v); }; };
  auto backupLog = [](bool on) { return [=](const StoredSettings& s) { EXPECT_EQ(s.BackupLog, on); }; };
  const Case cases[] = {
      {"verification off", "VerifyBackups", "0", verify(false)},
      {"verification on", "VerifyBackups", "1", verify(true)},
      {"verification empty keeps the field", "VerifyBackups", "", verify(true)},
      {"verification cut at a NUL", "VerifyBackups", "0\0" "1"s, verify(false)},
      {"verification as a check state", "VerifyBackups", "-1", {}},
      {"verification yes", "VerifyBackups", "yes", {}},
      {"verification with a blank", "VerifyBackups", "0 ", {}},
      {"never", "RestoreTestEvery", "0", every(0)},
      {"daily", "RestoreTestEvery", "2", every(2)},
      {"frequency beyond daily", "RestoreTestEvery", "3", {}},
      {"negative frequency", "RestoreTestEvery", "-1", {}},
      {"frequency as a word", "RestoreTestEvery", "weekly", {}},
      {"frequency with a fraction", "RestoreTestEvery", "1.5", {}},
      {"frequency beyond any integer", "RestoreTestEvery", "9999999999", {}},
      {"Saturday", "RestoreTestDay", "6", day(6)},
      {"a day after Saturday", "RestoreTestDay", "7", {}},
      {"a day before Sunday", "RestoreTestDay", "-1", {}},
      {"last hour of the day", "RestoreTestHour", "23", hour(23)},
      {"midnight", "RestoreTestHour", "0", hour(0)},
      {"after the first backup", "RestoreTestHour", "-1", hour(-1)},
      {"hour 24", "RestoreTestHour", "24", {}},
      {"below after the first backup", "RestoreTestHour", "-2", {}},
      {"hour as a time", "RestoreTestHour", "02:00", {}},
      {"log backup on", "BackupLog", "1", backupLog(true)},
      {"log backup off", "BackupLog", "0", backupLog(false)},
      {"log backup empty keeps the field", "BackupLog", "", backupLog(true)},
      {"log backup cut at a NUL", "BackupLog", "0\0" "1"s, backupLog(false)},
      {"log backup as a check state", "BackupLog", "-1", {}},
      {"log backup as a word", "BackupLog", "true", {}},
      {"log backup with a leading zero", "BackupLog", "01", {}},
      {"log backup in full-width digits", "BackupLog", "１", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryRegistry registry;
    registry.setValue(kStatus, c.value, c.stored);
    // Loaded onto other values than the defaults: a value passed over keeps these.
    StoredSettings onto;
    onto.RestoreTestEvery = 2;
    onto.RestoreTestDay = 3;
    onto.RestoreTestHour = 5;
    onto.BackupLog = true;
    const LoadedSettings loaded = LoadStoredSettings(registry, protector, Groups::Window, onto);
    if (c.check) {
      EXPECT_TRUE(loaded.problems.empty());
      c.check(loaded.settings);
      continue;
    }
    EXPECT_EQ(Texts(loaded.problems), std::vector<std::string>{"Unreadable " + std::string(c.value) + " [" + c.stored + "]"});
    EXPECT_EQ(loaded.settings, onto);
  }
}

// Values of another type, and a status key that is not there, follow the same
// split: the options are named, the restore test's stamps are none.
TEST_F(SettingsRecord, OptionsOfAnotherTypeAreNamedAndStampsAreNone) {
  TracedRegistry registry;
  registry.inner.setValue(kStatus, "VerifyBackups", "0");
  registry.inner.setValue(kStatus, "RestoreTestEvery", "2");
  registry.inner.setValue(kStatus, "RestoreTestHour", "4");
  registry.inner.setValue(kStatus, "LastRestoreTest", "2026-12-10 02:15:00");
  registry.inner.setValue(kStatus, "RestoreTestPassed", "2026-12-03 02:14:59");
  registry.inner.setValue(kStatus, "BackupLog", "1");
  registry.failingReads = {"Bakwyn/RestoreTestEvery", "Bakwyn/RestoreTestPassed", "Bakwyn/BackupLog"};
  const LoadedSettings loaded = LoadStoredSettings(registry, protector);
  EXPECT_EQ(Texts(loaded.problems),
            (std::vector<std::string>{"Unreadable RestoreTestEvery []", "Unreadable BackupLog []"}));
  EXPECT_FALSE(loaded.settings.BackupLog) << "passed over: the default";
  EXPECT_FALSE(loaded.settings.VerifyBackups) << "the others still load";
  EXPECT_EQ(loaded.settings.RestoreTestEvery, 1);
  EXPECT_EQ(loaded.settings.RestoreTestHour, 4);
  EXPECT_EQ(loaded.settings.LastRestoreTest, At(10, 2, 15, 0));
  EXPECT_EQ(loaded.settings.RestoreTestPassed, std::nullopt);

  MemoryRegistry missing;
  missing.failKey(kStatus);
  StoredSettings onto;
  onto.VerifyBackups = false;
  onto.LastRestoreTest = At(1, 1, 1);
  const LoadedSettings none = LoadStoredSettings(missing, protector, Groups::All, onto);
  EXPECT_TRUE(none.problems.empty());
  EXPECT_FALSE(none.settings.VerifyBackups) << "nothing stored: the field as it was";
  EXPECT_EQ(none.settings.LastRestoreTest, std::nullopt);
}

// The restore test's stamps are their own group: written when a test ends,
// without the window's values, and loaded without them.
TEST_F(SettingsRecord, RestoreTestStampsAreAGroupOfTheirOwn) {
  const std::pair<const char*, std::optional<LocalDateTime>> stamps[] = {
      {"2026-12-10 02:15:00", At(10, 2, 15, 0)},
      {"2026-12-10 02:15", std::nullopt},
      {"2026-12-32 02:15:00", std::nullopt},
      {"passed", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [stored, stamp] : stamps) {
    SCOPED_TRACE(stored);
    MemoryRegistry registry;
    registry.setValue(kStatus, "LastRestoreTest", stored);
    registry.setValue(kStatus, "RestoreTestPassed", stored);
    registry.setValue(kStatus, "RestoreTestEvery", "junk");
    const LoadedSettings loaded = LoadStoredSettings(registry, protector, Groups::RestoreTest);
    EXPECT_EQ(loaded.settings.LastRestoreTest, stamp);
    EXPECT_EQ(loaded.settings.RestoreTestPassed, stamp);
    EXPECT_TRUE(loaded.problems.empty()) << "the window's values are not read";
  }

  TracedRegistry registry;
  StoredSettings s;
  s.LastRestoreTest = At(10, 2, 15, 0);
  s.RestoreTestPassed = At(3, 2, 14, 59);
  s.VerifyBackups = false;
  s.LastBackup = At(10, 2, 0, 5);
  ASSERT_TRUE(SaveStoredSettings(s, registry, protector, Groups::RestoreTest));
  EXPECT_EQ(registry.writes, (std::vector<std::string>{"Bakwyn/LastRestoreTest=2026-12-10 02:15:00",
                                                       "Bakwyn/RestoreTestPassed=2026-12-03 02:14:59"}));
  // A test that failed before any passed: no passed stamp is written.
  TracedRegistry failed;
  s.RestoreTestPassed.reset();
  ASSERT_TRUE(SaveStoredSettings(s, failed, protector, Groups::RestoreTest));
  EXPECT_EQ(failed.writes, std::vector<std::string>{"Bakwyn/LastRestoreTest=2026-12-10 02:15:00"});
  failed.failingWrites = {"Bakwyn/LastRestoreTest"};
  EXPECT_FALSE(SaveStoredSettings(s, failed, protector, Groups::RestoreTest));
}

TEST_F(SettingsRecord, RestoreTestPlanFromTheStoredOptions) {
  using Every = RestoreTestPlan::Every;
  struct Case {
    const char* name;
    int every, day, hour;
    RestoreTestPlan plan;
  };
  const Case cases[] = {
      {"defaults", 1, 0, -1, {Every::week, 0, RestoreTestPlan::kAfterFirstSlot}},
      {"never", 0, 3, 4, {Every::never, 3, 4}},
      {"daily at the last hour", 2, 0, 23, {Every::day, 0, 23}},
      {"weekly on Saturday at midnight", 1, 6, 0, {Every::week, 6, 0}},
      // Never left by a load; the default's values, not a guess.
      {"values beyond their ranges", 3, 7, 24, {}},
      {"values below their ranges", -1, -1, -2, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StoredSettings s;
    s.RestoreTestEvery = c.every;
    s.RestoreTestDay = c.day;
    s.RestoreTestHour = c.hour;
    EXPECT_EQ(StoredRestoreTestPlan(s), c.plan);
  }
}

// The options page and the record, one to the other: each pick list's item is
// the stored number, and the stored number shows that item, with the page's
// rule applied (the day only for weekly, the hour unless never).
TEST_F(SettingsRecord, OptionsPageAndRecordOneToTheOther) {
  struct Case {
    const char* name;
    bool verify;
    int every, day, hour;
    const char *everyText, *dayText, *hourText;
    bool dayEnabled, hourEnabled;
    bool backupLog = false;
  };
  const Case cases[] = {
      {"defaults", true, 1, 0, -1, "每周", "星期日", "第一次备份后", true, true},
      {"never, verification off", false, 0, 3, 4, "不测试", "星期三", "04:00", false, false},
      {"daily at the last hour, the log backed up", true, 2, 6, 23, "每天", "星期六", "23:00", false, true, true},
      {"weekly on Saturday at midnight", true, 1, 6, 0, "每周", "星期六", "00:00", true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StoredSettings stored;
    stored.VerifyBackups = c.verify;
    stored.RestoreTestEvery = c.every;
    stored.RestoreTestDay = c.day;
    stored.RestoreTestHour = c.hour;
    stored.BackupLog = c.backupLog;
    StoreWindow window;
    window.dxCheckEdit8.setChecked(!c.backupLog);  // shown before: the stored value replaces it
    form::ShowStored(stored, window);
    EXPECT_EQ(window.dxCheckEdit7.checked(), c.verify);
    EXPECT_EQ(window.dxCheckEdit8.checked(), c.backupLog);
    EXPECT_EQ(window.dxPickEdit1.text(), c.everyText);
    EXPECT_EQ(window.dxPickEdit2.text(), c.dayText);
    EXPECT_EQ(window.dxPickEdit3.text(), c.hourText);
    EXPECT_EQ(window.dxPickEdit2.enabled(), c.dayEnabled);
    EXPECT_EQ(window.dxPickEdit3.enabled(), c.hourEnabled);

    // Back from a window showing it onto a record holding other values.
    StoredSettings other;
    other.VerifyBackups = !c.verify;
    other.RestoreTestEvery = (c.every + 1) % 3;
    other.RestoreTestDay = (c.day + 1) % 7;
    other.RestoreTestHour = c.hour + 1;
    other.BackupLog = !c.backupLog;
    const StoredSettings back = form::StoredFields(window, other);
    EXPECT_EQ(back.BackupLog, c.backupLog);
    EXPECT_EQ(back.VerifyBackups, c.verify);
    EXPECT_EQ(back.RestoreTestEvery, c.every);
    EXPECT_EQ(back.RestoreTestDay, c.day);
    EXPECT_EQ(back.RestoreTestHour, c.hour);
  }

  // A list showing none of its items (no load leaves one so) stores what the
  // record held before.
  StoreWindow window;
  window.dxPickEdit3.setText("25:00");
  StoredSettings held;
  held.RestoreTestHour = 7;
  EXPECT_EQ(form::StoredFields(window, held).RestoreTestHour, 7);
}

// Saved from the window into an empty store and loaded into a fresh window:
// the page shows what was saved.
TEST_F(SettingsRecord, OptionsPageSavesAndLoadsBack) {
  for (int every = 0; every < 3; ++every) {
    SCOPED_TRACE(every);
    MemoryRegistry registry;
    StoreWindow saved;
    saved.dxCheckEdit7.setChecked(every != 1);
    saved.dxPickEdit1.setItemIndex(every);
    saved.dxPickEdit2.setItemIndex(every + 4);
    saved.dxPickEdit3.setItemIndex(every * 11);
    saved.mEdt5.setText(every == 0 ? "" : "https://hc.example/ping/" + std::to_string(every));
    saved.mEdt6.setText(every == 2 ? "" : "https://chat.example/hook?token=口令" + std::to_string(every));
    saved.dxCheckEdit8.setChecked(every != 0);
    ASSERT_TRUE(form::SaveWindowSettings(saved, registry, protector));
    StoreWindow loaded;
    EXPECT_TRUE(form::LoadWindowSettings(loaded, registry, protector).empty());
    EXPECT_EQ(loaded.snapshot(), saved.snapshot());
  }
}

// A ping address may carry a service's secret token: it is stored protected
// like the password, never as the clear text, and an empty one stays empty.
TEST_F(SettingsRecord, PingAddressesAreStoredProtectedAndLoadBack) {
  const std::string ping = "https://hc.example/ping/5f0c7e2a-Tok3n";
  const std::string restore = "https://chat.example/hook?key=秘密'x&y=😀";
  StoredSettings s;
  s.PingAddress = ping;
  s.RestoreTestPingAddress = restore;
  MemoryRegistry registry;
  ASSERT_TRUE(SaveStoredSettings(s, registry, protector, Groups::Window));
  for (const auto& [name, clear] : {std::pair{"PingAddress", ping}, std::pair{"RestoreTestPingAddress", restore}}) {
    SCOPED_TRACE(name);
    const std::string stored = registry.value(kStatus, name).value_or("<none>");
    EXPECT_EQ(stored, Protected(clear));
    EXPECT_EQ(stored.find("Tok3n"), std::string::npos);
    EXPECT_EQ(stored.find("秘密"), std::string::npos);
    EXPECT_EQ(stored.find("example"), std::string::npos) << "not even the host is readable";
  }
  const LoadedSettings loaded = LoadStoredSettings(registry, protector, Groups::Window);
  EXPECT_TRUE(loaded.problems.empty());
  EXPECT_EQ(loaded.settings.PingAddress, ping);
  EXPECT_EQ(loaded.settings.RestoreTestPingAddress, restore);

  // Cleared in the window: stored empty, and loaded as none.
  s.PingAddress.clear();
  ASSERT_TRUE(SaveStoredSettings(s, registry, protector, Groups::Window));
  EXPECT_EQ(registry.value(kStatus, "PingAddress"), "");
  const LoadedSettings cleared = LoadStoredSettings(registry, protector, Groups::Window);
  EXPECT_EQ(cleared.settings.PingAddress, "");
  EXPECT_EQ(cleared.settings.RestoreTestPingAddress, restore);

  // Only the window's save writes them: the record, the restore test's
  // stamps and a slot's date leave them alone.
  TracedRegistry traced;
  ASSERT_TRUE(SaveStoredSettings(s, traced, protector,
                                 Groups::SlotRuns | Groups::Status | Groups::Limits | Groups::RestoreTest));
  for (const std::string& write : traced.writes) EXPECT_EQ(write.find("PingAddress"), std::string::npos) << write;
}

// Loaded like the options, and like the password: a value missing or empty
// keeps what the field holds, a text without the prefix (an administrator
// typed it in) is taken as it stands, and one that cannot be unprotected, or a
// value of another type, is passed over and named without its text.
TEST_F(SettingsRecord, PingAddressLoadRules) {
  struct Case {
    const char* name;
    const char* value;
    std::string stored;
    std::optional<std::string> loaded;  // none: passed over, named, the field as it was
    bool anotherType = false;
  };
  const std::string elsewhere = std::string(ProtectedPrefix) + Base64Encode("made on another computer");
  const Case cases[] = {
      {"protected here", "PingAddress", Protected("https://hc.example/a"), "https://hc.example/a"},
      {"typed in by an administrator", "PingAddress", "https://hc.example/typed", "https://hc.example/typed"},
      {"the prefix not at the start is text", "RestoreTestPingAddress", " dpapi:AAAA", " dpapi:AAAA"},
      {"clear text cut at a NUL", "RestoreTestPingAddress", "http://h/x\0junk"s, "http://h/x"},
      {"empty keeps the field", "PingAddress", "", "http://shown/ping"},
      {"protected on another computer", "PingAddress", elsewhere, std::nullopt},
      {"no Base64 after the prefix", "RestoreTestPingAddress", std::string(ProtectedPrefix) + "not base64!", std::nullopt},
      {"the prefix alone", "PingAddress", std::string(ProtectedPrefix), std::nullopt},
      {"a value of another type", "RestoreTestPingAddress", Protected("http://h/t"), std::nullopt, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TracedRegistry registry;
    registry.inner.setValue(kStatus, c.value, c.stored);
    if (c.anotherType) registry.failingReads = {"Bakwyn/" + std::string(c.value)};
    StoredSettings onto;
    onto.PingAddress = "http://shown/ping";
    onto.RestoreTestPingAddress = "http://shown/restore";
    const LoadedSettings loaded = LoadStoredSettings(registry, protector, Groups::Window, onto);
    StoredSettings expected = onto;
    if (!c.loaded) {
      EXPECT_EQ(Texts(loaded.problems), std::vector<std::string>{"Unreadable " + std::string(c.value) + " []"});
    } else {
      EXPECT_TRUE(loaded.problems.empty());
      (std::string_view(c.value) == "PingAddress" ? expected.PingAddress : expected.RestoreTestPingAddress) = *c.loaded;
    }
    EXPECT_EQ(loaded.settings, expected);
  }
}

// The window's fields and the record: the addresses as typed, less the blanks
// around them, and back.
TEST_F(SettingsRecord, PingAddressFieldsAndRecordOneToTheOther) {
  StoreWindow window;
  window.mEdt5.setText(" \thttps://hc.example/ping/abc  ");
  window.mEdt6.setText("https://chat.example/hook?k=a b");
  const StoredSettings taken = form::StoredFields(window);
  EXPECT_EQ(taken.PingAddress, "https://hc.example/ping/abc");
  EXPECT_EQ(taken.RestoreTestPingAddress, "https://chat.example/hook?k=a b");

  StoredSettings stored;
  stored.PingAddress = "https://hc.example/stored";
  StoreWindow shown;
  shown.mEdt6.setText("left over");
  form::ShowStored(stored, shown);
  EXPECT_EQ(shown.mEdt5.text(), "https://hc.example/stored");
  EXPECT_EQ(shown.mEdt6.text(), "") << "none stored is none shown";
}

#ifdef _WIN32
// With the machine's own protection, as the program stores them.
TEST_F(SettingsRecord, PingAddressesThroughTheMachinesProtection) {
  const DpapiProtector machine;
  StoredSettings s;
  s.PingAddress = "https://hc.example/ping/5f0c7e2a-Tok3n";
  s.RestoreTestPingAddress = "https://chat.example/hook?key=秘密";
  MemoryRegistry registry;
  ASSERT_TRUE(SaveStoredSettings(s, registry, machine, Groups::Window));
  const std::string stored = registry.value(kStatus, "PingAddress").value_or("<none>");
  EXPECT_EQ(stored.compare(0, ProtectedPrefix.size(), ProtectedPrefix), 0) << stored;
  EXPECT_EQ(stored.find("Tok3n"), std::string::npos);
  const LoadedSettings loaded = LoadStoredSettings(registry, machine, Groups::Window);
  EXPECT_TRUE(loaded.problems.empty());
  EXPECT_EQ(loaded.settings.PingAddress, s.PingAddress);
  EXPECT_EQ(loaded.settings.RestoreTestPingAddress, s.RestoreTestPingAddress);
  // What the test's stand-in protected is not the machine's.
  registry.setValue(kStatus, "PingAddress", Protected("https://hc.example/x"));
  EXPECT_EQ(Texts(LoadStoredSettings(registry, machine, Groups::Window).problems),
            std::vector<std::string>{"Unreadable PingAddress []"});
}
#endif

}  // namespace
}  // namespace bakwyn::settings
