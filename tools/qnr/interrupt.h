// Ctrl-C and termination: a dedicated thread waits for the signal, stops
// every child process (which unblocks the pipes) and records it, so the job
// can remove its partial output and exit with 128 + the signal number.
#pragma once

namespace qnr {

// Call first in main, before any thread starts: blocks SIGINT, SIGTERM and
// SIGHUP in every thread, ignores SIGPIPE (a closed pipe shows as EPIPE).
void install_interrupt_handling();
// The signal that arrived, or 0.
int interrupted_signal();
// Throws Failure with status 128 + signal when one arrived.
void throw_if_interrupted();

// Stops every running child (defined in process.cpp).
void kill_all_children(int signal);

}  // namespace qnr
