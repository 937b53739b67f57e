#include "tests/support/TdsStandIn.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace bakwyn::test {
namespace {

#ifdef _WIN32
using NativeSocket = SOCKET;
constexpr NativeSocket kNoSocket = INVALID_SOCKET;
void CloseSocket(NativeSocket s) { closesocket(s); }
#else
using NativeSocket = int;
constexpr NativeSocket kNoSocket = -1;
void CloseSocket(NativeSocket s) { ::close(s); }
#endif

std::string ReadFirstLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  if (!in || !std::getline(in, line)) {
    throw std::runtime_error("the stand-in server is not running (no " + path +
                             "); run the tests through ctest, whose fixture \"tds\" starts it");
  }
  return line;
}

std::vector<std::string> Strings(const Json& array) {
  std::vector<std::string> out;
  for (const Json& item : array.items()) out.push_back(item.string());
  return out;
}

// The stand-in is a Unix process: under Wine, Z:\x\y is /x/y.
std::string UnixPath(std::string path) {
#ifdef _WIN32
  if (path.size() >= 2 && (path[0] == 'Z' || path[0] == 'z') && path[1] == ':') {
    path.erase(0, 2);
    for (char& c : path) {
      if (c == '\\') c = '/';
    }
  }
#endif
  return path;
}

// The other way: a path the stand-in names, as this process names it.
std::string LocalPath(std::string path) {
#ifdef _WIN32
  if (!path.empty() && path[0] == '/') {
    for (char& c : path) {
      if (c == '/') c = '\\';
    }
    path = "Z:" + path;
  }
#endif
  return path;
}

std::string JsonObject(const std::map<std::string, std::string>& values) {
  std::string out = "{";
  for (const auto& [key, value] : values) {
    if (out.size() > 1) out += ",";
    out += JsonQuote(key) + ":" + JsonQuote(value);
  }
  return out + "}";
}

std::string JsonArray(const std::vector<std::string>& values) {
  std::string out = "[";
  for (const std::string& value : values) {
    if (out.size() > 1) out += ",";
    out += JsonQuote(value);
  }
  return out + "]";
}

// Every digit a double needs to come back the same.
std::string JsonNumber(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

}  // namespace

struct TdsStandIn::Connection {
  NativeSocket socket = kNoSocket;
  std::string pending;
  ~Connection() {
    if (socket != kNoSocket) CloseSocket(socket);
  }
};

std::string TdsStandIn::stateDirectory() {
  // Under Wine the test runner names the folder of the test's lane, whose stand-in
  // is the test's own (scripts/wine-run); otherwise it is the build tree's.
  const char* lane = std::getenv("BAKWYN_LANE_DIR");
  const char* binary = lane && *lane ? lane : std::getenv("BAKWYN_BINARY_DIR");
  std::string dir = binary && *binary ? binary : ".";
#ifdef _WIN32
  // Under Wine the variable holds the Unix path of the build tree; Z: is the Unix root.
  if (!dir.empty() && dir[0] == '/') dir = "Z:" + dir;
#endif
  return dir + "/tds";
}

TdsStandIn::TdsStandIn() : connection_(std::make_unique<Connection>()) {
  const std::string dir = stateDirectory();
  tdsPort_ = std::stoi(ReadFirstLine(dir + "/port"));
  const int controlPort = std::stoi(ReadFirstLine(dir + "/control-port"));
#ifdef _WIN32
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  if (!started) throw std::runtime_error("Winsock did not start");
#endif
  connection_->socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (connection_->socket == kNoSocket) throw std::runtime_error("no socket for the stand-in's control port");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<unsigned short>(controlPort));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(connection_->socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    throw std::runtime_error("the stand-in's control port " + std::to_string(controlPort) +
                             " does not answer; is the fixture \"tds\" running?");
  }
}

TdsStandIn::~TdsStandIn() = default;

