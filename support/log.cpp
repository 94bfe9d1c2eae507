#include "support/log.h"

#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/dist_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>
#include <systemd/sd-journal.h>
#include <sys/stat.h>

#include <map>
#include <mutex>

#include "support/safe_text.h"

namespace vantle::support::log {
namespace {

spdlog::level::level_enum toSpdlog(Level level) {
  switch (level) {
    case Level::debug: return spdlog::level::debug;
    case Level::info: return spdlog::level::info;
    case Level::error: return spdlog::level::err;
  }
  return spdlog::level::info;
}

Level fromSpdlog(spdlog::level::level_enum level) {
  if (level <= spdlog::level::debug) return Level::debug;
  if (level >= spdlog::level::err) return Level::error;
  return Level::info;
}

// One journal entry per line, with the subsystem and the category (the
// logger's name) as fields of their own so `journalctl SUBSYSTEM=...` finds them.
class JournalSink final : public spdlog::sinks::base_sink<std::mutex> {
 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    const int priority = msg.level >= spdlog::level::err ? 3 : msg.level <= spdlog::level::debug ? 7 : 6;
    sd_journal_send("MESSAGE=%.*s", static_cast<int>(msg.payload.size()), msg.payload.data(), "PRIORITY=%d",
                    priority, "SUBSYSTEM=%.*s", static_cast<int>(subsystem.size()), subsystem.data(),
                    "CATEGORY=%.*s", static_cast<int>(msg.logger_name.size()), msg.logger_name.data(),
                    "SYSLOG_IDENTIFIER=orvane-vantle", nullptr);
  }
  void flush_() override {}
};

bool journalReachable() {
  struct stat st;
  return ::stat("/run/systemd/journal/socket", &st) == 0;
}

class Registry {
 public:
  Registry() : fanOut_(std::make_shared<spdlog::sinks::dist_sink_mt>()) {
    if (journalReachable()) {
      fanOut_->add_sink(std::make_shared<JournalSink>());
    } else {
      auto err = std::make_shared<spdlog::sinks::stderr_color_sink_mt>();
      err->set_pattern("%Y-%m-%d %H:%M:%S.%e %^%l%$ [%n] %v");
      fanOut_->add_sink(err);
    }
  }

  spdlog::logger& logger(std::string_view category) {
    std::lock_guard lock(mutex_);
    auto it = loggers_.find(category);
    if (it == loggers_.end()) {
      auto made = std::make_shared<spdlog::logger>(std::string(category), fanOut_);
      made->set_level(spdlog::level::debug);
      it = loggers_.emplace(std::string(category), std::move(made)).first;
    }
    return *it->second;
  }

  spdlog::sinks::dist_sink_mt& fanOut() { return *fanOut_; }

 private:
  std::mutex mutex_;
  std::shared_ptr<spdlog::sinks::dist_sink_mt> fanOut_;
  std::map<std::string, std::shared_ptr<spdlog::logger>, std::less<>> loggers_;
};

Registry& registry() {
  static Registry* r = new Registry();  // used until the last thread ends
  return *r;
}

}  // namespace

void write(Level level, std::string_view category, std::string_view message) {
  // Lines carry text from the network (a service's name, a peer's address):
  // a terminal must show it, not obey it.
  registry().logger(category).log(toSpdlog(level), "{}", printable(message));
}

struct Capture::Sink final : spdlog::sinks::base_sink<std::mutex> {
  std::vector<Line> lines;
  std::vector<Line> snapshot() {
    std::lock_guard lock(mutex_);
    return lines;
  }

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    lines.push_back(Line{fromSpdlog(msg.level), std::string(msg.logger_name.begin(), msg.logger_name.end()),
                         std::string(msg.payload.begin(), msg.payload.end())});
  }
  void flush_() override {}
};

Capture::Capture() : sink_(std::make_shared<Sink>()) { registry().fanOut().add_sink(sink_); }

Capture::~Capture() { registry().fanOut().remove_sink(sink_); }

std::vector<Line> Capture::lines() const { return sink_->snapshot(); }

std::vector<std::string> Capture::messages(std::string_view category) const {
  std::vector<std::string> out;
  for (const Line& line : lines()) {
    if (line.category == category) out.push_back(line.message);
  }
  return out;
}

}  // namespace vantle::support::log
