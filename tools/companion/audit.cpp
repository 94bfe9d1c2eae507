#include "net/vantle_service.h"
#include "tools/companion/agent_session.h"
#include "tools/companion/commands.h"
#include "tools/companion/message_echo.h"

namespace vantle::tools {

namespace {
constexpr double defaultAuditSeconds = 30;
}

int runAudit(const Invocation& invocation, Output& output, RunEnd& end) {
  if (invocation.paths.size() > net::VantleService::auditLimit) {
    output.note("the agent counts at most " + std::to_string(net::VantleService::auditLimit) +
                " folders at a time: asking for the first ones only");
  }
  AgentSession session(invocation, output, end);
  echoMessages(session.client(), [&](const core::VantleMessage& message) {
    if (message.t != core::VantleMessage::Kind::audited || end.ended()) return;
    output.result(message.encodeText());
    end.finish(exitcode::ok);
  });
  // Asked again after a reconnection: an answer lost with the connection
  // would otherwise be waited for until the timeout.
  session.start([&] { session.client().audit(invocation.paths); });
  if (auto code = end.wait(deadlineAfter(invocation.timeout.value_or(defaultAuditSeconds)))) return *code;
  if (session.everConnected()) output.note("the agent did not answer in time");
  return session.codeAfterWaiting(exitcode::failed);
}

}  // namespace vantle::tools
