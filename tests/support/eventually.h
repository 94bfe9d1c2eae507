// Waiting in tests for something another thread does.
#pragma once

#include <chrono>
#include <thread>

namespace vantle::testing {

// Polls `done` until it holds or `seconds` pass; returns its last answer.
template <typename P>
bool eventually(P done, double seconds = 5) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace vantle::testing
