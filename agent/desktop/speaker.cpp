#include "agent/desktop/speaker.h"

#include <libspeechd.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <map>
#include <mutex>

#include "support/log.h"
#include "support/weak.h"

namespace vantle::agent {

// When the current text started; absent while silent.
struct SpeechDispatcherSpeaker::Utterance {
  mutable std::mutex lock;
  std::optional<std::chrono::steady_clock::time_point> startedAt;

  void finish() {
    std::lock_guard guard(lock);
    startedAt.reset();
  }
};

namespace {

using SteadyClock = std::chrono::steady_clock;
using Utterance = SpeechDispatcherSpeaker::Utterance;

// libspeechd writes to its socket without MSG_NOSIGNAL, so a server that went
// away would end the whole process with SIGPIPE. While a guard lives, the
// signal is blocked on this thread, and one raised meanwhile is taken back;
// the write then just fails with EPIPE.
class SigpipeGuard {
 public:
  SigpipeGuard() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    alreadyPending_ = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe_, &previous_);
  }
  ~SigpipeGuard() {
    if (!alreadyPending_) {
      const timespec none{};
      while (sigtimedwait(&pipe_, nullptr, &none) == SIGPIPE) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }
  SigpipeGuard(const SigpipeGuard&) = delete;
  SigpipeGuard& operator=(const SigpipeGuard&) = delete;

 private:
  sigset_t pipe_;
  sigset_t previous_;
  bool alreadyPending_ = false;
};

// speech-dispatcher's callbacks carry no user data, only the client ID of
// the connection, so a speaker's utterance is found by that ID.
std::mutex registryLock;
std::map<size_t, std::weak_ptr<Utterance>>& registry() {
  static std::map<size_t, std::weak_ptr<Utterance>> utterances;
  return utterances;
}

// On speech-dispatcher's thread, at the end or cancellation of a text.
void utteranceEnded(size_t, size_t clientID, SPDNotificationType) {
  std::shared_ptr<Utterance> utterance;
  {
    std::lock_guard guard(registryLock);
    const auto it = registry().find(clientID);
    if (it != registry().end()) utterance = it->second.lock();
  }
  if (utterance) utterance->finish();
}

std::string folded(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) {
    return c == '_' ? '-' : static_cast<char>(std::tolower(c));
  });
  return text;
}

}  // namespace

// Closing ends the session and stops matching its callbacks.
struct SpeechDispatcherSpeaker::Connection {
  Connection(SPDConnection* spd, std::shared_ptr<Utterance> utterance) : spd(spd) {
    spd->callback_end = utteranceEnded;
    spd->callback_cancel = utteranceEnded;
    spd_set_notification_on(spd, SPD_END);
    spd_set_notification_on(spd, SPD_CANCEL);
    clientID = spd_get_client_id(spd);
    if (clientID >= 0) {
      std::lock_guard guard(registryLock);
      registry()[static_cast<size_t>(clientID)] = utterance;
    }
  }
  ~Connection() {
    SigpipeGuard guard;
    if (clientID >= 0) {
      std::lock_guard guard(registryLock);
      registry().erase(static_cast<size_t>(clientID));
    }
    spd_close(spd);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  SPDConnection* const spd;
  int clientID = -1;
};

std::optional<std::string> SpeechDispatcherSpeaker::preferredVoice(const std::vector<Voice>& voices) {
  for (const Voice& voice : voices) {
    if (voice.name == "Samantha") return voice.name;
  }
  for (const Voice& voice : voices) {
    const bool female = folded(voice.variant).find("female") != std::string::npos ||
                        folded(voice.name).find("female") != std::string::npos;
    if (folded(voice.language) == "en-us" && female) return voice.name;
  }
  return std::nullopt;
}

std::shared_ptr<SpeechDispatcherSpeaker> SpeechDispatcherSpeaker::create(std::optional<std::string> socketPath) {
  return std::shared_ptr<SpeechDispatcherSpeaker>(new SpeechDispatcherSpeaker(std::move(socketPath)));
}

SpeechDispatcherSpeaker::SpeechDispatcherSpeaker(std::optional<std::string> socketPath)
    : socketPath_(std::move(socketPath)), utterance_(std::make_shared<Utterance>()) {}

SpeechDispatcherSpeaker::~SpeechDispatcherSpeaker() = default;

bool SpeechDispatcherSpeaker::isSpeaking() const {
  std::lock_guard guard(utterance_->lock);
  return utterance_->startedAt && SteadyClock::now() - *utterance_->startedAt < longestUtterance;
}

void SpeechDispatcherSpeaker::speak(const std::string& text) {
  {
    std::lock_guard guard(utterance_->lock);
    const SteadyClock::time_point now = SteadyClock::now();
    if (utterance_->startedAt && now - *utterance_->startedAt < longestUtterance) {
      support::log::debug("monitor", "Speech dropped while speaking: " + text);
      return;
    }
    utterance_->startedAt = now;
  }
  queue_.post(support::weakly(shared_from_this(), [text](SpeechDispatcherSpeaker& self) { self.speakNow(text); }));
}

void SpeechDispatcherSpeaker::speakNow(const std::string& text) {
  VANTLE_ON_QUEUE(queue_);
  SigpipeGuard guard;
  // A server that restarted since the last text fails the first try on the
  // old connection; a fresh connection deserves a second.
  for (int attempt = 0; attempt < 2 && connect(); ++attempt) {
    if (spd_say(connection_->spd, SPD_MESSAGE, text.c_str()) >= 0) return;
    support::log::error("monitor", "Speech failed: speech-dispatcher did not accept the text");
    connection_.reset();
  }
  utterance_->finish();
}

bool SpeechDispatcherSpeaker::connect() {
  VANTLE_ON_QUEUE(queue_);
  if (connection_) return true;
  char* error = nullptr;
  SPDConnection* spd = nullptr;
  if (socketPath_) {
    SPDConnectionAddress address{};
    address.method = SPD_METHOD_UNIX_SOCKET;
    address.unix_socket_name = const_cast<char*>(socketPath_->c_str());
    spd = spd_open2("orvane-vantle", "agent", nullptr, SPD_MODE_THREADED, &address, 0, &error);
  } else {
    spd = spd_open2("orvane-vantle", "agent", nullptr, SPD_MODE_THREADED, nullptr, 1, &error);
  }
  if (!spd) {
    support::log::error("monitor", std::string("Speech is not available: ") + (error ? error : "no connection"));
    std::free(error);
    return false;
  }
  connection_ = std::make_unique<Connection>(spd, utterance_);

  std::vector<Voice> voices;
  if (SPDVoice** listed = spd_list_synthesis_voices(spd)) {
    for (SPDVoice** v = listed; *v; ++v) {
      voices.push_back({(*v)->name ? (*v)->name : "", (*v)->language ? (*v)->language : "",
                        (*v)->variant ? (*v)->variant : ""});
    }
    free_spd_voices(listed);
  }
  if (const std::optional<std::string> name = preferredVoice(voices)) {
    spd_set_synthesis_voice(spd, name->c_str());
  } else {
    spd_set_language(spd, "en-US");
  }
  spd_set_voice_rate(spd, 0);  // the normal rate
  return true;
}

}  // namespace vantle::agent
