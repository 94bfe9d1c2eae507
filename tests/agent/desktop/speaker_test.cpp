#include "agent/desktop/speaker.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "support/log.h"
#include "tests/support/temp_folder.h"
#include "tests/agent/folders/fixtures/recorder.h"

// libspeechd keeps the few bytes of its autospawn note when a connection
// fails: its leak, not ours. Its strings come from glib, which nothing else
// here uses, and glib's frames cut the sanitizer's stack at g_malloc, so the
// library is named as a whole.
extern "C" const char* __lsan_default_suppressions() { return "leak:libglib-2.0.so\n"; }

namespace vantle::agent {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using testing::eventually;

// Stands in for speech-dispatcher: its text protocol on a Unix socket, one
// client at a time. It offers `voices` (lines of name, tab, language, tab,
// variant), records commands and texts, and reports the end of each text at
// once, or with `holdSpeech` only when the test calls finishSpeaking().
class FakeSpeechServer {
 public:
  FakeSpeechServer(const std::filesystem::path& socket, std::vector<std::string> voices, bool holdSpeech = false)
      : voices_(std::move(voices)), holdSpeech_(holdSpeech), listener_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket.c_str(), sizeof address.sun_path - 1);
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener_, 4) != 0) {
      throw std::runtime_error("cannot listen on " + socket.string());
    }
    socket_ = socket;
    thread_ = std::thread([this] {
      for (int client; (client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) serve(client);
    });
  }
  ~FakeSpeechServer() {
    shutdown(listener_, SHUT_RDWR);
    {
      std::lock_guard guard(lock_);
      if (client_ >= 0) shutdown(client_, SHUT_RDWR);
    }
    thread_.join();
    close(listener_);
    unlink(socket_.c_str());
  }

  void finishSpeaking() { send("702-" + std::to_string(spoken.size()) + "\r\n702-1\r\n702 END\r\n"); }

  testing::Recorder<std::string> spoken, commands;

 private:
  void send(const std::string& text) {
    std::lock_guard guard(lock_);
    if (client_ >= 0) ::send(client_, text.data(), text.size(), MSG_NOSIGNAL);
  }

  void serve(int client) {
    {
      std::lock_guard guard(lock_);
      client_ = client;
    }
    std::string pending, text;
    bool receiving = false;
    char buffer[512];
    for (ssize_t got; (got = read(client, buffer, sizeof buffer)) > 0;) {
      pending.append(buffer, static_cast<size_t>(got));
      for (size_t end; (end = pending.find("\r\n")) != std::string::npos; pending.erase(0, end + 2)) {
        const std::string line = pending.substr(0, end);
        if (receiving && line != ".") {
          text += line;
        } else if (receiving) {
          receiving = false;
          spoken.add(std::exchange(text, {}));
          const std::string id = std::to_string(spoken.size());
          send("225-" + id + "\r\n225 OK MESSAGE QUEUED\r\n");
          if (!holdSpeech_) send("702-" + id + "\r\n702-1\r\n702 END\r\n");
        } else {
          commands.add(line);
          if (line == "speak") {
            receiving = true;
            send("230 OK RECEIVING DATA\r\n");
          } else if (line == "HISTORY GET CLIENT_ID") {
            send("245-1\r\n245 OK CLIENT ID SENT\r\n");
          } else if (line == "LIST SYNTHESIS_VOICES") {
            std::string reply;
            for (const std::string& voice : voices_) reply += "249-" + voice + "\r\n";
            send(reply + "249 OK VOICE LIST SENT\r\n");
          } else {
            send("200 OK\r\n");
          }
        }
      }
    }
    std::lock_guard guard(lock_);
    close(client_);
    client_ = -1;
  }

  const std::vector<std::string> voices_;
  const bool holdSpeech_;
  const int listener_;
  std::filesystem::path socket_;
  mutable std::mutex lock_;
  int client_ = -1;
  std::thread thread_;
};

TEST(SpeechVoice, SamanthaThenAUSFemaleVoiceThenTheLanguageDefault) {
  using Voice = SpeechDispatcherSpeaker::Voice;
  EXPECT_EQ(SpeechDispatcherSpeaker::preferredVoice({{"Ava", "en-US", "female"}, {"Samantha", "en-GB", ""}}), "Samantha");
  EXPECT_EQ(SpeechDispatcherSpeaker::preferredVoice(
                {{"Anna", "de-DE", "female"}, {"Alex", "en-US", "male"}, {"Ava", "en_us", "Female 2"}, {"Zoe", "en-US", "female"}}),
            "Ava");
  EXPECT_EQ(SpeechDispatcherSpeaker::preferredVoice({Voice{"Alex", "en-US", "male"}, {"Kate", "en-GB", "female"}}), std::nullopt);
}

class Speech : public ::testing::Test {
 protected:
  testing::TempFolder folder_;
  const std::filesystem::path socket_ = folder_ / "speechd.sock";
  const std::shared_ptr<SpeechDispatcherSpeaker> speaker_ = SpeechDispatcherSpeaker::create(socket_.string());
};

TEST_F(Speech, SpeaksWithThePreferredVoiceAndDropsTextsWhileSpeaking) {
  FakeSpeechServer server(socket_, {"Alex\ten-US\tmale", "Samantha\ten-US\tfemale"}, /*holdSpeech=*/true);
  speaker_->speak("Warning. Mac battery is at 12 percent.");
  ASSERT_TRUE(eventually([&] { return server.spoken.values().size() == 1; }));
  EXPECT_THAT(server.commands.values(), Contains("SET SELF SYNTHESIS_VOICE Samantha"));
  EXPECT_THAT(server.commands.values(), Contains("SET SELF RATE 0"));
  EXPECT_TRUE(speaker_->isSpeaking());
  speaker_->speak("dropped: the first is still being spoken");

  server.finishSpeaking();
  ASSERT_TRUE(eventually([&] { return !speaker_->isSpeaking(); }));
  speaker_->speak("Warning. Disk space is low. Only 12 gigabytes remaining.");
  ASSERT_TRUE(eventually([&] { return server.spoken.values().size() == 2; }));
  EXPECT_THAT(server.spoken.values(), ElementsAre("Warning. Mac battery is at 12 percent.",
                                           "Warning. Disk space is low. Only 12 gigabytes remaining."));
}

TEST_F(Speech, AMissingOrRestartedServerIsLoggedAndReachedAgain) {
  support::log::Capture capture;
  speaker_->speak("nobody hears this");
  ASSERT_TRUE(eventually([&] { return !capture.messages("monitor").empty() && !speaker_->isSpeaking(); }));
  EXPECT_THAT(capture.messages("monitor").front(), ::testing::StartsWith("Speech is not available: "));
  {
    FakeSpeechServer first(socket_, {});
    speaker_->speak("before");
    ASSERT_TRUE(eventually([&] { return first.spoken.values().size() == 1 && !speaker_->isSpeaking(); }));
  }
  // The old connection is dead: writing to it must not kill the process,
  // and the text must reach the server that took its place.
  FakeSpeechServer second(socket_, {});
  speaker_->speak("after");
  ASSERT_TRUE(eventually([&] { return !second.spoken.values().empty(); }));
  EXPECT_THAT(second.spoken.values(), ElementsAre("after"));
}

}  // namespace
}  // namespace vantle::agent
