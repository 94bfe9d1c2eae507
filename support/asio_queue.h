// The Asio strand behind a SerialQueue, for code that binds sockets and
// timers to a queue directly. Including this pulls in Asio; most code needs
// only support/serial_queue.h.
#pragma once

#include <asio/io_context.hpp>
#include <asio/strand.hpp>

#include "support/serial_queue.h"

namespace vantle::support {

using Strand = asio::strand<asio::io_context::executor_type>;

struct QueueAccess {
  static Strand& strand(SerialQueue& queue);
};

inline Strand& strandOf(SerialQueue& queue) { return QueueAccess::strand(queue); }

}  // namespace vantle::support
