#include "support/thread_pool.h"

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

namespace vantle::support {

struct ThreadPool::Impl {
  asio::io_context context;
  asio::executor_work_guard<asio::io_context::executor_type> work{context.get_executor()};
  std::vector<std::thread> threads;
};

ThreadPool::ThreadPool(size_t threads) : impl_(std::make_unique<Impl>()) {
  if (threads == 0) threads = std::max<size_t>(4, std::thread::hardware_concurrency());
  for (size_t i = 0; i < threads; ++i) {
    impl_->threads.emplace_back([this] { impl_->context.run(); });
  }
}

ThreadPool::~ThreadPool() {
  impl_->work.reset();
  impl_->context.stop();
  for (std::thread& t : impl_->threads) {
    if (!t.joinable()) continue;
    if (t.get_id() == std::this_thread::get_id()) {
      t.detach();  // destroyed from its own work: cannot join itself
    } else {
      t.join();
    }
  }
}

namespace {

std::atomic<ThreadPool*> sharedPool{nullptr};

}  // namespace

ThreadPool& ThreadPool::shared() {
  static ThreadPool* pool = [] {
    auto* made = new ThreadPool();  // outlives every static user
    sharedPool = made;
    return made;
  }();
  return *pool;
}

void ThreadPool::stopShared() {
  ThreadPool* pool = sharedPool.load();
  if (!pool) return;
  pool->impl_->work.reset();
  pool->impl_->context.stop();
  for (std::thread& t : pool->impl_->threads) {
    if (t.joinable()) t.join();
  }
}

asio::io_context& ThreadPool::context() { return impl_->context; }

size_t ThreadPool::size() const { return impl_->threads.size(); }

}  // namespace vantle::support
