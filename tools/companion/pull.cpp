#include <atomic>

#include "tools/companion/agent_session.h"
#include "tools/companion/commands.h"
#include "tools/companion/image_folder.h"

namespace vantle::tools {

namespace {
// Long enough for a high-resolution pull through Capture One (about 130 s).
constexpr double defaultPullSeconds = 180;
}

int runPull(const Invocation& invocation, Output& output, RunEnd& end) {
  auto opened = ImageFolder::open(*invocation.out);
  if (auto* failure = std::get_if<ImageFolder::Failure>(&opened)) {
    output.note(failure->sentence);
    return exitcode::failed;
  }
  ImageFolder folder = std::get<ImageFolder>(std::move(opened));

  // State the callbacks share; it outlives the session, whose end silences them.
  bool answered = false;  // on the client queue
  std::atomic<size_t> written = 0;
  AgentSession session(invocation, output, end);
  net::VantleClient& client = session.client();
  client.onSelectedImageData = [&](const core::Bytes& data, const std::optional<std::string>& fileName) {
    if (end.ended()) return;
    answered = true;
    auto result = folder.write(data, fileName);
    if (auto* failure = std::get_if<ImageFolder::Failure>(&result)) {
      output.note(failure->sentence);
      return end.finish(exitcode::failed);
    }
    output.result(std::get<std::string>(result));
    ++written;
    // Nothing marks the last image of a pull: it is over once no more come.
    end.finishAt(RunEnd::Clock::now() + std::chrono::duration_cast<RunEnd::Clock::duration>(
                                            std::chrono::duration<double>(invocation.settle)),
                 exitcode::ok);
  };
  client.onSelectedImageUnavailable = [&](const std::string& reason) {
    if (end.ended()) return;
    answered = true;
    output.note(reason);
    end.finish(exitcode::unavailable);
  };
  // Asked again after a reconnection, unless an answer already came.
  session.start([&] {
    if (answered) return;
    if (invocation.frame) {
      client.requestFrameImage(*invocation.frame);
    } else {
      client.requestSelectedImage(invocation.highRes);
    }
  });
  if (auto code = end.wait(deadlineAfter(invocation.timeout.value_or(defaultPullSeconds)))) return *code;
  if (written > 0) return exitcode::ok;  // cut short while waiting for more
  if (session.everConnected()) output.note("no image came in time");
  return session.codeAfterWaiting(exitcode::failed);
}

}  // namespace vantle::tools
