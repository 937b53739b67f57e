// The Windows event log under Wine: the message table read back from the built
// Bakwyn.exe as the Event Viewer reads it, the event source's key in the
// prefix's registry, and what the sink hands ReportEventW (through its seam,
// and once the real one). Wine keeps no event log to read back, so what an
// event carries is seen at the call.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app/EventLog.h"
#include "app/Notices.h"
#include "base/Text.h"
#include "base/WinHandles.h"

namespace bakwyn::app {
namespace {

constexpr wchar_t kSourceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Bakwyn";

// The built program file: $BAKWYN_EXE, the build's path of it (a Unix one under Wine).
std::wstring BuiltExe() {
  const char* path = std::getenv("BAKWYN_EXE");
  if (!path || !*path) return {};
  using ToDos = wchar_t*(CDECL*)(const char*);
  const auto toDos = reinterpret_cast<ToDos>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
  if (path[0] == '/' && toDos) {
    if (wchar_t* dos = toDos(path)) {
      std::wstring out = dos;
      HeapFree(GetProcessHeap(), 0, dos);
      return out;
    }
  }
  std::wstring wide = ToWide(path);
  std::replace(wide.begin(), wide.end(), L'/', L'\\');
  return wide;
}

std::wstring Marker(int n) { return L"<" + std::to_wstring(n) + L">"; }

// ---------------------------------------------------------------------------
// The message table of the built exe.

class MessageTable : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::wstring exe = BuiltExe();
    ASSERT_FALSE(exe.empty()) << "BAKWYN_EXE names no program";
    // How the Event Viewer opens a message file: as data, nothing of it run.
    module_.reset(LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    ASSERT_TRUE(module_) << FromWide(exe) << ": " << GetLastError();
  }

  UniqueModule module_;
};

// One table, under the neutral language alone: found on every display
// language, never a second copy in another language that would be chosen
// first on that one. It holds the events' numbers, and nothing else (a
// severity or facility bit would make every number another one).
TEST_F(MessageTable, IsOneNeutralTableOfExactlyTheEvents) {
  std::vector<LANGID> languages;
  EnumResourceLanguagesW(
      module_.get(), RT_MESSAGETABLE, MAKEINTRESOURCEW(1),
      [](HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR found) -> BOOL {
        reinterpret_cast<std::vector<LANGID>*>(found)->push_back(language);
        return TRUE;
      },
      reinterpret_cast<LONG_PTR>(&languages));
  EXPECT_EQ(languages, std::vector<LANGID>{MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL)});

  HRSRC resource =
      FindResourceExW(module_.get(), RT_MESSAGETABLE, MAKEINTRESOURCEW(1), MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL));
  ASSERT_NE(resource, nullptr);
  const auto* table = static_cast<const BYTE*>(LockResource(LoadResource(module_.get(), resource)));
  ASSERT_NE(table, nullptr);
  const auto* data = reinterpret_cast<const MESSAGE_RESOURCE_DATA*>(table);
  std::set<DWORD> ids;
  for (DWORD block = 0; block < data->NumberOfBlocks; ++block) {
    const MESSAGE_RESOURCE_BLOCK& range = data->Blocks[block];
    const BYTE* entry = table + range.OffsetToEntries;
    for (DWORD id = range.LowId; id <= range.HighId; ++id) {
      const auto* message = reinterpret_cast<const MESSAGE_RESOURCE_ENTRY*>(entry);
      EXPECT_EQ(message->Flags, MESSAGE_RESOURCE_UNICODE) << id;
      ids.insert(id);
      entry += message->Length;
    }
  }
  std::set<DWORD> expected;
  for (const EventInfo& info : kEvents) expected.insert(static_cast<DWORD>(info.id));
  EXPECT_EQ(ids, expected);
}

