// The stand-in's command line: serve, ctl, or help.
//
// `parseCommandLine` reads the arguments after the program name and gives a
// checked `Invocation` or a `UsageError` with one sentence for the user; it
// neither prints nor exits. `helpText` is what --help prints and documents
// every command. Paths are kept as typed: the ctl side makes them absolute.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace vantle::tools {

struct ServeOptions {
  std::optional<std::string> session;  // the session folder; required unless noDocument
  bool catalog = false;                // the document there is a catalog
  bool noDocument = false;             // start with no document open (the folder is remembered)
  bool deny = false;                   // start refusing every request
  std::optional<std::string> camera;   // the tethered camera's name
  std::optional<std::string> battery;  // its battery text; without it, no battery attribute
  double jobSeconds = 0.5;             // how long a processing job stays pending
};

struct ControlCommand {
  enum Kind { captureFolder, shoot, select, openSession, openCatalog, closeDocument, setCamera, removeCamera, deny, quit };
  Kind kind = quit;
  std::vector<std::string> paths;      // captureFolder, select, openSession
  uint32_t count = 0;                  // shoot
  double interval = 1;                 // shoot: seconds between frames
  std::string extension = "CR3";       // shoot
  std::string name;                    // setCamera; deny: "on", "off" or "consent"
  std::optional<std::string> battery;  // setCamera
};

struct Help {};

struct UsageError {
  std::string message;
};

using Invocation = std::variant<Help, ServeOptions, ControlCommand>;

std::variant<Invocation, UsageError> parseCommandLine(const std::vector<std::string>& arguments);

const std::string& helpText();

namespace exitcode {
inline constexpr int ok = 0;
inline constexpr int failed = 1;  // refused, no stand-in running, bus trouble
inline constexpr int usage = 2;
}  // namespace exitcode

}  // namespace vantle::tools
