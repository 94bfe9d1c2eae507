// Around the real stand-in in tests: the program on a private session bus
// (tests/support/private_bus.h, made first), and a client that calls it as
// the agent's bridge does. Children are stopped by their own pid and die
// with the test process.
#pragma once

#include <sys/types.h>
#include <systemd/sd-bus.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vantle::testing {

struct Finished {
  int exitCode = -1;   // 128 + signal when a signal ended it
  std::string output;  // standard output and error together
};

// Runs the stand-in with `arguments` to its end.
Finished runStandIn(const std::vector<std::string>& arguments);

// A stand-in left running; its output goes to `log`. Destruction sends
// SIGTERM and waits.
class StandInProcess {
 public:
  StandInProcess(const std::vector<std::string>& arguments, const std::filesystem::path& log);
  ~StandInProcess();
  // The exit code, or absent when it runs past `seconds`.
  std::optional<int> waitForExit(double seconds);

 private:
  pid_t pid_ = -1;
};

// Calls on the application's scripting interface, as the bridge makes them.
class ApplicationClient {
 public:
  struct ScriptReply {
    std::string busError;  // the D-Bus error's name when the call failed
    bool ok = false;
    std::string result;
    int32_t errorNumber = 0;
    std::string errorMessage;
  };

  ApplicationClient();
  ~ApplicationClient();

  // The text read, or "error " and the D-Bus error's name.
  std::string get(const std::vector<std::string>& specifier);
  // The count in decimal, or "error " and the D-Bus error's name.
  std::string count(const std::vector<std::string>& specifier);
  ScriptReply runScript(const std::string& source);

  bool nameHasOwner();
  // Whether the name's ownership became `owned` within `seconds`.
  bool waitForOwner(bool owned, double seconds);

 private:
  sd_bus* bus_ = nullptr;
};

// Whether the file is a complete JPEG stream (FF D8 ... FF D9).
bool isCompleteJpeg(const std::filesystem::path& file);

}  // namespace vantle::testing
