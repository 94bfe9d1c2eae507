#include "net/avahi_session.h"

#include <avahi-common/error.h>
#include <avahi-common/timeval.h>

namespace vantle::net {
namespace {

constexpr unsigned retrySeconds = 5;

}  // namespace

AvahiSession::AvahiSession(Callbacks callbacks) : callbacks_(std::move(callbacks)) {
  poll_ = avahi_threaded_poll_new();
}

AvahiSession::~AvahiSession() {
  if (!poll_) return;
  avahi_threaded_poll_stop(poll_);  // joins Avahi's thread
  if (client_) avahi_client_free(client_);
  avahi_threaded_poll_free(poll_);
}

const AvahiPoll* AvahiSession::poll() const { return avahi_threaded_poll_get(poll_); }

void AvahiSession::start() {
  if (!poll_) {
    unavailable("Avahi could not start its event loop");
    return;
  }
  avahi_threaded_poll_lock(poll_);
  connect();
  avahi_threaded_poll_unlock(poll_);
  avahi_threaded_poll_start(poll_);
}

void AvahiSession::connect() {
  int error = 0;
  // NO_FAIL: wait for a daemon that is not running yet instead of failing.
  client_ = avahi_client_new(poll(), AVAHI_CLIENT_NO_FAIL, clientChanged, this, &error);
  if (!client_) {
    unavailable(std::string("the Avahi daemon cannot be reached (") + avahi_strerror(error) + ")");
    scheduleRetry();
  } else if (avahi_client_get_state(client_) == AVAHI_CLIENT_FAILURE) {
    scheduleRetry();
  }
}

void AvahiSession::unavailable(const std::string& reason) {
  if (saidUnavailable_) return;
  saidUnavailable_ = true;
  if (callbacks_.onUnavailable) callbacks_.onUnavailable(reason);
}

void AvahiSession::scheduleRetry() {
  if (retry_) return;
  struct timeval tv;
  avahi_elapse_time(&tv, retrySeconds * 1000, 0);
  retry_ = poll()->timeout_new(poll(), &tv, retryNow, this);
}

void AvahiSession::retryNow(AvahiTimeout* timeout, void* context) {
  auto* self = static_cast<AvahiSession*>(context);
  self->poll()->timeout_free(timeout);
  self->retry_ = nullptr;
  if (self->client_ && avahi_client_get_state(self->client_) == AVAHI_CLIENT_FAILURE) {
    avahi_client_free(self->client_);
    self->client_ = nullptr;
  }
  if (!self->client_) self->connect();
}

void AvahiSession::clientChanged(AvahiClient* client, AvahiClientState state, void* context) {
  auto* self = static_cast<AvahiSession*>(context);
  switch (state) {
    case AVAHI_CLIENT_S_RUNNING:
      self->saidUnavailable_ = false;
      self->running_ = true;
      if (self->callbacks_.onRunning) self->callbacks_.onRunning(client);
      break;
    case AVAHI_CLIENT_S_COLLISION:
    case AVAHI_CLIENT_S_REGISTERING:
      // The host name is changing: what was registered must be redone once
      // the client runs again.
      if (self->running_ && self->callbacks_.onLost) self->callbacks_.onLost();
      self->running_ = false;
      break;
    case AVAHI_CLIENT_CONNECTING:
      self->unavailable("no Avahi daemon is running");
      break;
    case AVAHI_CLIENT_FAILURE: {
      const int error = avahi_client_errno(client);
      if (self->running_ && self->callbacks_.onLost) self->callbacks_.onLost();
      self->running_ = false;
      self->unavailable(std::string("the Avahi daemon went away (") + avahi_strerror(error) + ")");
      // The client cannot recover by itself; it is freed and made anew on a
      // later turn of the loop, not inside its own callback.
      self->scheduleRetry();
      break;
    }
  }
}

}  // namespace vantle::net
