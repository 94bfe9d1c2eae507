// Header deadlines: a connection that has not sent its request's headers in
// time is shut down, one that is being answered never is.
#include "web/connection_deadlines.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vantle::web {
namespace {

using Clock = ConnectionDeadlines::Clock;
using std::chrono::seconds;

// A connected pair: the server's end is what the deadlines shut down.
struct Pair {
  int server = -1;
  int client = -1;
  Pair() {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) == 0) {
      server = ends[0];
      client = ends[1];
    }
  }
  ~Pair() {
    ::close(server);
    ::close(client);
  }
  // Whether the client sees its peer gone: a read returns end of stream at once.
  bool shut() const {
    char byte;
    return ::recv(client, &byte, 1, MSG_DONTWAIT) == 0;
  }
};

TEST(ConnectionDeadlines, SilenceBeforeARequestEndsAConnectionAndAnAnswerInProgressNever) {
  ConnectionDeadlines deadlines(seconds(10));
  const Clock::time_point start = Clock::now();
  Pair silent, answered, kept;
  ASSERT_GE(silent.server, 0);
  auto* a = deadlines.started(silent.server, start);
  auto* b = deadlines.started(answered.server, start);
  auto* c = deadlines.started(kept.server, start);
  deadlines.requestBegan(b);  // a long answer: the event stream
  deadlines.requestBegan(c);
  deadlines.requestEnded(c, start + seconds(8));  // kept alive, its next request due at 18 s

  EXPECT_EQ(deadlines.enforce(start + seconds(9)), 0u);
  EXPECT_FALSE(silent.shut());
  EXPECT_EQ(deadlines.enforce(start + seconds(10)), 1u);
  EXPECT_TRUE(silent.shut());
  EXPECT_FALSE(answered.shut());
  EXPECT_FALSE(kept.shut());
  EXPECT_EQ(deadlines.enforce(start + seconds(11)), 0u);  // shut once

  EXPECT_EQ(deadlines.enforce(start + seconds(3600)), 1u);
  EXPECT_TRUE(kept.shut());
  EXPECT_FALSE(answered.shut());

  // Closed, a record is forgotten: its socket number may be someone else's by then.
  deadlines.closed(a);
  deadlines.closed(c);
  EXPECT_EQ(deadlines.size(), 1u);
  deadlines.closed(b);
  EXPECT_EQ(deadlines.size(), 0u);
}

}  // namespace
}  // namespace vantle::web
