// A deadline for every request on the browser server.
//
// libmicrohttpd closes a connection that sends nothing for a while, but one
// that trickles a byte now and then (a "slowloris") would hold its place for
// days. Here each connection is given `headerLimit` from its start, and from
// the end of each answer, to have its next request in (headers and the small
// body a request may have); one that does not is shut down, and
// libmicrohttpd then closes it. The TLS handshake falls within the first
// deadline.
//
// Thread-safe: libmicrohttpd's thread records, the web service's queue
// enforces. A record lives from `started` to `closed`, and its socket is
// shut down only between the two, under the lock `closed` takes, so a
// socket number the system has already given to someone else is never
// touched.
#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <optional>
#include <unordered_set>

namespace vantle::web {

class ConnectionDeadlines {
 public:
  using Clock = std::chrono::steady_clock;
  struct Record;

  explicit ConnectionDeadlines(Clock::duration headerLimit) : headerLimit_(headerLimit) {}
  ~ConnectionDeadlines();

  Record* started(int socket, Clock::time_point now);
  // A request is in: no deadline while it is answered.
  void requestBegan(Record* record);
  // Its answer is sent: the next request's headers are due.
  void requestEnded(Record* record, Clock::time_point now);
  void closed(Record* record);

  // Shuts down every connection past its deadline; returns how many.
  size_t enforce(Clock::time_point now);
  size_t size() const;

 private:
  const Clock::duration headerLimit_;
  mutable std::mutex mutex_;
  std::unordered_set<Record*> records_;
};

}  // namespace vantle::web
