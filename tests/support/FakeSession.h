#pragma once
// A server session that follows a script instead of a server, for the engine's
// and the handlers' tests.
#include <functional>
#include <string>
#include <vector>

#include "server/ServerSession.h"

namespace bakwyn::testing {

// The one scripted server session of the tests. Records every call. `failOpen`/`failExecute` make the call throw a
// ServerError, as the real session does; `onExecute` runs inside execute (to
// let time pass or to look at the files while the "server" writes).
class FakeSession final : public ServerSession {
 public:
  void open(const std::string& user, const std::string& password, const std::string& server) override {
    calls.push_back("open " + user + "|" + password + "|" + server);
    if (failOpen) throw ServerError("login failed", {{"28000", 18456, "Login failed for user."}});
  }
  std::vector<std::string> listDatabases() override {
    calls.push_back("listDatabases");
    listed = databases;
    return databases;
  }
  bool locate(const std::string& name) const override {
    for (const std::string& listedName : listed) {
      if (listedName == name) return true;
    }
    return false;
  }
  void closeQuery() override { calls.push_back("closeQuery"); }
  void execute(const std::string& statement) override {
    calls.push_back("execute");
    statements.push_back(statement);
    if (onExecute) onExecute(statement);
    if (failExecute) throw ServerError("backup failed", {{"42000", 3013, "BACKUP DATABASE is terminating abnormally."}});
  }
  // Recorded apart from execute: the backup must run without the statement time-out.
  void executeLong(const std::string& statement) override {
    calls.push_back("executeLong");
    statements.push_back(statement);
    if (onExecute) onExecute(statement);
    if (failExecute) throw ServerError("backup failed", {{"42000", 3013, "BACKUP DATABASE is terminating abnormally."}});
  }
  const std::vector<Diagnostic>& messages() const override { return messages_; }

  // The logins of every open, "user|password|server".
  std::vector<std::string> opens() const {
    std::vector<std::string> out;
    for (const std::string& call : calls) {
      if (call.rfind("open ", 0) == 0) out.push_back(call.substr(5));
    }
    return out;
  }

  std::vector<std::string> databases{"master", "shop", "商店"};  // the server's catalogue
  std::vector<std::string> listed;                               // the open catalogue result
  bool failOpen = false;
  bool failExecute = false;
  std::function<void(const std::string&)> onExecute;
  std::vector<std::string> calls;
  std::vector<std::string> statements;

 private:
  std::vector<Diagnostic> messages_;
};

}  // namespace bakwyn::testing
