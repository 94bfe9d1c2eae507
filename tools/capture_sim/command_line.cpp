#include "tools/capture_sim/command_line.h"

#include <charconv>
#include <cmath>

namespace vantle::tools {

namespace {

using Arguments = std::vector<std::string>;
using Parsed = std::variant<Invocation, UsageError>;

std::optional<double> seconds(const std::string& text) {
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value) || value < 0) {
    return std::nullopt;
  }
  return value;
}

Parsed parseServe(const Arguments& args) {
  ServeOptions options;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& option = args[i];
    const auto value = [&]() -> const std::string* { return i + 1 < args.size() ? &args[++i] : nullptr; };
    if (option == "--catalog") {
      options.catalog = true;
    } else if (option == "--no-document") {
      options.noDocument = true;
    } else if (option == "--deny") {
      options.deny = true;
    } else if (option == "--session" || option == "--camera" || option == "--battery" || option == "--job-seconds") {
      const std::string* text = value();
      if (!text) return UsageError{option + " needs a value"};
      if (option == "--session") options.session = *text;
      if (option == "--camera") options.camera = *text;
      if (option == "--battery") options.battery = *text;
      if (option == "--job-seconds") {
        const auto s = seconds(*text);
        if (!s) return UsageError{"--job-seconds needs a number of seconds, not '" + *text + "'"};
        options.jobSeconds = *s;
      }
    } else {
      return UsageError{"serve does not know '" + option + "'"};
    }
  }
  if (!options.session && !options.noDocument) return UsageError{"serve needs --session DIR (or --no-document)"};
  if (options.session && options.session->empty()) return UsageError{"--session needs a folder"};
  if (options.catalog && options.noDocument) return UsageError{"--catalog and --no-document contradict each other"};
  if (options.catalog && !options.session) return UsageError{"--catalog needs --session DIR"};
  if (options.battery && !options.camera) return UsageError{"--battery needs --camera"};
  return Invocation{options};
}

Parsed parseShoot(const Arguments& args) {
  ControlCommand command{.kind = ControlCommand::shoot};
  if (args.size() < 3) return UsageError{"shoot needs a number of frames"};
  const std::string& n = args[2];
  const auto [end, error] = std::from_chars(n.data(), n.data() + n.size(), command.count);
  if (error != std::errc() || end != n.data() + n.size() || command.count == 0 || command.count > 10000) {
    return UsageError{"shoot needs a number of frames from 1 to 10000, not '" + n + "'"};
  }
  for (size_t i = 3; i < args.size(); ++i) {
    if (args[i] != "--interval" && args[i] != "--ext") return UsageError{"shoot does not know '" + args[i] + "'"};
    if (i + 1 >= args.size()) return UsageError{args[i] + " needs a value"};
    if (args[i] == "--interval") {
      const auto s = seconds(args[++i]);
      if (!s) return UsageError{"--interval needs a number of seconds, not '" + args[i] + "'"};
      command.interval = *s;
    } else {
      command.extension = args[++i];
      if (command.extension.empty() || command.extension.find_first_of("/.") != std::string::npos) {
        return UsageError{"--ext needs an extension without a dot, like CR3 or jpg"};
      }
    }
  }
  return Invocation{command};
}

