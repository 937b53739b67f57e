#pragma once
// A restore asked of the backup service by the restore window of a program
// that does not schedule. It goes the way a save's reload goes: what is asked
// is stored under the status key (which only administrators and the system
// can write), and a control of the service's own through the service manager
// says that it is there. The service takes the request (it is then gone, so a
// restart never runs it twice), plans the restore again from its own list of
// backups and its own settings, runs it on its worker, and stores its answer
// beside it: started, then how it ended. The window follows the shared
// history for the lines and the answer for the end.
//
// Portable: the registry and the server are handed in.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/BackupSettings.h"
#include "engine/Clock.h"
#include "engine/DatabaseRestore.h"
#include "engine/FileSystem.h"
#include "server/ServerSession.h"
#include "settings/Registry.h"

namespace bakwyn::app {

struct RestoreRequest {
  std::string id;            // made by the asking program; digits, letters and '-'
  std::int64_t atMs = 0;     // when it was asked (CalendarMilliseconds)
  std::string user;          // who asked, as the asking program knows its user; for the history
  RestorePlan::Target target = RestorePlan::Target::newDatabase;
  std::string backupPath;    // one of the listed backups
  int position = 1;          // its backup set
  std::string newName;       // Target::newDatabase: the new database's name
};

// A request older than this (or that far ahead of the service's clock) is
// not run: it was not meant for now.
inline constexpr std::int64_t kRestoreRequestMaxAgeMs = 2 * 60 * 1000;

// "1|<id>|<atMs>|new|<position>|<user>|<backup path>|<new name>" ("current"
// for over the current database). A path or a Windows user name cannot hold
// '|'; the name, which can, comes last.
std::string FormatRestoreRequest(const RestoreRequest& request);
// Only a well-formed text; anything else is nothing.
std::optional<RestoreRequest> ParseRestoreRequest(std::string_view text);

// Under the status key, value "RestoreRequest". False when it cannot be
// written (a program without administrator rights).
bool StoreRestoreRequest(settings::Registry& registry, const RestoreRequest& request);
// What is stored, emptied at once so that it runs at most once. `present`:
// a value was there, readable as a request or not.
struct TakenRestoreRequest {
  bool present = false;
  std::optional<RestoreRequest> request;
};
TakenRestoreRequest TakeRestoreRequest(settings::Registry& registry);

// What the service answers, value "RestoreRequestAnswer":
// "<id>|<state>|<milliseconds>|<safety backup>|<cause>".
struct RestoreAnswer {
  enum class State { started, succeeded, failed, cancelled, refused };
  std::string id;
  State state = State::refused;
  std::int64_t milliseconds = 0;
  std::string safetyBackup;
  std::string cause;  // failed, cancelled, refused: why
};
std::string FormatRestoreAnswer(const RestoreAnswer& answer);
std::optional<RestoreAnswer> ParseRestoreAnswer(std::string_view text);
bool StoreRestoreAnswer(settings::Registry& registry, const RestoreAnswer& answer);
std::optional<RestoreAnswer> LoadRestoreAnswer(settings::Registry& registry);
// How a restore ended, as an answer to request `id`.
RestoreAnswer AnswerOf(const std::string& id, const RestoreResult& result);
// The answer as the window shows a restore's end (state started is not an end).
RestoreResult ResultOf(const RestoreAnswer& answer);

// The plan for what `request` asks, made again from the backups listed with
// `settings` (the service's own): a backup or a set not among them is
// refused, and so is everything PlanRestore refuses.
PlannedRestore PlanRequestedRestore(const BackupSettings& settings, ServerSession& session, FileSystem& files,
                                    const std::string& computer, const RestoreRequest& request,
                                    const LocalDateTime& now);

}  // namespace bakwyn::app
