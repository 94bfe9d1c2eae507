#include "app/headless/headless_agent.h"

#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "app/agent_setup.h"
#include "app/headless/terminal_qr.h"
#include "app/published_state.h"
#include "support/console.h"
#include "support/weak.h"

namespace vantle::app {
namespace {

namespace fs = std::filesystem;
using agent::AgentController;
using core::FrameCountRule::CountingMode;
using support::printLine;

constexpr std::string_view kCommands =
    "Commands: end, resume, code, count-all on|off, stop-clock-after MINUTES, watch DIR, capture-one, status, quit";

// Whether standard output is the journal: systemd names the stream it
// gives a service in JOURNAL_STREAM ("device:inode").
bool standardOutputIsTheJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  struct stat output {};
  if (!stream || fstat(STDOUT_FILENO, &output) != 0) return false;
  unsigned long long device = 0, inode = 0;
  char end = 0;
  if (std::sscanf(stream, "%llu:%llu%c", &device, &inode, &end) != 2) return false;
  return device == output.st_dev && inode == output.st_ino;
}

std::string minutesText(double minutes) {
  std::ostringstream out;
  out << minutes;
  return out.str();
}

}  // namespace

std::shared_ptr<HeadlessAgent> HeadlessAgent::create(AgentOptions options, std::unique_ptr<AgentBus> bus) {
  return std::shared_ptr<HeadlessAgent>(new HeadlessAgent(std::move(options), std::move(bus)));
}

HeadlessAgent::HeadlessAgent(AgentOptions options, std::unique_ptr<AgentBus> bus)
    : options_(std::move(options)),
      terminal_(::isatty(STDOUT_FILENO) == 1),
      journal_(standardOutputIsTheJournal()),
      main_(std::make_shared<support::SerialQueue>("com.orvane.vantle.main")) {
  controller_ = makeController(options_, [main = main_](std::function<void()> work) { main->post(std::move(work)); });
  bus_ = std::move(bus);
}

int HeadlessAgent::run(const sigset_t& stops) {
  main_->sync([this] { begin(); });
  if (const auto failure = main_->sync([this] {
        const auto& state = controller_->state();
        return state.isRunning ? std::nullopt : std::optional<std::string>(state.lastError.value_or("not started"));
      })) {
    std::fprintf(stderr, "vantle-agent: %s\n", failure->c_str());
    main_->sync([this] { controller_->finish(); });
    return 1;
  }

  if (bus_) {
    bus_->serve([main = main_, weak = weak_from_this()](const AgentCommand& command) {
      support::postWeakly(*main, weak, [command](HeadlessAgent& self) { self.perform(command); });
    });
  }
  // The reader holds the agent weakly while it waits for input: an agent
  // told to quit is destroyed (its hooks stopped with it) though its
  // standard input stays open.
  std::thread([weak = weak_from_this(), main = main_] { readCommands(weak, main); }).detach();
  std::thread([weak = weak_from_this(), stops] {
    int signal = 0;
    if (sigwait(&stops, &signal) != 0) return;
    if (auto self = weak.lock()) self->exit(0);
    if (sigwait(&stops, &signal) == 0) _exit(128 + signal);  // a second one does not wait
  }).detach();

  const int code = exit_.get_future().get();
  main_->sync([this] {
    printLine("Stopping.");
    controller_->finish();
  });
  bus_.reset();  // the name goes once every record is on disk
  return code;
}

void HeadlessAgent::exit(int code) {
  std::call_once(exitOnce_, [&] { exit_.set_value(code); });
}

// ---- The main queue --------------------------------------------------------------

void HeadlessAgent::begin() {
  controller_->setObserver({
      .onChange =
          [this](const AgentController::State& state) {
            showChange(state);
            if (bus_) bus_->publish(busStateOf(*controller_));
          },
      .onSegment = [this](const core::WireSegment& segment) { showSegment(segment); },
      .onVerification = [this](const core::ShootVerification& verification) { showVerification(verification); },
      .onAdvertised = [](const std::string& name) { printLine("Advertising as \"" + name + "\""); },
  });
  applySettings(options_, *controller_);
  if (const auto& folder = controller_->state().watchedRoot) {
    printLine("Watching " + folder->string() + (options_.watch ? "" : " (the folder chosen last)"));
  }
  controller_->start();
  if (controller_->state().isRunning) announceCode();
}

// A pairing code is a secret: the journal keeps it for anyone who may read
// the logs, so there it is only said where to find it.
std::string HeadlessAgent::pairingCodeLine(const std::string& code) const {
  if (journal_) return "Pairing code: not written to the journal; 'vantle-agent ctl code' shows it";
  return "Pairing code: " + code;
}

void HeadlessAgent::announceCode() {
  const std::string& code = controller_->state().pairingCode;
  printLine(pairingCodeLine(code));
  if (terminal_) {
    const std::string qr = terminalQr(code);
    std::fputs(qr.c_str(), stdout);
    std::fflush(stdout);
  }
  const std::optional<uint16_t> port = controller_->port();
  if (port) {
    printLine("Listening on port " + std::to_string(*port));
    if (options_.port != 0 && *port != options_.port) {
      printLine("Port " + std::to_string(options_.port) + " was taken, so the system chose port " +
                std::to_string(*port) + ".");
    }
  }
  announceBrowserAddress();
}

// The address holds the browsers' access token: a secret like the pairing code.
void HeadlessAgent::announceBrowserAddress() {
  const AgentController::State& state = controller_->state();
  if (!state.browserAddress) return;
  printLine(journal_ ? "Browsers: the address is not written to the journal; 'vantle-agent ctl browser' shows it"
                     : "Browsers: " + *state.browserAddress);
  printLine("Browser certificate SHA-256: " + state.browserFingerprint);
}

