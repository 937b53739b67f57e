#include "form/StoredForm.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <optional>

#include "settings/Autostart.h"
#include "settings/Base64.h"
#include "settings/MemoryRegistry.h"
#include "tests/support/StoreWindow.h"
#include "tests/support/TestProtector.h"

namespace bakwyn::settings {
namespace {

using bakwyn::testing::StoredControlNames;
using bakwyn::testing::StoreWindow;
using bakwyn::testing::TestProtector;
using namespace bakwyn::form;

std::string Key(const std::string& control) { return ControlStateKey("FrmMain", control); }

using Values = std::map<std::string, std::string>;
using ::testing::IsEmpty;
using namespace std::string_literals;

class ControlStore : public ::testing::Test {
 protected:
  MemoryRegistry registry;
  TestProtector protector;
  StoreWindow window;

  void load() { LoadWindowSettings(window, registry, protector); }
  void save() { SaveWindowSettings(window, registry, protector); }

  std::vector<std::string> controlKeys() const {
    std::vector<std::string> out;
    const std::string prefix = Key("");
    for (const std::string& key : registry.keys()) {
      if (key.size() > prefix.size() && key.compare(0, prefix.size(), prefix) == 0) out.push_back(key.substr(prefix.size()));
    }
    return out;
  }
};

TEST_F(ControlStore, KeyOfThePasswordField) {
  EXPECT_EQ(Key("mEdt4"), "Software\\Tarsel软件\\Oskavel\\窗体属性风格\\FrmMain\\mEdt4");
}

TEST_F(ControlStore, FirstStartCreatesTheSixteenKeysAndChangesNothing) {
  const std::string before = window.snapshot();
  load();
  EXPECT_EQ(window.snapshot(), before);
  EXPECT_EQ(controlKeys(), StoredControlNames());
  for (const std::string& name : StoredControlNames()) EXPECT_EQ(registry.values(Key(name)), Values{}) << name;
}

TEST_F(ControlStore, SaveWritesEachKindItsValue) {
  window.get<TmEdt>("mEdt2").setText("PC-01");
  window.get<TmEdt>("mEdt3").setText(" sa ");
  window.get<TmavBEdit>("mavBEdit2").setText("D:\\数据库自动备份目录\\");
  window.get<TdxCheckEdit>("dxCheckEdit1").setChecked(true);
  window.get<TmavTimeEdit>("dxTimeEdit1").setText(" 8:05");
  window.get<TdxCheckEdit>("dxCheckEdit3").setEnabled(false);
  window.get<TmavPopEdit>("mEdt1").setText("库'];{x}");
  window.get<TdxCheckEdit>("dxCheckEdit5").setChecked(true);
  window.get<TmavSpinEdit>("mavSpinEdit1").setValue(30);
  registry.setValue(Key("dxCheckEdit3"), "CHECKED", "-1");  // stored while it was enabled

  save();

  const std::map<std::string, Values> expected = {
      {"mEdt2", {{"TEXT", "PC-01"}}},
      {"mEdt3", {{"TEXT", " sa "}}},
      {"mEdt4", {{"TEXT", ""}}},
      {"mavBEdit2", {{"TEXT", "D:\\数据库自动备份目录\\"}}},
      {"dxCheckEdit1", {{"CHECKED", "-1"}}},
      {"dxTimeEdit1", {{"TEXT", " 8:05"}}},
      {"dxCheckEdit2", {{"CHECKED", "0"}}},
      {"dxTimeEdit2", {{"TEXT", "00:00"}}},
      {"dxCheckEdit3", {{"CHECKED", "-1"}}},  // disabled: left as it was
      {"dxTimeEdit3", {{"TEXT", "00:00"}}},
      {"dxCheckEdit4", {{"CHECKED", "0"}}},
      {"dxTimeEdit4", {{"TEXT", "00:00"}}},
      {"mEdt1", {{"TEXT", "库'];{x}"}}},
      {"dxCheckEdit5", {{"CHECKED", "-1"}}},
      {"mavSpinEdit1", {{"VALUE", "30"}}},
  };
  for (const auto& [name, values] : expected) EXPECT_EQ(registry.values(Key(name)), values) << name;
  // The tree list's widths are never written: its key is not even created.
  std::vector<std::string> savedNames(StoredControlNames().begin() + 1, StoredControlNames().end());
  std::vector<std::string> keys = controlKeys();
  std::sort(keys.begin(), keys.end());
  std::sort(savedNames.begin(), savedNames.end());
  EXPECT_EQ(keys, savedNames);
}

TEST_F(ControlStore, SavedStatesLoadBackIntoAFreshWindow) {
  const std::string hostile[] = {
      "plain",
      "O'Neil \"quoted\"",
      "[bracket]]; DROP TABLE x; --",
      "{braces} %percent% _under_",
      std::string("tab\tcr\rlf\nnul-free\x01\x1f end "),
      "数据库自动备份目录\\中文",
      std::string(3000, 'x') + "长",
  };
  for (const std::string& text : hostile) {
    SCOPED_TRACE(text.substr(0, 40));
    MemoryRegistry fresh;
    StoreWindow saved;
    for (const char* name : {"mEdt2", "mEdt3", "mEdt4"}) saved.get<TmEdt>(name).setText(text + name);
    saved.get<TmavBEdit>("mavBEdit2").setText(text);
    saved.get<TmavPopEdit>("mEdt1").setText(text);
    for (int i = 1; i <= 4; ++i) {
      saved.get<TdxCheckEdit>("dxCheckEdit" + std::to_string(i)).setChecked(i % 2 == 1);
      saved.get<TmavTimeEdit>("dxTimeEdit" + std::to_string(i)).setText("2" + std::to_string(i - 1) + ":5" + std::to_string(i));
    }
    saved.get<TdxCheckEdit>("dxCheckEdit5").setChecked(true);
    saved.get<TmavSpinEdit>("mavSpinEdit1").setValue(998);
    SaveWindowSettings(saved, fresh, protector);

    StoreWindow loaded;
    LoadWindowSettings(loaded, fresh, protector);
    EXPECT_EQ(loaded.snapshot(), saved.snapshot());
  }
}

TEST_F(ControlStore, LoadRules) {
  struct Case {
    const char* name;
    const char* control;
    const char* valueName;
    std::string stored;
    std::function<void(StoreWindow&)> before;
    std::function<void(StoreWindow&)> check;  // empty: a conversion error naming the stored text
  };
  auto spin = [](StoreWindow& w) -> TmavSpinEdit& { return w.get<TmavSpinEdit>("mavSpinEdit1"); };
  auto check2 = [](StoreWindow& w) -> TdxCheckEdit& { return w.get<TdxCheckEdit>("dxCheckEdit2"); };
  auto time2 = [](StoreWindow& w) -> TmavTimeEdit& { return w.get<TmavTimeEdit>("dxTimeEdit2"); };
  auto precheck = [&](StoreWindow& w) { check2(w).setChecked(true); };
  auto expectChecked = [&](bool on) {
    return [=](StoreWindow& w) {
      EXPECT_EQ(check2(w).checked(), on);
      EXPECT_EQ(time2(w).enabled(), on);  // the pairing handler ran
    };
  };
  auto expectValue = [&](double value) { return [=](StoreWindow& w) { EXPECT_EQ(spin(w).value(), value); }; };
  auto expectText = [](const char* control, const char* text) {
    return [=](StoreWindow& w) { EXPECT_EQ(dynamic_cast<TdxInplaceTextEdit&>(*w.find(control)).text(), text); };
  };
  auto expectWidth = [](int width) {
    return [=](StoreWindow& w) { EXPECT_EQ(w.get<TmavTree>("mavTree1").columns()[0].width, width); };
  };
  auto expectTextOf = [](const char* control, std::string text) {
    return [=](StoreWindow& w) { EXPECT_EQ(dynamic_cast<TdxInplaceTextEdit&>(*w.find(control)).text(), text); };
  };
  const Case cases[] = {
      // Values are held to the editor's range, so the field shows what runs.
      {"value at the maximum", "mavSpinEdit1", "VALUE", "999999", {}, expectValue(999999)},
      {"value just below the maximum", "mavSpinEdit1", "VALUE", "999998", {}, expectValue(999998)},
      {"value above the maximum", "mavSpinEdit1", "VALUE", "1000000", {}, expectValue(999999)},
      {"value 0 below the minimum", "mavSpinEdit1", "VALUE", "0", {}, expectValue(1)},
      {"negative value", "mavSpinEdit1", "VALUE", "-5", {}, expectValue(1)},
      {"empty value is not applied", "mavSpinEdit1", "VALUE", "", {}, expectValue(3)},
      {"value cut at a NUL", "mavSpinEdit1", "VALUE", "12\0" "3"s, {}, expectValue(12)},
      {"fractional value", "mavSpinEdit1", "VALUE", "2.5", {}, {}},
      {"text value", "mavSpinEdit1", "VALUE", "abc", {}, {}},
      // A number of days kept never comes back smaller than the one stored.
      {"value beyond any integer is held to the maximum", "mavSpinEdit1", "VALUE", "9999999999", {}, expectValue(999999)},
      {"value in exponent form beyond the range", "mavSpinEdit1", "VALUE", "1E20", {}, expectValue(999999)},
      {"value beyond any double", "mavSpinEdit1", "VALUE", "1E400", {}, expectValue(999999)},
      {"fraction beyond the range", "mavSpinEdit1", "VALUE", "1000000.5", {}, expectValue(999999)},
      {"negative value beyond any integer", "mavSpinEdit1", "VALUE", "-9999999999", {}, {}},
      {"value in exponent form within the range", "mavSpinEdit1", "VALUE", "1E3", {}, {}},
      {"infinity is no number", "mavSpinEdit1", "VALUE", "INF", {}, {}},
      {"checked -1", "dxCheckEdit2", "CHECKED", "-1", {}, expectChecked(true)},
      {"checked 0", "dxCheckEdit2", "CHECKED", "0", precheck, expectChecked(false)},
      {"checked 5", "dxCheckEdit2", "CHECKED", "5", {}, expectChecked(true)},
      {"checked true", "dxCheckEdit2", "CHECKED", "true", {}, expectChecked(true)},
      {"checked FALSE", "dxCheckEdit2", "CHECKED", "FALSE", precheck, expectChecked(false)},
      {"checked empty keeps the state", "dxCheckEdit2", "CHECKED", "", precheck, expectChecked(true)},
      {"checked yes", "dxCheckEdit2", "CHECKED", "yes", {}, {}},
      {"disabled check box is not read", "dxCheckEdit5", "CHECKED", "yes",
       [](StoreWindow& w) { w.get<TdxCheckEdit>("dxCheckEdit5").setEnabled(false); },
       [&](StoreWindow& w) {
         EXPECT_FALSE(w.get<TdxCheckEdit>("dxCheckEdit5").checked());
         EXPECT_FALSE(spin(w).enabled());
       }},
      {"column width", "mavTree1", "0", "80", {}, expectWidth(80)},
      {"column width below the minimum", "mavTree1", "0", "2", {}, expectWidth(10)},
      {"empty column width", "mavTree1", "0", "", {}, expectWidth(57)},
      {"column width of no column is not read", "mavTree1", "1", "wide", {}, expectWidth(57)},
      {"column width text", "mavTree1", "0", "wide", {}, {}},
      {"disabled editor is loaded", "mEdt2", "TEXT", "PC;{x}'", {}, expectText("mEdt2", "PC;{x}'")},
      {"text cut at its first NUL, as the edit shows it", "mEdt1", "TEXT", "shop\0junk"s, {},
       expectTextOf("mEdt1", "shop")},
      {"text that starts with a NUL is empty and not applied", "mEdt3", "TEXT", "\0sa"s,
       [](StoreWindow& w) { w.get<TmEdt>("mEdt3").setText("sa"); }, expectText("mEdt3", "sa")},
      {"time text is loaded raw", "dxTimeEdit1", "TEXT", " 8: 5", {}, expectText("dxTimeEdit1", " 8: 5")},
      {"last minute of the day", "dxTimeEdit1", "TEXT", "23:59", {}, expectText("dxTimeEdit1", "23:59")},
      {"hour beyond the day", "dxTimeEdit1", "TEXT", "24:00", {}, {}},
      {"minute beyond the hour", "dxTimeEdit1", "TEXT", "12:60", {}, {}},
      {"time of another shape", "dxTimeEdit1", "TEXT", "7:5", {}, {}},
      {"time with a second", "dxTimeEdit1", "TEXT", "07:05:00", {}, {}},
      {"blank text is applied", "mEdt3", "TEXT", " ", {}, expectText("mEdt3", " ")},
      {"empty text is not applied", "mEdt3", "TEXT", "",
       [](StoreWindow& w) { w.get<TmEdt>("mEdt3").setText("sa"); }, expectText("mEdt3", "sa")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryRegistry fresh;
    StoreWindow w;
    if (c.before) c.before(w);
    fresh.setValue(Key(c.control), c.valueName, c.stored);
    const std::vector<LoadProblem> problems = LoadWindowSettings(w, fresh, protector);
    if (c.check) {
      EXPECT_THAT(problems, IsEmpty());
      c.check(w);
    } else {
      // Passed over and named; the control keeps its state.
      ASSERT_EQ(problems.size(), 1u);
      EXPECT_EQ(problems[0].control, c.control);
      EXPECT_EQ(problems[0].stored, c.stored);
      EXPECT_EQ(problems[0].kind, std::string_view(c.control).starts_with("dxTimeEdit")
                                      ? LoadProblem::Kind::InvalidTime
                                      : LoadProblem::Kind::Unreadable);
      const StoreWindow untouched;
      EXPECT_EQ(w.snapshot(), untouched.snapshot());
    }
  }
}

// One value that cannot be taken must not keep the others from loading: they
// make the schedule.
TEST_F(ControlStore, ValuesThatCannotBeTakenArePassedOverAndNamedInOrder) {
  registry.setValue(Key("mEdt3"), "TEXT", "sa");
  registry.setValue(Key("dxCheckEdit1"), "CHECKED", "yes");
  registry.setValue(Key("dxTimeEdit1"), "TEXT", "08:05");
  registry.setValue(Key("dxCheckEdit2"), "CHECKED", "-1");
  registry.setValue(Key("dxTimeEdit2"), "TEXT", "25:00");
  registry.setValue(Key("mEdt1"), "TEXT", "shop");
  registry.setValue(Key("mavSpinEdit1"), "VALUE", "abc");
  const std::vector<LoadProblem> problems = LoadWindowSettings(window, registry, protector);
  ASSERT_EQ(problems.size(), 3u);
  EXPECT_EQ(problems[0].control, "dxCheckEdit1");
  EXPECT_EQ(problems[0].stored, "yes");
  EXPECT_EQ(problems[1].control, "dxTimeEdit2");
  EXPECT_EQ(problems[1].kind, LoadProblem::Kind::InvalidTime);
  EXPECT_EQ(problems[2].control, "mavSpinEdit1");
  EXPECT_EQ(window.get<TmavTimeEdit>("dxTimeEdit1").text(), "08:05");
  EXPECT_EQ(window.get<TmavTimeEdit>("dxTimeEdit2").text(), "00:00") << "kept its own";
  EXPECT_TRUE(window.get<TdxCheckEdit>("dxCheckEdit2").checked());
  EXPECT_EQ(window.get<TmavPopEdit>("mEdt1").text(), "shop");
  EXPECT_EQ(window.get<TmavSpinEdit>("mavSpinEdit1").value(), 3);
  EXPECT_TRUE(registry.hasKey(Key("mavSpinEdit1")));
}

TEST_F(ControlStore, KeyThatCannotBeOpenedEndsTheLoadSilently) {
  for (const char* name : {"mEdt3", "mavBEdit2", "mEdt1"}) registry.setValue(Key(name), "TEXT", name);
  registry.failKey(Key("mavBEdit2"));
  EXPECT_NO_THROW(load());
  EXPECT_EQ(window.get<TmEdt>("mEdt3").text(), "mEdt3");
  EXPECT_EQ(window.get<TmavBEdit>("mavBEdit2").text(), "");
  EXPECT_EQ(window.get<TmavPopEdit>("mEdt1").text(), "");
  EXPECT_TRUE(registry.hasKey(Key("mEdt4")));
  EXPECT_FALSE(registry.hasKey(Key("dxCheckEdit1")));
}

TEST_F(ControlStore, KeyThatCannotBeCreatedEndsTheSaveSilently) {
  window.get<TmavTimeEdit>("dxTimeEdit2").setText("10:00");
  window.get<TmavTimeEdit>("dxTimeEdit3").setText("11:00");
  registry.failKey(Key("dxCheckEdit3"));
  EXPECT_NO_THROW(save());
  EXPECT_EQ(registry.value(Key("dxTimeEdit2"), "TEXT"), "10:00");
  EXPECT_FALSE(registry.hasKey(Key("dxCheckEdit3")));
  EXPECT_FALSE(registry.hasKey(Key("dxTimeEdit3")));
  EXPECT_FALSE(registry.hasKey(Key("mavSpinEdit1")));
}

TEST_F(ControlStore, CheckedBoxEnablesItsEditorBeforeTheEditorIsRead) {
  for (const char* stored : {"-1", "0"}) {
    MemoryRegistry fresh;
    StoreWindow w;
    fresh.setValue(Key("dxCheckEdit3"), "CHECKED", stored);
    fresh.setValue(Key("dxTimeEdit3"), "TEXT", "23:59");
    // Whether the editor was enabled when its stored text reached it.
    struct Watch final : ControlView {
      explicit Watch(TmavTimeEdit& edit) : edit(edit) {}
      void showText(const std::string& text) override {
        if (text == "23:59") enabledWhenShown = edit.enabled();
      }
      TmavTimeEdit& edit;
      std::optional<bool> enabledWhenShown;
    } watch(w.get<TmavTimeEdit>("dxTimeEdit3"));
    w.get<TmavTimeEdit>("dxTimeEdit3").attach(&watch);
    LoadWindowSettings(w, fresh, protector);
    w.get<TmavTimeEdit>("dxTimeEdit3").attach(nullptr);
    EXPECT_EQ(watch.enabledWhenShown, std::string(stored) == "-1") << stored;
    EXPECT_EQ(w.get<TmavTimeEdit>("dxTimeEdit3").text(), "23:59");  // loaded enabled or not
  }
}

TEST_F(ControlStore, UserWithoutWriteAccessLoadsWhatWasSaved) {
  window.get<TmEdt>("mEdt4").setText("pa'ss");
  window.get<TmavPopEdit>("mEdt1").setText("库");
  window.get<TdxCheckEdit>("dxCheckEdit4").setChecked(true);
  save();
  registry.setReadOnly(true);

  // The tree list's key was never created and cannot be now: the pass ends
  // at the first control.
  StoreWindow reader;
  const std::string untouched = reader.snapshot();
  LoadWindowSettings(reader, registry, protector);
  EXPECT_EQ(reader.snapshot(), untouched);
  EXPECT_FALSE(registry.hasKey(Key("mavTree1")));

  registry.setReadOnly(false);
  StoreWindow first;
  LoadWindowSettings(first, registry, protector);  // creates the tree list's key
  registry.setReadOnly(true);
  StoreWindow later;
  LoadWindowSettings(later, registry, protector);
  EXPECT_EQ(later.snapshot(), window.snapshot());

  window.get<TmavPopEdit>("mEdt1").setText("changed");
  EXPECT_NO_THROW(save());
  EXPECT_EQ(registry.value(Key("mEdt1"), "TEXT"), "库");
}

TEST_F(ControlStore, PasswordIsStoredProtected) {
  const std::string password = "Pa$$'口令";
  window.get<TmEdt>("mEdt4").setText(password);
  window.get<TmEdt>("mEdt3").setText(password);  // the same text in a plain edit is stored as it stands
  save();

  const std::string stored = registry.value(Key("mEdt4"), "TEXT").value_or("");
  ASSERT_EQ(stored.compare(0, ProtectedPrefix.size(), ProtectedPrefix), 0) << stored;
  EXPECT_EQ(stored.find(password), std::string::npos);
  const auto bytes = Base64Decode(stored.substr(ProtectedPrefix.size()));
  ASSERT_TRUE(bytes);
  EXPECT_EQ(protector.unprotect(*bytes), password);
  EXPECT_EQ(registry.value(Key("mEdt3"), "TEXT"), password);

  StoreWindow loaded;
  LoadWindowSettings(loaded, registry, protector);
  EXPECT_EQ(loaded.get<TmEdt>("mEdt4").text(), password);
}

TEST_F(ControlStore, ClearTextPasswordOfAnOlderVersionLoadsAndIsProtectedAtTheNextSave) {
  registry.setValue(Key("mEdt4"), "TEXT", "old secret");
  load();
  EXPECT_EQ(window.get<TmEdt>("mEdt4").text(), "old secret");
  save();
  const std::string stored = registry.value(Key("mEdt4"), "TEXT").value_or("");
  EXPECT_EQ(stored.compare(0, ProtectedPrefix.size(), ProtectedPrefix), 0) << stored;
  EXPECT_EQ(stored.find("old secret"), std::string::npos);
}

TEST_F(ControlStore, ProtectedPasswordThatCannotBeUnprotectedIsPassedOverUnquoted) {
  const std::string foreign = std::string(ProtectedPrefix) + Base64Encode("made elsewhere");
  for (const std::string& stored : {foreign, std::string(ProtectedPrefix) + "not base64!"}) {
    SCOPED_TRACE(stored);
    MemoryRegistry fresh;
    StoreWindow w;
    fresh.setValue(Key("mEdt4"), "TEXT", stored);
    fresh.setValue(Key("mavBEdit2"), "TEXT", "D:\\");
    const std::vector<LoadProblem> problems = LoadWindowSettings(w, fresh, protector);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0].control, "mEdt4");
    EXPECT_EQ(problems[0].stored, "") << "a password is never shown";
    EXPECT_EQ(w.get<TmEdt>("mEdt4").text(), "");
    EXPECT_EQ(w.get<TmavBEdit>("mavBEdit2").text(), "D:\\") << "the later controls still load";
  }
}

TEST(MemoryRegistry, KeysAreCaseBlindAndComeWithTheirParents) {
  MemoryRegistry registry;
  registry.open("Software\\Tarsel软件\\A\\b", Access::Write)->writeString("TEXT", "x");
  EXPECT_EQ(registry.keys(), (std::vector<std::string>{"Software", "Software\\Tarsel软件", "Software\\Tarsel软件\\A",
                                                       "Software\\Tarsel软件\\A\\b"}));
  EXPECT_EQ(registry.open("SOFTWARE\\tarsel软件\\a\\B\\", Access::Read)->readString("TEXT"), "x");
  EXPECT_EQ(registry.open("software\\Tarsel软件\\a\\b", Access::Read)->readString("text"), std::nullopt);
  EXPECT_EQ(registry.keys().size(), 4u);
  // A key opened for reading cannot be written, whoever created it.
  EXPECT_THROW(registry.open("Software\\Tarsel软件\\A\\b", Access::Read)->writeString("TEXT", "y"), RegistryError);
  EXPECT_THROW(registry.open("Software\\new", Access::Read)->writeString("TEXT", "y"), RegistryError);
  EXPECT_EQ(registry.value("Software\\Tarsel软件\\A\\b", "TEXT"), "x");
}

TEST(Autostart, RunValueIsWrittenOrTheFailureNamesIt) {
  MemoryRegistry registry;
  WriteRunValue(registry, "Bakwyn[Vorda免费软件]", "C:\\程序\\Bakwyn.exe");
  EXPECT_EQ(registry.value("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", "Bakwyn[Vorda免费软件]"),
            "C:\\程序\\Bakwyn.exe");

  MemoryRegistry locked;
  locked.setReadOnly(true);
  try {
    WriteRunValue(locked, "Bakwyn[Vorda免费软件]", "C:\\Bakwyn.exe");
    ADD_FAILURE() << "no error";
  } catch (const RegistryError& e) {
    EXPECT_STREQ(e.what(), "Failed to set data for 'Bakwyn[Vorda免费软件]'");
  }
}

TEST(Autostart, RunCommandQuotesThePath) {
  EXPECT_EQ(RunCommand("C:\\Program Files\\Bakwyn\\Bakwyn.exe"), "\"C:\\Program Files\\Bakwyn\\Bakwyn.exe\"");
}

}  // namespace
}  // namespace bakwyn::settings
