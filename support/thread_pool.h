// The worker threads every serial queue runs on.
//
// One pool serves the whole process (`shared()`); tests may make their own.
// Work posted to a queue runs on one of the pool's threads, never two pieces
// of one queue at once. Destroying a pool stops its threads after the work
// already running returns; work still waiting is dropped.
#pragma once

#include <cstddef>
#include <memory>

namespace asio {
class io_context;
}

namespace vantle::support {

class ThreadPool {
 public:
  // `threads` = 0 picks a default: enough that a few queues blocked in
  // `sync` calls cannot starve the others.
  explicit ThreadPool(size_t threads = 0);
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  // The process-wide pool, started on first use and never destroyed.
  static ThreadPool& shared();

  // Stops the process-wide pool's threads and waits for them (work still
  // waiting is dropped). A program calls it on its way out, before returning
  // from main: otherwise pool threads may still run while the process's
  // static objects are being destroyed. Does nothing when the pool was
  // never used; must not be called from a pool thread.
  static void stopShared();

  asio::io_context& context();
  size_t size() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vantle::support