// Every event's message, found by its number with the language FormatMessageW
// picks itself (0, as the Event Viewer asks), takes exactly the strings
// kEvents gives it: nine markers are offered, the first n must appear and none
// after them. A %k beyond n would take a string the sink never passes and show
// as "%k" in the Event Viewer; a "%" of the text itself would be misread.
TEST_F(MessageTable, EveryEventsMessageTakesItsStringsAndNoMore) {
  std::vector<std::wstring> markers;
  std::vector<DWORD_PTR> arguments;
  for (int k = 1; k <= 9; ++k) markers.push_back(Marker(k));
  for (const std::wstring& marker : markers) arguments.push_back(reinterpret_cast<DWORD_PTR>(marker.c_str()));

  for (const EventInfo& info : kEvents) {
    SCOPED_TRACE(std::string(info.name) + " (" + std::to_string(static_cast<int>(info.id)) + ")");
    UniqueAny<LocalMemoryTraits<wchar_t*>> buffer;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY | FORMAT_MESSAGE_ALLOCATE_BUFFER, module_.get(),
        static_cast<DWORD>(info.id), 0, reinterpret_cast<wchar_t*>(buffer.put()), 0,
        reinterpret_cast<va_list*>(arguments.data()));
    ASSERT_GT(length, 0u) << "no message: error " << GetLastError();
    const std::wstring text(buffer.get(), length);
    const std::string shown = FromWide(text);
    for (int k = 1; k <= 9; ++k) {
      EXPECT_EQ(text.find(Marker(k)) != std::wstring::npos, k <= info.strings) << "%" << k << " in: " << shown;
    }
    EXPECT_EQ(text.find(L'%'), std::wstring::npos) << shown;
    // Chinese as written: read in another code page, UTF-8 would have become
    // Latin letters and no CJK character would be left.
    EXPECT_TRUE(std::any_of(text.begin(), text.end(), [](wchar_t c) { return c >= 0x4E00 && c <= 0x9FFF; })) << shown;
    EXPECT_FALSE(std::any_of(text.begin(), text.end(), [](wchar_t c) { return c >= 0x80 && c <= 0xFF; })) << shown;
  }
}

// The layout of one message as the Event Viewer shows it: %n breaks the line.
TEST_F(MessageTable, BackupFailedReadsAsItIsShown) {
  const std::wstring database = L"销售库", cause = L"3201 Cannot open backup device",
                     file = L"D:\\备份\\2026年12月10日02时00分.bak";
  const DWORD_PTR arguments[] = {reinterpret_cast<DWORD_PTR>(database.c_str()),
                                 reinterpret_cast<DWORD_PTR>(cause.c_str()), reinterpret_cast<DWORD_PTR>(file.c_str())};
  wchar_t text[512] = {};
  const DWORD length =
      FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, module_.get(),
                     static_cast<DWORD>(EventId::BackupFailed), 0, text, 512,
                     reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(arguments)));
  ASSERT_GT(length, 0u) << GetLastError();
  std::wstring message(text, length);
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r')) message.pop_back();
  EXPECT_EQ(FromWide(message),
            "数据库 销售库 备份失败。\r\n原因: 3201 Cannot open backup device\r\n备份文件: D:\\备份\\2026年12月10日02时00分.bak");
}

// ---------------------------------------------------------------------------
// The event source's key, in the prefix's registry (Wine's HKLM is writable).

struct StoredValue {
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

std::optional<StoredValue> ReadStored(const wchar_t* name) {
  HKEY raw = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSourceKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &raw) != ERROR_SUCCESS)
    return std::nullopt;
  UniqueHkey key(raw);
  StoredValue value;
  DWORD size = 4096;
  value.data.resize(size);
  if (RegQueryValueExW(key.get(), name, nullptr, &value.type, value.data.data(), &size) != ERROR_SUCCESS)
    return std::nullopt;
  value.data.resize(size);
  return value;
}

std::wstring AsText(const StoredValue& value) {
  std::wstring text(reinterpret_cast<const wchar_t*>(value.data.data()), value.data.size() / sizeof(wchar_t));
  if (!text.empty() && text.back() == L'\0') text.pop_back();
  return text;
}

bool KeyExists(const wchar_t* path) {
  HKEY raw = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &raw) != ERROR_SUCCESS)
    return false;
  RegCloseKey(raw);
  return true;
}

