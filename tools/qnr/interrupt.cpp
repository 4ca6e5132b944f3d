#include "interrupt.h"

#include <signal.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "failure.h"

namespace qnr {

namespace {
std::atomic<int> arrived{0};
}

void install_interrupt_handling() {
  ::signal(SIGPIPE, SIG_IGN);
  sigset_t set;
  sigemptyset(&set);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, s);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread([set] {
    for (;;) {
      int signal = 0;
      if (sigwait(&set, &signal) != 0) continue;
      int expected = 0;
      arrived.compare_exchange_strong(expected, signal);
      kill_all_children(SIGKILL);
    }
  }).detach();
}

int interrupted_signal() { return arrived.load(); }

void throw_if_interrupted() {
  if (const int signal = arrived.load(); signal != 0) {
    throw Failure(std::string("interrupted (") + strsignal(signal) + "); no output was left behind",
                  128 + signal);
  }
}

}  // namespace qnr