Json TdsStandIn::request(const std::string& line) {
  const std::string out = line + "\n";
  std::size_t sent = 0;
  while (sent < out.size()) {
    const auto n = ::send(connection_->socket, out.data() + sent, static_cast<int>(out.size() - sent), 0);
    if (n <= 0) throw std::runtime_error("the stand-in's control port closed");
    sent += static_cast<std::size_t>(n);
  }
  std::string& pending = connection_->pending;
  std::size_t end;
  while ((end = pending.find('\n')) == std::string::npos) {
    char buffer[4096];
    const auto n = ::recv(connection_->socket, buffer, sizeof buffer, 0);
    if (n <= 0) throw std::runtime_error("the stand-in's control port closed");
    pending.append(buffer, static_cast<std::size_t>(n));
  }
  Json answer = Json::parse(std::string_view(pending).substr(0, end));
  pending.erase(0, end + 1);
  if (!answer["ok"].boolean()) {
    throw std::runtime_error("the stand-in refused " + line + ": " + answer["error"].string());
  }
  return answer;
}

void TdsStandIn::reset() { request(R"({"cmd":"reset"})"); }

void TdsStandIn::setUsers(const std::map<std::string, std::string>& passwordsByUser) {
  request(R"({"cmd":"configure","users":)" + JsonObject(passwordsByUser) + "}");
}

void TdsStandIn::setDatabases(const std::vector<std::string>& names) {
  request(R"({"cmd":"configure","databases":)" + JsonArray(names) + "}");
}

void TdsStandIn::setDrives(const std::map<std::string, std::string>& directoriesByLetter) {
  std::map<std::string, std::string> unix;
  for (const auto& [letter, directory] : directoriesByLetter) unix[letter] = UnixPath(directory);
  request(R"({"cmd":"configure","drives":)" + JsonObject(unix) + "}");
}

void TdsStandIn::arm(const StandInFault& fault) {
  request(R"({"cmd":"arm","fault":)" + JsonQuote(fault.kind) + R"(,"after":)" +
          std::to_string(fault.afterPercent) + R"(,"seconds":)" + std::to_string(fault.seconds) +
          (fault.packets > 0 ? R"(,"packets":)" + std::to_string(fault.packets) : std::string()) +
          (fault.on.empty() ? std::string() : R"(,"on":)" + JsonQuote(fault.on)) + "}");
}

void TdsStandIn::setDatabaseSizes(const std::string& database, long long dataBytes, long long logBytes) {
  request(R"({"cmd":"sizes","database":)" + JsonQuote(database) + R"(,"data":)" + std::to_string(dataBytes) +
          R"(,"log":)" + std::to_string(logBytes) + "}");
}

void TdsStandIn::createDatabase(const std::string& name, const std::string& folder, bool restoring) {
  request(R"({"cmd":"create_database","name":)" + JsonQuote(name) + R"(,"folder":)" + JsonQuote(folder) +
          R"(,"state":)" + (restoring ? R"("RESTORING")" : R"("ONLINE")") + "}");
}

void TdsStandIn::configureDatabase(const std::string& name, const StandInDatabaseHealth& health) {
  std::string line = R"({"cmd":"database","name":)" + JsonQuote(name);
  if (!health.recovery.empty()) line += R"(,"recovery":)" + JsonQuote(health.recovery);
  if (health.fullBackup) line += R"(,"full_backup":true)";
  if (health.logSizeMb) line += R"(,"log_size_mb":)" + JsonNumber(*health.logSizeMb);
  if (health.logUsedPercent) line += R"(,"log_used_pct":)" + JsonNumber(*health.logUsedPercent);
  if (health.usedPages) line += R"(,"used_pages":)" + std::to_string(*health.usedPages);
  if (health.files) {
    std::string files;
    for (const StandInFileSpec& f : *health.files) {
      files += (files.empty() ? "" : ",") + std::string(R"({"type":)") + JsonQuote(f.type) + R"(,"path":)" +
               JsonQuote(f.path) + R"(,"pages":)" + std::to_string(f.pages) +
               (f.logical.empty() ? std::string() : R"(,"logical":)" + JsonQuote(f.logical)) + "}";
    }
    line += R"(,"files":[)" + files + "]";
  }
  request(line + "}");
}

void TdsStandIn::setEdition(int engineEdition, const std::string& productVersion) {
  request(R"({"cmd":"edition","engine_edition":)" + std::to_string(engineEdition) + R"(,"product_version":)" +
          JsonQuote(productVersion) + "}");
}

