// The signals that ask a program to stop, taken synchronously.
//
// blockStopSignals blocks SIGINT, SIGTERM and SIGHUP (the terminal closed)
// in the calling thread and returns them as a set, for sigwait or an event loop's signal source to
// take. Call it first in main, before any thread starts (libvips and the
// shared pool start their own), so that every thread inherits the mask and
// no thread is interrupted at random.
#pragma once

#include <pthread.h>
#include <signal.h>

namespace vantle::support {

inline sigset_t blockStopSignals() {
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  return stops;
}

}  // namespace vantle::support
