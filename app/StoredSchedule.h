#pragma once
// The schedule the stored settings ask for, read without the settings window:
// the service's, and the one a reload compares with what runs. Trimmed and
// completed as the window applies what it shows, so that both run the same.
#include <string>
#include <vector>

#include "app/Runtime.h"
#include "settings/Registry.h"
#include "settings/SecretProtector.h"
#include "settings/SettingsRecord.h"
#include "settings/SqlInstances.h"

namespace bakwyn::app {

struct StoredSchedule {
  Schedule schedule;
  bool armed = false;  // a database is stored
  // What could not be read, as the log tells it.
  std::vector<std::string> lines;
};

// `computer` and `instances` complete the stored server as the window shows
// it (this computer by its name of today, the stored instance).
StoredSchedule ReadStoredSchedule(settings::Registry& registry, const settings::SecretProtector& protector,
                                  const std::string& computer, const std::vector<settings::SqlInstance>& instances);

// The log's lines for stored values that loading passed over, in their order,
// then the one that tells cleanup is held (`cleanupHeld`: the days could not
// be read while cleanup is on).
std::vector<std::string> LoadProblemLines(const std::vector<settings::LoadProblem>& problems, bool cleanupHeld);

// Arms or disarms `runtime` as `stored` says; when that changed what runs,
// logs `whenChanged` (when given); then logs what could not be read. True
// when what runs changed.
bool ApplyStoredSchedule(Runtime& runtime, const StoredSchedule& stored, const char* whenChanged = nullptr);

// A start without the window (the service's): the history's header, the kept
// status, the stored schedule armed with the dates the slots last ran on as
// kept (the system restarts a service that failed: a slot it ran today does
// not run again), and the missed slots made up at the first tick when asked.
void StartFromStore(Runtime& runtime, const StoredSchedule& stored);

}  // namespace bakwyn::app
