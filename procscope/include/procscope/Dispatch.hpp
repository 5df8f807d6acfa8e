// The process-wide concurrent queue: a small pool of worker threads that runs
// every submitted task exactly once, concurrently, without blocking the caller.
#pragma once

#include <functional>

namespace procscope::dispatch {

void async(std::function<void()> task);

// The same, on a small pool of its own whose workers wake at raised priority
// (see raiseThreadPriority), so the task starts at once even on a busy
// machine. Only for short tasks that must not wait, such as a kill: a long
// one would hold a CPU ahead of everything else.
void asyncUrgent(std::function<void()> task);

// Starts the worker threads now rather than on the first task, so that the
// first urgent task does not wait for its thread to be made.
void prepare();

// Blocks until every task submitted so far (and any they submit) has run.
// For tools and tests that must not exit before their tasks end.
void waitIdle();

}  // namespace procscope::dispatch
