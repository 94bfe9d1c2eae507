// A connection to the Avahi daemon that survives the daemon's absence.
//
// Runs Avahi's threaded poll. `onRunning` is called (on Avahi's thread, with
// the poll locked) each time the daemon becomes usable, with the client to
// create entry groups or browsers on; `onLost` when that client goes away
// (its objects must be forgotten: they are freed with it). While no daemon
// or system bus is reachable, `onUnavailable` is told once and the session
// retries every few seconds.
#pragma once

#include <avahi-client/client.h>
#include <avahi-common/thread-watch.h>

#include <functional>
#include <string>

namespace vantle::net {

class AvahiSession {
 public:
  struct Callbacks {
    std::function<void(AvahiClient*)> onRunning;
    std::function<void()> onLost;
    std::function<void(const std::string&)> onUnavailable;
  };

  explicit AvahiSession(Callbacks callbacks);
  // Stops the poll thread and frees the client; no callback runs afterwards.
  ~AvahiSession();
  AvahiSession(const AvahiSession&) = delete;
  AvahiSession& operator=(const AvahiSession&) = delete;

  // Creates the client and starts the poll thread.
  void start();

  // The threaded poll, for timeouts; use only on Avahi's thread.
  const AvahiPoll* poll() const;

 private:
  static void clientChanged(AvahiClient* client, AvahiClientState state, void* self);
  static void retryNow(AvahiTimeout* timeout, void* self);
  void connect();
  void unavailable(const std::string& reason);
  void scheduleRetry();

  Callbacks callbacks_;
  AvahiThreadedPoll* poll_ = nullptr;
  AvahiClient* client_ = nullptr;
  bool running_ = false;
  bool saidUnavailable_ = false;
  AvahiTimeout* retry_ = nullptr;
};

}  // namespace vantle::net
