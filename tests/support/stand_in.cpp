#include "tests/support/stand_in.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "agent/capture/capture_one_channel.h"
#include "tests/support/eventually.h"

namespace vantle::testing {

namespace Channel = agent::CaptureOneChannel;

namespace {

const std::string busName(Channel::busName);

// Starts `arguments` with standard output on `outputFd`, and standard error
// too unless `errorFd` is given.
pid_t spawn(const std::vector<std::string>& arguments, int outputFd, int errorFd = -1) {
  std::vector<char*> argv;
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  const pid_t parent = getpid();
  const pid_t child = fork();
  if (child == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive the test
    if (getppid() != parent) _exit(127);
    dup2(outputFd, STDOUT_FILENO);
    dup2(errorFd < 0 ? outputFd : errorFd, STDERR_FILENO);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  return child;
}

std::optional<int> waitFor(pid_t pid, double seconds) {
  int status = 0;
  if (!eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; }, seconds)) return std::nullopt;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void stop(pid_t pid) {
  kill(pid, SIGTERM);
  if (!waitFor(pid, 10)) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
}

std::vector<std::string> standIn(const std::vector<std::string>& arguments) {
  std::vector<std::string> command{VANTLE_CAPTURE_SIM_PATH};
  command.insert(command.end(), arguments.begin(), arguments.end());
  return command;
}

}  // namespace

Finished runStandIn(const std::vector<std::string>& arguments) {
  int pipe[2];
  if (pipe2(pipe, O_CLOEXEC) != 0) return {};
  const pid_t child = spawn(standIn(arguments), pipe[1]);
  close(pipe[1]);
  Finished finished;
  char buffer[4096];
  pollfd ready{pipe[0], POLLIN, 0};
  while (poll(&ready, 1, 20'000) > 0) {
    const ssize_t got = read(pipe[0], buffer, sizeof buffer);
    if (got <= 0) break;
    finished.output.append(buffer, static_cast<size_t>(got));
  }
  close(pipe[0]);
  const auto code = waitFor(child, 20);
  if (!code) stop(child);
  finished.exitCode = code.value_or(-1);
  return finished;
}

StandInProcess::StandInProcess(const std::vector<std::string>& arguments, const std::filesystem::path& log) {
  const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  pid_ = spawn(standIn(arguments), fd);
  close(fd);
}

StandInProcess::~StandInProcess() {
  if (pid_ > 0) stop(pid_);
}

std::optional<int> StandInProcess::waitForExit(double seconds) {
  auto code = waitFor(pid_, seconds);
  if (code) pid_ = -1;
  return code;
}

ApplicationClient::ApplicationClient() {
  if (sd_bus_open_user(&bus_) < 0) bus_ = nullptr;
}

ApplicationClient::~ApplicationClient() {
  if (bus_) sd_bus_flush_close_unref(bus_);
}

namespace {

// Calls a scripting method with a specifier or a source text; the reply,
// or null with `failure` set to "error " and the D-Bus error's name.
sd_bus_message* call(sd_bus* bus, const char* member, const std::vector<std::string>* specifier,
                     const std::string* source, std::string& failure) {
  sd_bus_message* m = nullptr;
  int r = bus ? sd_bus_message_new_method_call(bus, &m, busName.c_str(), std::string(Channel::objectPath).c_str(),
                                               std::string(Channel::interfaceName).c_str(), member)
              : -ENOTCONN;
  if (r >= 0 && specifier) {
    std::vector<char*> codes;
    for (const auto& code : *specifier) codes.push_back(const_cast<char*>(code.c_str()));
    codes.push_back(nullptr);
    r = sd_bus_message_append_strv(m, codes.data());
  }
  if (r >= 0 && source) r = sd_bus_message_append(m, "s", source->c_str());
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  if (r >= 0) r = sd_bus_call(bus, m, 10'000'000, &error, &reply);
  sd_bus_message_unref(m);
  if (r < 0) failure = std::string("error ") + (error.name ? error.name : std::strerror(-r));
  sd_bus_error_free(&error);
  return r < 0 ? nullptr : reply;
}

}  // namespace

std::string ApplicationClient::get(const std::vector<std::string>& specifier) {
  std::string answer;
  sd_bus_message* reply = call(bus_, "Get", &specifier, nullptr, answer);
  const char* text = nullptr;
  if (reply) answer = sd_bus_message_read(reply, "v", "s", &text) >= 0 && text ? text : "(not text)";
  sd_bus_message_unref(reply);
  return answer;
}

std::string ApplicationClient::count(const std::vector<std::string>& specifier) {
  std::string answer;
  sd_bus_message* reply = call(bus_, "Count", &specifier, nullptr, answer);
  uint32_t n = 0;
  if (reply) answer = sd_bus_message_read(reply, "u", &n) >= 0 ? std::to_string(n) : "(not a count)";
  sd_bus_message_unref(reply);
  return answer;
}

ApplicationClient::ScriptReply ApplicationClient::runScript(const std::string& source) {
  ScriptReply answer;
  sd_bus_message* reply = call(bus_, "RunScript", nullptr, &source, answer.busError);
  int ok = 0;
  const char* result = "";
  const char* message = "";
  if (reply && sd_bus_message_read(reply, "bvis", &ok, "s", &result, &answer.errorNumber, &message) < 0) {
    answer.busError = "(unreadable reply)";
  }
  answer.ok = ok != 0;
  answer.result = result;
  answer.errorMessage = message;
  sd_bus_message_unref(reply);
  return answer;
}

bool ApplicationClient::nameHasOwner() {
  sd_bus_message* reply = nullptr;
  int owned = 0;
  if (bus_ && sd_bus_call_method(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                 "NameHasOwner", nullptr, &reply, "s", busName.c_str()) >= 0) {
    sd_bus_message_read(reply, "b", &owned);
  }
  sd_bus_message_unref(reply);
  return owned;
}

bool ApplicationClient::waitForOwner(bool owned, double seconds) {
  return eventually([&] { return nameHasOwner() == owned; }, seconds);
}

bool isCompleteJpeg(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return bytes.size() > 4 && bytes.starts_with("\xFF\xD8") && bytes.ends_with("\xFF\xD9");
}

}  // namespace vantle::testing
