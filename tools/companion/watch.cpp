#include "tools/companion/agent_session.h"
#include "tools/companion/commands.h"
#include "tools/companion/message_echo.h"

namespace vantle::tools {

int runWatch(const Invocation& invocation, Output& output, RunEnd& end) {
  uint64_t printed = 0;  // on the client queue; outlives the session, whose end silences it
  AgentSession session(invocation, output, end);
  session.client().setHighestSeq(invocation.since);
  echoMessages(session.client(), [&](const core::VantleMessage& message) {
    if (end.ended()) return;
    output.result(message.encodeText());
    if (invocation.messages && ++printed >= *invocation.messages) end.finish(exitcode::ok);
  });
  session.start([] {});
  if (auto code = end.wait(deadlineAfter(invocation.timeout))) return *code;
  return session.codeAfterWaiting(exitcode::ok);
}

}  // namespace vantle::tools
