// Waiting for the request to end a long-running program (SIGTERM or SIGINT),
// on a thread of the program's choice instead of inside a signal handler.
#pragma once

namespace platform {

// Blocks SIGTERM and SIGINT in the calling thread and in every thread it
// starts afterwards; call first thing in main, before any thread exists.
void BlockTerminationSignals();
// Waits until SIGTERM or SIGINT arrives; returns its number.
int WaitForTerminationSignal();
// Sends SIGTERM to this process (a way for the program itself, or a test, to
// wake the waiter).
void RaiseTermination();

}  // namespace platform
