// The process-wide concurrent queue: a small pool of worker threads that runs
// every submitted task exactly once, concurrently, without blocking the caller.
#pragma once

#include <functional>

namespace procscope::dispatch {

void async(std::function<void()> task);

// Blocks until every task submitted so far (and any they submit) has run.
// For tools and tests that must not exit before their tasks end.
void waitIdle();

}  // namespace procscope::dispatch
