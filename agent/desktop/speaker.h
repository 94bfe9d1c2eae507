// Spoken warnings.
//
// `Speaker` is what the hardware monitor needs; `SpeechDispatcherSpeaker` is
// the real one, a client of speech-dispatcher. Speaking never blocks the
// caller: the connection and the request run on the speaker's own queue.
// Speech does not queue up: while a text is being spoken, a new one is
// dropped. A missing speech service is logged under the category "monitor"
// and the text dropped; the next text tries to connect again.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/serial_queue.h"

namespace vantle::agent {

class Speaker {
 public:
  virtual ~Speaker() = default;

  // Speaks `text`, unless speech is already under way: then `text` is
  // dropped. Returns at once; thread-safe.
  virtual void speak(const std::string& text) = 0;
};

class SpeechDispatcherSpeaker final : public Speaker, public std::enable_shared_from_this<SpeechDispatcherSpeaker> {
 public:
  struct Voice {
    std::string name;
    std::string language;  // "en-US"
    std::string variant;   // free text; may say "female"
  };

  // The voice to ask for by name: "Samantha" when offered, else the first
  // US English voice that says it is female; nullopt means the default voice
  // for the language "en-US".
  static std::optional<std::string> preferredVoice(const std::vector<Voice>& voices);

  // A speaker using the speech-dispatcher socket at `socketPath`; without
  // one, the address the environment gives (SPEECHD_ADDRESS, else the
  // default), starting the server when it is not running.
  static std::shared_ptr<SpeechDispatcherSpeaker> create(std::optional<std::string> socketPath = std::nullopt);
  ~SpeechDispatcherSpeaker() override;

  void speak(const std::string& text) override;

  // Whether a text is being spoken (or about to be).
  bool isSpeaking() const;

  // The server's end-of-speech notice normally clears `isSpeaking`; if it
  // never comes (a server that died mid-sentence) speech resumes after this.
  static constexpr std::chrono::seconds longestUtterance{60};

  struct Utterance;  // shared with speech-dispatcher's own thread

 private:
  explicit SpeechDispatcherSpeaker(std::optional<std::string> socketPath);

  struct Connection;  // an open speech-dispatcher session

  // On the queue.
  bool connect();
  void speakNow(const std::string& text);

  const std::optional<std::string> socketPath_;
  const std::shared_ptr<Utterance> utterance_;  // shared with speech-dispatcher's thread
  support::SerialQueue queue_{"com.orvane.vantle.speech"};
  std::unique_ptr<Connection> connection_;  // touched only on queue_
};

}  // namespace vantle::agent