void HeadlessAgent::showChange(const AgentController::State& state) {
  if (state.lastError != shownError_) {
    shownError_ = state.lastError;
    if (state.lastError) printLine("Error: " + *state.lastError);
  }
  if (!state.isRunning) return;  // "Stopped" says nothing a starting or stopping agent's other lines do not
  showStatus(state, false);
  if (shownPeers_ != state.peerCount) {
    shownPeers_ = state.peerCount;
    printLine("Companions connected: " + std::to_string(state.peerCount));
  }
}

void HeadlessAgent::showStatus(const AgentController::State& state, bool always) {
  const std::string summary = controller_->statusSummary();
  if (!always && shownStatus_ == summary) return;
  shownStatus_ = summary;
  std::vector<std::string> lines = statusLines(*controller_);
  // Unasked, only the status and its remedy: the shoot and the companions
  // have lines of their own as they change.
  if (!always) lines.resize(controller_->remedy() ? 2 : 1);
  for (const std::string& line : lines) printLine(line);
  if (always) printLine(pairingCodeLine(state.pairingCode));
}

void HeadlessAgent::showSegment(const core::WireSegment& segment) {
  printLine("Shot closed: " + segment.folderName + " +" + std::to_string(segment.framesAdded) + " frames (seq " +
            std::to_string(segment.seq) + ")");
}

void HeadlessAgent::showVerification(const core::ShootVerification& verification) {
  printLine("Shoot ended: " + verification.shootID);
  for (const core::FolderReading& reading : verification.readings) {
    std::string line = "  " + reading.path + ": ";
    if (!reading.exists) {
      line += "missing";
    } else if (!reading.readable) {
      line += "unreadable";
    } else {
      line += std::to_string(reading.frameCount) + " frames";
      if (reading.shootFrames) line += ", " + std::to_string(*reading.shootFrames) + " this shoot";
    }
    printLine(line);
  }
}

void HeadlessAgent::command(const std::string& line) {
  if (line.find_first_not_of(" \t\r") == std::string::npos) return;
  if (const std::optional<AgentCommand> parsed = parseTerminalCommand(line)) {
    perform(*parsed);
  } else {
    printLine(kCommands);
  }
}

void HeadlessAgent::perform(const AgentCommand& command) {
  using Kind = AgentCommand::Kind;
  const auto& state = controller_->state();
  switch (command.kind) {
    case Kind::endShoot:
      printLine("Ending the shoot.");
      controller_->endShoot();
      return;
    case Kind::resumeShoot:
      if (!state.canResumeShoot) {
        printLine("There is no ended shoot to resume.");
        return;
      }
      printLine("Resuming the shoot.");
      controller_->resumeShoot();
      return;
    case Kind::newPairingCode:
      controller_->rotatePairingCode();
      if (controller_->state().isRunning) announceCode();
      return;
    case Kind::shareWithBrowsers:
      controller_->setSharingWithBrowsers(command.on);
      if (!command.on) printLine("Browsers are no longer served.");
      announceBrowserAddress();
      return;
    case Kind::countAll:
      controller_->setCounting(command.on ? CountingMode::anyImage : CountingMode::rawOnly);
      printLine(command.on ? "Counting every image." : "Counting RAW captures only.");
      return;
    case Kind::stopClockAfter:
      controller_->setIdleThreshold(command.minutes * 60);
      printLine("The shot clock stops after " + minutesText(command.minutes) + " minutes without a frame.");
      return;
    case Kind::watch: {
      std::error_code error;
      if (!fs::is_directory(command.folder, error)) {
        printLine("No such folder: " + command.folder);
        return;
      }
      const fs::path folder = fs::absolute(command.folder, error);
      controller_->setWatchedRoot(folder);
      printLine("Watching " + folder.string());
      return;
    }
    case Kind::captureOne:
      controller_->setWatchedRoot(std::nullopt);
      printLine("Reading Capture One's capture folder.");
      return;
    case Kind::showStatus: showStatus(state, true); return;
    case Kind::showQrCode:
    case Kind::showWindow: return;  // no window to show
    case Kind::stop:
      printLine("Stopped: companions are disconnected until started again.");
      controller_->stop();
      return;
    case Kind::start:
      controller_->start();
      if (controller_->state().isRunning) announceCode();
      return;
    case Kind::quit: exit(0); return;
  }
}

// ---- Standard input ----------------------------------------------------------------

void HeadlessAgent::readCommands(const std::weak_ptr<HeadlessAgent>& agent,
                                 const std::shared_ptr<support::SerialQueue>& main) {
  constexpr size_t longestLine = 64 * 1024;
  std::string pending;
  char buffer[4096];
  for (;;) {
    // A background job leaves the terminal to the foreground one: it looks
    // again each second, and reads once it is brought to the foreground.
    const bool background = ::isatty(STDIN_FILENO) == 1 && tcgetpgrp(STDIN_FILENO) != getpgrp();
    const ssize_t got = background ? -1 : ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (background || (got < 0 && errno == EIO)) {
      ::poll(nullptr, 0, 1000);
      continue;
    }
    // The end of input leaves the agent serving: it may run as a service with nothing on its input.
    if (got <= 0 || agent.expired()) return;
    pending.append(buffer, static_cast<size_t>(got));
    for (size_t newline; (newline = pending.find('\n')) != std::string::npos; pending.erase(0, newline + 1)) {
      support::postWeakly(*main, agent,
                          [line = pending.substr(0, newline)](HeadlessAgent& self) { self.command(line); });
    }
    if (pending.size() > longestLine) pending.clear();  // no command is that long
  }
}

}  // namespace vantle::app
