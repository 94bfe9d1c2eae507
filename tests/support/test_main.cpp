// The main of every test program: GoogleTest's, plus stopping the shared
// thread pool before the process's static objects are destroyed, so that no
// pool thread runs into them on the way out.
#include <gtest/gtest.h>

#include "support/thread_pool.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  vantle::support::ThreadPool::stopShared();
  return result;
}
