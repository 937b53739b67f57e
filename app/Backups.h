#pragma once
#include <functional>
#include <optional>
#include <string>

#include "app/Notices.h"
#include "app/Notifier.h"
#include "app/Ping.h"
#include "app/Runtime.h"

namespace bakwyn::app {

// Everything a runtime works with, made the same way for the program in the
// user's session and for the service: the run-time settings, the history, the
// engine (which logs through the runtime) and the runtime. Every reference
// must outlive it; `worker` must end its job before this is destroyed.
// `events`, when given, gets every outcome (the event log); `http`, when
// given, carries the pings to the addresses the settings name.
struct Backups {
  Backups(const Clock& clock, ServerSession& session, FileSystem& files, settings::Registry& registry,
          settings::Registry* own, std::string historyPath, std::string ownHistoryPath, Worker& worker,
          form::TrayIcon* tray, std::function<std::string()> computerName, EventSink* events = nullptr,
          HttpTransport* http = nullptr, PingTiming pingTiming = {})
      : history(files, std::move(historyPath), std::move(ownHistoryPath)),
        engine(settings, clock, session, files, [this](const std::string& line) { runtime.log(line); }),
        restore(settings, clock, session, files, [this](const std::string& line) { runtime.log(line); }),
        databaseRestore(clock, session, [this](const std::string& line) { runtime.log(line); }),
        runtime(settings, engine, restore, registry, own, clock, history, files, worker, tray,
                std::move(computerName)) {
    runtime.setDatabaseRestore(&databaseRestore);
    if (http) {
      pinger.emplace(
          *http,
          [this, events](const std::string& host, const std::string& why) {
            // The address itself may hold a secret: only its host is told.
            runtime.log("无法发送通知到 " + host + ": " + why);
            if (events) events->report({EventId::PingFailed, {host, why}});
          },
          pingTiming);
    }
    checkHealthOn(session);
    if (events || pinger) {
      notifier.emplace(settings, events, pinger ? &*pinger : nullptr);
      runtime.addObserver(&*notifier);
    }
  }
  // The daily health checks ask the server through `session`, used on the
  // worker only. A session of their own, with a short statement time-out,
  // keeps a server that does not answer from holding the backups for long.
  void checkHealthOn(ServerSession& session) {
    runtime.setHealthCheck([this, &session] { return RunHealthChecks(settings, session, runtime.files()); });
  }

  Backups(const Backups&) = delete;
  Backups& operator=(const Backups&) = delete;

  BackupSettings settings;
  History history;
  BackupEngine engine;
  RestoreTest restore;  // on the engine's session: only one of them runs at a time, on the worker
  DatabaseRestore databaseRestore;  // the same
  Runtime runtime;
  // After the runtime, which the pinger's thread logs through: it ends first.
  std::optional<Pinger> pinger;
  std::optional<Notifier> notifier;
};

}  // namespace bakwyn::app
