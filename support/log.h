// The system log, under one subsystem and a category per concern.
//
// Lines go to the systemd journal with the fields SUBSYSTEM and CATEGORY
// when a journal is reachable, else to standard error. Every argument is
// public: the log holds folder paths and peer addresses, which is what a
// studio's technician needs to read. Thread-safe.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vantle::support::log {

inline constexpr std::string_view subsystem = "com.orvanedigital.OrvaneVantle";

enum class Level { debug, info, error };

void write(Level level, std::string_view category, std::string_view message);

inline void debug(std::string_view category, std::string_view message) { write(Level::debug, category, message); }
inline void info(std::string_view category, std::string_view message) { write(Level::info, category, message); }
inline void error(std::string_view category, std::string_view message) { write(Level::error, category, message); }

struct Line {
  Level level;
  std::string category;
  std::string message;
};

// Records every line written while it lives, from any thread; for tests.
// Lines still reach the journal or standard error as usual.
class Capture {
 public:
  Capture();
  ~Capture();
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  std::vector<Line> lines() const;
  // The messages of one category, in order.
  std::vector<std::string> messages(std::string_view category) const;

  struct Sink;

 private:
  std::shared_ptr<Sink> sink_;
};

}  // namespace vantle::support::log