void TdsStandIn::damageBackup(const std::string& file, const std::string& how, int set) {
  request(R"({"cmd":"damage","file":)" + JsonQuote(file) + R"(,"how":)" + JsonQuote(how) + R"(,"set":)" +
          std::to_string(set) + "}");
}

void TdsStandIn::setConnections(const std::string& database, int count) {
  request(R"({"cmd":"connections","database":)" + JsonQuote(database) + R"(,"count":)" + std::to_string(count) +
          "}");
}

void TdsStandIn::setContent(const std::string& database, const std::string& text) {
  request(R"({"cmd":"content","database":)" + JsonQuote(database) + R"(,"text":)" + JsonQuote(text) + "}");
}

void TdsStandIn::setDefaultDataPath(const std::optional<std::string>& path) {
  request(R"({"cmd":"data_path","path":)" + (path ? JsonQuote(*path) : std::string("null")) + "}");
}

std::vector<StandInDatabase> TdsStandIn::catalog() {
  const Json answer = request(R"({"cmd":"catalog"})");
  std::vector<StandInDatabase> out;
  for (const Json& d : answer["databases"].items()) {
    StandInDatabase database{d["name"].string(), d["state"].string(), {}, d["user_access"].string(),
                             static_cast<int>(d["connections"].number()), d["content"].string()};
    for (const Json& f : d["files"].items()) {
      database.files.push_back({f["logical"].string(), f["physical"].string(), LocalPath(f["local"].string()),
                                f["type"].string(), static_cast<long long>(f["size"].number())});
    }
    out.push_back(std::move(database));
  }
  return out;
}

std::string TdsStandIn::setInstances(const std::vector<std::string>& names) {
  try {
    request(R"({"cmd":"instances","names":)" + JsonArray(names) + "}");
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return {};
}

void TdsStandIn::setBrowser(bool on) {
  request(std::string(R"({"cmd":"browser","on":)") + (on ? "true" : "false") + "}");
}

void TdsStandIn::setNonSysadmins(const std::vector<std::string>& users) {
  request(R"({"cmd":"configure","non_sysadmins":)" + JsonArray(users) + "}");
}

void TdsStandIn::listen(bool on) { request(std::string(R"({"cmd":"listen","on":)") + (on ? "true" : "false") + "}"); }

StandInRecord TdsStandIn::record() {
  const Json answer = request(R"({"cmd":"record"})");
  StandInRecord out;
  for (const Json& l : answer["logins"].items()) {
    out.logins.push_back({l["user"].string(), l["password"].string(), l["server"].string(), l["database"].string(),
                          l["app"].string(), l["host"].string(), l["tds_version"].string(),
                          l["accepted"].boolean(), l["instance"].string(), l["refused_instance"].boolean()});
  }
  for (const Json& s : answer["statements"].items()) {
    StandInStatement st;
    st.user = s["user"].string();
    st.text = s["text"].string();
    st.database = s["database"].string();
    st.disks = Strings(s["disks"]);
    st.file = s["file"].string();
    st.fault = s["fault"].string();
    st.cancelled = s["cancelled"].boolean();
    st.answered = s["answered"].boolean();
    st.procedure = s["procedure"].string();
    st.backupKind = s["kind"].string();
    st.userAccess = s["user_access"].string();
    st.ended = static_cast<int>(s["ended"].number());
    out.statements.push_back(std::move(st));
  }
  for (const Json& b : answer["browser"].items()) {
    out.browserRequests.push_back({b["instance"].string(), b["answered"].boolean()});
  }
  return out;
}

std::string PointDriverAtStandIn(int tdsPort) {
  const std::string port = std::to_string(tdsPort);
#ifdef _WIN32
  // The driver (FreeTDS under Wine) reads the Unix environment, which this process
  // cannot change; check that the runner set it.
  const char* current = std::getenv("TDSPORT");
  if (current && port == current) return {};
  return "TDSPORT is " + std::string(current ? current : "not set") + ", the stand-in listens on " + port +
         ": the Wine test runner must export TDSPORT from " + TdsStandIn::stateDirectory() + "/port";
#else
  if (::setenv("TDSPORT", port.c_str(), 1) != 0) return "setenv(TDSPORT) failed";
  return {};
#endif
}

}  // namespace bakwyn::test
