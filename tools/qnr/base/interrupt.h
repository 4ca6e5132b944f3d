// Ctrl-C and termination: a dedicated thread waits for the signal and records
// it; the job sees it, stops, removes its unfinished output and exits with
// 128 + the signal number. A job stuck in a read that nothing interrupts (a
// pipe that stays open) is ended by that thread after a short grace.
#pragma once

namespace qnr {

// Call first in main, before any thread starts: blocks SIGINT, SIGTERM and
// SIGHUP in every thread, ignores SIGPIPE (a closed pipe shows as EPIPE).
// `last_moment` runs just before a job stuck past the grace is ended (it
// removes an unfinished output); it must be async-signal-safe.
void install_interrupt_handling(void (*last_moment)() = nullptr);
// The signal that arrived, or 0.
int interrupted_signal();
// Throws Failure with status 128 + signal when one arrived.
void throw_if_interrupted();

}  // namespace qnr