Parsed parseControl(const Arguments& args) {
  if (args.size() < 2) return UsageError{"ctl needs a command"};
  const std::string& verb = args[1];
  const size_t operands = args.size() - 2;
  if (verb == "capture-folder") {
    if (operands != 1) return UsageError{"capture-folder needs one folder"};
    return Invocation{ControlCommand{.kind = ControlCommand::captureFolder, .paths = {args[2]}}};
  }
  if (verb == "shoot") return parseShoot(args);
  if (verb == "select") {
    return Invocation{ControlCommand{.kind = ControlCommand::select, .paths = Arguments(args.begin() + 2, args.end())}};
  }
  if (verb == "document") {
    if (operands == 1 && args[2] == "close") return Invocation{ControlCommand{.kind = ControlCommand::closeDocument}};
    if (operands == 2 && args[2] == "open") {
      if (args[3] == "catalog") return Invocation{ControlCommand{.kind = ControlCommand::openCatalog}};
      return Invocation{ControlCommand{.kind = ControlCommand::openSession, .paths = {args[3]}}};
    }
    return UsageError{"document needs 'open DIR', 'open catalog' or 'close'"};
  }
  if (verb == "camera") {
    if (operands == 1 && args[2] == "none") return Invocation{ControlCommand{.kind = ControlCommand::removeCamera}};
    if (operands != 2 || args[2].empty()) return UsageError{"camera needs a NAME and a BATTERY text (or none), or just none"};
    ControlCommand command{.kind = ControlCommand::setCamera, .name = args[2]};
    if (args[3] != "none") command.battery = args[3];
    return Invocation{command};
  }
  if (verb == "deny") {
    if (operands != 1 || (args[2] != "on" && args[2] != "off" && args[2] != "consent")) {
      return UsageError{"deny needs on, off or consent"};
    }
    return Invocation{ControlCommand{.kind = ControlCommand::deny, .name = args[2]}};
  }
  if (verb == "quit") {
    if (operands != 0) return UsageError{"quit takes nothing more"};
    return Invocation{ControlCommand{.kind = ControlCommand::quit}};
  }
  return UsageError{"ctl does not know '" + verb + "'"};
}

}  // namespace

std::variant<Invocation, UsageError> parseCommandLine(const std::vector<std::string>& arguments) {
  if (arguments.empty() || arguments[0] == "--help" || arguments[0] == "-h" || arguments[0] == "help") {
    return Invocation{Help{}};
  }
  if (arguments[0] == "serve") return parseServe(arguments);
  if (arguments[0] == "ctl") return parseControl(arguments);
  return UsageError{"unknown command '" + arguments[0] + "'"};
}

const std::string& helpText() {
  static const std::string text = R"(vantle-capture-sim: a stand-in for the capture application, on the D-Bus session bus.

It owns the name com.captureone.captureone16 and answers the agent's property
reads, element counts and scripts as the capture application would, for one
document, one tethered camera and one selection.

Usage:
  vantle-capture-sim serve --session DIR [--catalog] [--no-document] [--deny]
                           [--camera NAME [--battery TEXT]] [--job-seconds S]
  vantle-capture-sim ctl COMMAND
  vantle-capture-sim --help

serve runs the stand-in until 'ctl quit', SIGINT or SIGTERM.
  --session DIR     open the session in DIR (named after DIR, ".cosessiondb"),
                    capturing into DIR/Capture (made when missing)
  --catalog         open DIR as a catalog instead
  --no-document     start with no document open (DIR, if given, is remembered
                    for 'document open catalog')
  --deny            refuse every request as access denied (see 'deny')
  --camera NAME     a tethered camera with that name
  --battery TEXT    its "Battery Level" attribute; without it the camera has
                    no battery attribute
  --job-seconds S   how long a processing job stays pending (default 0.5)

ctl drives the running stand-in:
  capture-folder DIR          capture into DIR from now on (made when missing)
  shoot N [--interval S] [--ext EXT]
                              write N frames IMG_nnnn.EXT (default CR3, each a
                              small JPEG) into the capture folder, the first at
                              once and then every S seconds (default 1), each
                              with its cache thumbnail
                              CaptureOne/Cache/Thumbnails/<frame>.cot
  select FILE...              select these files, in this order (names without
                              a folder are in the capture folder); none clears
  document open DIR           open the session in DIR (./catalog for a folder
                              named catalog)
  document open catalog       open a catalog in the last document's folder
  document close              close the document
  camera NAME BATTERY|none    tether a camera; none: without a battery attribute
  camera none                 untether the camera
  deny on|off|consent         refuse every request as access denied (on), as
                              needing the user's consent, or not at all
  quit                        release the name and exit

Processing jobs write one JPEG per image, named after the image without its
extension, into the folder the recipe "Orvane Live QuickProof" was given.

Exit status: 0 done, 1 refused or no stand-in running, 2 bad command line.
)";
  return text;
}

}  // namespace vantle::tools