// When the key was last written.
ULONGLONG LastWritten() {
  HKEY raw = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSourceKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &raw) != ERROR_SUCCESS)
    return 0;
  UniqueHkey key(raw);
  FILETIME written{};
  RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                   nullptr, &written);
  return (ULONGLONG{written.dwHighDateTime} << 32) | written.dwLowDateTime;
}

void Store(const wchar_t* name, DWORD type, const void* data, DWORD size) {
  HKEY raw = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSourceKey, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr,
                            &raw, nullptr),
            ERROR_SUCCESS);
  UniqueHkey key(raw);
  ASSERT_EQ(RegSetValueExW(key.get(), name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
}

void StoreText(const wchar_t* name, DWORD type, const std::wstring& text) {
  Store(name, type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

void StoreDword(const wchar_t* name, DWORD number) { Store(name, REG_DWORD, &number, sizeof number); }

class EventSource : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(RemoveEventSource()); }
  void TearDown() override { EXPECT_TRUE(RemoveEventSource()); }

  // The exe as the service registers it, in a folder with a Chinese name.
  const std::wstring exe_ = L"C:\\Program Files\\数据库备份\\Bakwyn.exe";

  void ExpectRegistered() {
    const std::optional<StoredValue> file = ReadStored(L"EventMessageFile");
    ASSERT_TRUE(file);
    EXPECT_EQ(file->type, static_cast<DWORD>(REG_EXPAND_SZ));
    EXPECT_EQ(AsText(*file), exe_);
    const std::optional<StoredValue> types = ReadStored(L"TypesSupported");
    ASSERT_TRUE(types);
    EXPECT_EQ(types->type, static_cast<DWORD>(REG_DWORD));
    ASSERT_EQ(types->data.size(), sizeof(DWORD));
    DWORD number = 0;
    std::copy(types->data.begin(), types->data.end(), reinterpret_cast<BYTE*>(&number));
    EXPECT_EQ(number, 7u);  // error, warning, information
  }
};

// Written once; a second call (an administrator's every save) leaves the key
// as it is, down to its time of writing, which a write does move.
TEST_F(EventSource, IsWrittenOnceAndThenLeft) {
  std::string error;
  ASSERT_TRUE(InstallEventSource(exe_, &error)) << error;
  ExpectRegistered();

  const ULONGLONG first = LastWritten();
  ASSERT_NE(first, 0u);
  Sleep(50);
  ASSERT_TRUE(InstallEventSource(exe_, &error)) << error;
  EXPECT_EQ(LastWritten(), first);

  StoreDword(L"TypesSupported", 1);
  const ULONGLONG tampered = LastWritten();
  EXPECT_GT(tampered, first);
  Sleep(50);
  ASSERT_TRUE(InstallEventSource(exe_, &error)) << error;
  EXPECT_GT(LastWritten(), tampered);
  ExpectRegistered();
}

// Whatever was there before is made right: the exe moved, a value of the
// wrong type (an REG_SZ file, which the Event Viewer would not expand; a
// number stored as text), a value or the whole key missing.
TEST_F(EventSource, PutsRightWhatDiffers) {
  struct Case {
    const char* name;
    std::function<void()> before;
  };
  const std::wstring exe = exe_;
  const Case cases[] = {
      {"no key", [] {}},
      {"another program file", [] { StoreText(L"EventMessageFile", REG_EXPAND_SZ, L"C:\\Old\\Bakwyn.exe"); }},
      {"the file as REG_SZ",
       [&] {
         StoreText(L"EventMessageFile", REG_SZ, exe);
         StoreDword(L"TypesSupported", 7);
       }},
      {"types as text",
       [&] {
         StoreText(L"EventMessageFile", REG_EXPAND_SZ, exe);
         StoreText(L"TypesSupported", REG_SZ, L"7");
       }},
      {"types missing", [&] { StoreText(L"EventMessageFile", REG_EXPAND_SZ, exe); }},
      {"the file missing", [] { StoreDword(L"TypesSupported", 7); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(RemoveEventSource());
    c.before();
    std::string error;
    ASSERT_TRUE(InstallEventSource(exe_, &error)) << error;
    ExpectRegistered();
  }
}

TEST_F(EventSource, AnEmptyPathIsRefusedAndNothingWritten) {
  std::string error;
  EXPECT_FALSE(InstallEventSource(L"", &error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(KeyExists(kSourceKey));
}

// Removal deletes the source's key, and the Application log's key stays.
TEST_F(EventSource, RemovalDeletesOnlyTheSourcesKey) {
  ASSERT_TRUE(InstallEventSource(exe_));
  ASSERT_TRUE(KeyExists(kSourceKey));
  std::string error;
  EXPECT_TRUE(RemoveEventSource(&error)) << error;
  EXPECT_FALSE(KeyExists(kSourceKey));
  EXPECT_TRUE(KeyExists(L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application"));
  EXPECT_TRUE(RemoveEventSource(&error)) << error;  // none left: nothing to do
}

// ---------------------------------------------------------------------------
// The sink, through its seam.

const HANDLE kLog = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x4c06));

struct Reported {
  HANDLE log;
  WORD type;
  WORD category;
  DWORD id;
  PSID user;
  DWORD dataSize;
  LPVOID data;
  std::vector<std::wstring> strings;
};

// Stands in for the three calls and keeps what they were given.
struct Recorder {
  std::mutex mutex;
  std::vector<Reported> reports;
  std::vector<std::wstring> registeredSources;
  std::vector<HANDLE> deregistered;
  std::vector<HANDLE> registerAnswers;  // one per call, in turn; kLog once they are used up
  bool reportThrows = false;

  EventLogApi Api() {
    EventLogApi api;
    api.registerSource = [this](LPCWSTR server, LPCWSTR source) {
      std::lock_guard lock(mutex);
      EXPECT_EQ(server, nullptr);
      registeredSources.push_back(source);
      const std::size_t call = registeredSources.size() - 1;
      return call < registerAnswers.size() ? registerAnswers[call] : kLog;
    };
    api.report = [this](HANDLE log, WORD type, WORD category, DWORD id, PSID user, WORD count, DWORD dataSize,
                        LPCWSTR* strings, LPVOID data) -> BOOL {
      if (reportThrows) throw std::runtime_error("recorder");
      Reported reported{log, type, category, id, user, dataSize, data, {}};
      for (WORD i = 0; i < count; ++i) reported.strings.emplace_back(strings[i]);
      std::lock_guard lock(mutex);
      reports.push_back(std::move(reported));
      return TRUE;
    };
    api.deregisterSource = [this](HANDLE log) {
      std::lock_guard lock(mutex);
      deregistered.push_back(log);
      return TRUE;
    };
    return api;
  }
};

WORD ExpectedType(EventType type) {
  switch (type) {
    case EventType::error:
      return EVENTLOG_ERROR_TYPE;
    case EventType::warning:
      return EVENTLOG_WARNING_TYPE;
    case EventType::information:
      return EVENTLOG_INFORMATION_TYPE;
  }
  return 0;
}

// Every event as ReportEventW gets it: its own number, its type, category 0,
// no user and no data, its strings in order.
TEST(EventSink, ReportsEveryEventWithItsNumberTypeAndStrings) {
  Recorder recorder;
  {
    WindowsEventSink sink(recorder.Api());
    for (const EventInfo& info : kEvents) {
      Event event{info.id, {}};
      for (int k = 1; k <= info.strings; ++k) event.strings.push_back("第" + std::to_string(k) + "项");
      sink.report(event);
    }
  }
  ASSERT_EQ(recorder.reports.size(), std::size(kEvents));
  for (std::size_t i = 0; i < std::size(kEvents); ++i) {
    const EventInfo& info = kEvents[i];
    const Reported& reported = recorder.reports[i];
    SCOPED_TRACE(info.name);
    EXPECT_EQ(reported.log, kLog);
    EXPECT_EQ(reported.id, static_cast<DWORD>(info.id));
    EXPECT_EQ(reported.type, ExpectedType(info.type));
    EXPECT_EQ(reported.category, 0);
    EXPECT_EQ(reported.user, nullptr);
    EXPECT_EQ(reported.dataSize, 0u);
    EXPECT_EQ(reported.data, nullptr);
    std::vector<std::wstring> expected;
    for (int k = 1; k <= info.strings; ++k) expected.push_back(L"第" + std::to_wstring(k) + L"项");
    EXPECT_EQ(reported.strings, expected);
  }
}

// The strings as UTF-16, and always as many as the event's message takes.
TEST(EventSink, PassesExactlyTheStringsTheMessageTakes) {
  struct Case {
    const char* name;
    EventId id;
    std::vector<std::string> given;
    std::vector<std::wstring> passed;
  };
  const Case cases[] = {
      {"Chinese", EventId::BackupFailed,
       {"销售库", "磁盘已满", "D:\\备份\\2026年12月10日02时00分.bak"},
       {L"销售库", L"磁盘已满", L"D:\\备份\\2026年12月10日02时00分.bak"}},
      {"outside the BMP (4-byte UTF-8)", EventId::SettingsUnreadable, {"库😀名"}, {L"库\U0001F600名"}},
      {"invalid UTF-8", EventId::SettingsUnreadable, {"a\xff" "b"}, {L"a\uFFFDb"}},
      {"insert sequences stay text", EventId::PingFailed, {"%1%n%%2", "100%"}, {L"%1%n%%2", L"100%"}},
      {"missing ones are empty", EventId::RestoreTestFailed, {"销售库"}, {L"销售库", L"", L"", L""}},
      {"none given", EventId::BackupSucceeded, {}, {L"", L""}},
      {"extra ones are left out", EventId::BackupCancelled, {"a", "b", "c", "d"}, {L"a", L"b"}},
      {"an event without strings", EventId::ServiceStopped, {"x"}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Recorder recorder;
    WindowsEventSink sink(recorder.Api());
    sink.report(Event{c.id, c.given});
    ASSERT_EQ(recorder.reports.size(), 1u);
    EXPECT_EQ(recorder.reports[0].strings, c.passed);
  }
}

// A string longer than the limit is cut to it, ending with "…", and a
// character outside the BMP is never split at the cut.
TEST(EventSink, CutsAnOverlongStringAtACharacter) {
  const std::size_t limit = kMaxEventStringLength;
  const std::wstring ellipsis = L"\u2026";
  struct Case {
    const char* name;
    std::string given;
    std::wstring passed;
  };
  const Case cases[] = {
      {"at the limit", std::string(limit, 'a'), std::wstring(limit, L'a')},
      {"one over", std::string(limit + 1, 'a'), std::wstring(limit - 1, L'a') + ellipsis},
      {"far over (past ReportEventW's 31,839)", std::string(40000, 'a'), std::wstring(limit - 1, L'a') + ellipsis},
      {"the cut inside a surrogate pair", std::string(limit - 2, 'a') + "😀bbbb",
       std::wstring(limit - 2, L'a') + ellipsis},
      {"the cut after a surrogate pair", std::string(limit - 3, 'a') + "😀bbbb",
       std::wstring(limit - 3, L'a') + L"\U0001F600" + ellipsis},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Recorder recorder;
    WindowsEventSink sink(recorder.Api());
    sink.report(Event{EventId::SettingsUnreadable, {c.given}});
    ASSERT_EQ(recorder.reports.size(), 1u);
    ASSERT_EQ(recorder.reports[0].strings.size(), 1u);
    const std::wstring& passed = recorder.reports[0].strings[0];
    EXPECT_LE(passed.size(), limit);
    EXPECT_TRUE(passed == c.passed) << "length " << passed.size() << ", expected " << c.passed.size();
  }
}

// The source is registered at the first event, not before; when that fails
// (the event log service not started yet) the event is dropped and the next
// one registers again; once registered, never again. The destructor lets go
// of what was registered.
TEST(EventSink, RegistersAtTheFirstEventAndAgainAfterAFailure) {
  Recorder recorder;
  recorder.registerAnswers = {nullptr};
  {
    WindowsEventSink sink(recorder.Api());
    EXPECT_TRUE(recorder.registeredSources.empty());
    sink.report(Event{EventId::ServiceStarted, {}});
    EXPECT_EQ(recorder.registeredSources.size(), 1u);
    EXPECT_TRUE(recorder.reports.empty());
    sink.report(Event{EventId::BackupSucceeded, {"a", "b"}});
    sink.report(Event{EventId::ServiceStopped, {}});
    EXPECT_EQ(recorder.registeredSources, (std::vector<std::wstring>{L"Bakwyn", L"Bakwyn"}));
    ASSERT_EQ(recorder.reports.size(), 2u);
    EXPECT_EQ(recorder.reports[0].id, 1000u);
    EXPECT_EQ(recorder.reports[1].id, 1201u);
    EXPECT_TRUE(recorder.deregistered.empty());
  }
  EXPECT_EQ(recorder.deregistered, std::vector<HANDLE>{kLog});
}

TEST(EventSink, NothingRegisteredNothingLetGo) {
  Recorder recorder;
  recorder.registerAnswers = {nullptr};
  {
    WindowsEventSink unused(recorder.Api());
    WindowsEventSink failed(recorder.Api());
    failed.report(Event{EventId::ServiceStarted, {}});
  }
  EXPECT_EQ(recorder.registeredSources.size(), 1u);
  EXPECT_TRUE(recorder.deregistered.empty());
}

// A call that throws (only a recorder can; or memory running out) ends in
// report(), which is noexcept: reaching the next line is the check.
TEST(EventSink, SwallowsWhatTheCallThrows) {
  Recorder recorder;
  recorder.reportThrows = true;
  WindowsEventSink sink(recorder.Api());
  sink.report(Event{EventId::BackupFailed, {"a", "b", "c"}});
  EXPECT_TRUE(recorder.reports.empty());
}

// The backup, the copies and the service report from threads of their own:
// one registration for all of them, and every event whole.
TEST(EventSink, ThreadsShareOneRegistration) {
  constexpr int kThreads = 8, kEach = 50;
  Recorder recorder;
  {
    WindowsEventSink sink(recorder.Api());
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&sink, t] {
        for (int i = 0; i < kEach; ++i) {
          sink.report(Event{EventId::CopyFailed, {"线程" + std::to_string(t), std::to_string(i)}});
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
  }
  EXPECT_EQ(recorder.registeredSources.size(), 1u);
  EXPECT_EQ(recorder.deregistered.size(), 1u);
  std::set<std::vector<std::wstring>> received;
  for (const Reported& reported : recorder.reports) received.insert(reported.strings);
  std::set<std::vector<std::wstring>> expected;
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kEach; ++i) expected.insert({L"线程" + std::to_wstring(t), std::to_wstring(i)});
  }
  EXPECT_EQ(recorder.reports.size(), std::size_t{kThreads * kEach});
  EXPECT_EQ(received, expected);
}

// The sink against the system's own calls: registering the source and
// writing events of every type, with Chinese and a character outside the BMP,
// succeed (under Wine, which prints them with WINEDEBUG=+eventlog).
TEST(EventSink, TheSystemsEventLogTakesEveryType) {
  HANDLE registered = nullptr;
  std::vector<DWORD> results;  // 0 for success, else GetLastError()
  EventLogApi api;
  api.registerSource = [&registered](LPCWSTR server, LPCWSTR source) {
    registered = RegisterEventSourceW(server, source);
    return registered;
  };
  api.report = [&results](HANDLE log, WORD type, WORD category, DWORD id, PSID user, WORD count, DWORD dataSize,
                          LPCWSTR* strings, LPVOID data) {
    const BOOL ok = ReportEventW(log, type, category, id, user, count, dataSize, strings, data);
    results.push_back(ok ? 0 : GetLastError());
    return ok;
  };
  {
    WindowsEventSink sink(api);
    sink.report(Event{EventId::BackupSucceeded, {"销售库", "D:\\备份\\2026年12月10日02时00分.bak"}});
    sink.report(Event{EventId::BackupOverdue, {"警告: 已超过一天没有成功的备份 😀"}});
    sink.report(Event{EventId::BackupFailed, {"销售库", std::string(40000, 'x'), "D:\\备份\\x.bak"}});
  }
  EXPECT_NE(registered, nullptr) << GetLastError();
  EXPECT_EQ(results, (std::vector<DWORD>{0, 0, 0}));
}

}  // namespace
}  // namespace bakwyn::app
