#pragma once
// The recording HTTP server of the tests (tests/support/http_recorder.py), run
// from a test under Wine, which runs a Unix program given by its Z: path.
#include <winsock2.h>
#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/ExeHarness.h"
#include "tests/support/Json.h"
#include "tests/support/WineUnix.h"

namespace bakwyn::test {

inline std::string RecorderEnvironment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// http_recorder.py in a folder of the test's lane, started and stopped through
// Unix commands, driven through its control port (one JSON line each way).
class HttpRecorder {
 public:
  explicit HttpRecorder(const std::string& name, const std::string& options = "") {
    std::string lane = RecorderEnvironment("BAKWYN_LANE_DIR");
    if (lane.empty()) lane = RecorderEnvironment("BAKWYN_BINARY_DIR");
    dir_ = lane + "/" + name;
    script_ = RecorderEnvironment("BAKWYN_SOURCE_DIR") + "/tests/support/http_recorder.py";
    // RunUnix gives up waiting after 10 s; on a busy machine the start (with
    // a certificate to make) may take longer, and its port file says when it is done.
    testing::RunUnix(exe::Wide("rm -f '" + dir_ + "/port'; python3 '" + script_ + "' start --dir '" + dir_ + "' " + options +
                 " > '" + dir_ + ".start.log' 2>&1"));
    exe::WaitUntil([&] { return GetFileAttributesW(exe::Wide("Z:" + dir_ + "/port").c_str()) != INVALID_FILE_ATTRIBUTES; },
              30'000);
    port_ = ReadNumber("port");
    controlPort_ = ReadNumber("control-port");
  }
  ~HttpRecorder() { testing::RunUnix(exe::Wide("python3 '" + script_ + "' stop --dir '" + dir_ + "' > /dev/null 2>&1")); }
  HttpRecorder(const HttpRecorder&) = delete;
  HttpRecorder& operator=(const HttpRecorder&) = delete;

  int port() const { return port_; }
  std::string url(const std::string& rest) const { return "http://127.0.0.1:" + std::to_string(port_) + rest; }

  Json command(const std::string& line) {
    static const bool started = [] {
      WSADATA data;
      return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started) throw std::runtime_error("Winsock did not start");
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(controlPort_));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s == INVALID_SOCKET || ::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      if (s != INVALID_SOCKET) closesocket(s);
      throw std::runtime_error("the recorder's control port does not answer");
    }
    const std::string out = line + "\n";
    ::send(s, out.data(), static_cast<int>(out.size()), 0);
    std::string in;
    char buffer[65536];
    while (in.find('\n') == std::string::npos) {
      const int n = ::recv(s, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      in.append(buffer, static_cast<std::size_t>(n));
    }
    closesocket(s);
    Json answer = Json::parse(in.substr(0, in.find('\n')));
    if (!answer["ok"].boolean()) {
      throw std::runtime_error("the recorder refused " + line + ": " + answer["error"].string());
    }
    return answer;
  }
  void answers(const std::string& list) { command(R"({"cmd":"answers","answers":")" + list + R"("})"); }
  void listen(bool on) { command(std::string(R"({"cmd":"listen","on":)") + (on ? "true" : "false") + "}"); }
  void reset() { command(R"({"cmd":"reset"})"); }
  std::vector<Json> requests() { return command(R"({"cmd":"requests"})")["requests"].items(); }
  std::vector<std::string> paths() {
    std::vector<std::string> out;
    for (const Json& r : requests()) out.push_back(r["path"].string());
    return out;
  }

 private:
  int ReadNumber(const std::string& file) {
    std::ifstream in("Z:" + dir_ + "/" + file);
    int value = 0;
    if (!(in >> value)) throw std::runtime_error("the recorder did not start: no " + dir_ + "/" + file);
    return value;
  }

  std::string dir_, script_;
  int port_ = 0;
  int controlPort_ = 0;
};

}  // namespace bakwyn::test
