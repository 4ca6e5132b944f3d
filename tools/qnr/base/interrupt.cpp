#include "base/interrupt.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "base/failure.h"

namespace qnr {

namespace {
std::atomic<int> arrived{0};

std::string interrupted_message(int signal) {
  return std::string("interrupted (") + strsignal(signal) + "); no output was left behind";
}
}  // namespace

void install_interrupt_handling(void (*last_moment)()) {
  ::signal(SIGPIPE, SIG_IGN);
  sigset_t set;
  sigemptyset(&set);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, s);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread([set, last_moment] {
    for (;;) {
      int signal = 0;
      if (sigwait(&set, &signal) != 0) continue;
      int expected = 0;
      if (!arrived.compare_exchange_strong(expected, signal)) continue;
      // The job normally stops within a frame; one blocked in a read gets two seconds.
      std::this_thread::sleep_for(std::chrono::seconds(2));
      if (last_moment != nullptr) last_moment();
      const std::string line = "qnr: " + interrupted_message(signal) + "\n";
      (void)!::write(STDERR_FILENO, line.data(), line.size());
      ::_exit(128 + signal);
    }
  }).detach();
}

int interrupted_signal() { return arrived.load(); }

void throw_if_interrupted() {
  if (const int signal = arrived.load(); signal != 0) {
    throw Failure(interrupted_message(signal), 128 + signal);
  }
}

}  // namespace qnr
