// Wake-up latency for the threads on a kill's path. A forbidden program runs
// from the moment its exec event is raised until the agent's signal lands;
// at normal priority a woken thread can wait a millisecond or more for a CPU
// that the starting program (or anything else) holds.
#pragma once

namespace procscope {

// The real-time levels in use, lowest first: a thread of a higher level
// preempts one of a lower level on the same CPU.
enum class Urgency {
  Handling = 1,  // judging an event and acting on it
  Reading = 2,   // taking events off the kernel before its buffer fills
};

// Moves the calling thread to a low real-time priority (SCHED_FIFO at the
// given level), with the policy reset in every thread or process it creates,
// so nothing it starts inherits it. Where that is not permitted, raises its
// nice value instead. True when the thread is now real-time.
//
// Only for threads that sleep until an event and then do a bounded piece of
// work: a real-time thread that spins takes its CPU from everything else.
bool raiseThreadPriority(Urgency urgency = Urgency::Handling);

}  // namespace procscope
