#include "procscope/ThreadPriority.hpp"

#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace procscope {

bool raiseThreadPriority(Urgency urgency) {
  sched_param param{};
  param.sched_priority = static_cast<int>(urgency);
  // sched_setscheduler acts on one thread when given its thread id.
  const auto tid = static_cast<pid_t>(syscall(SYS_gettid));
  if (sched_setscheduler(tid, SCHED_FIFO | SCHED_RESET_ON_FORK, &param) == 0) return true;
  setpriority(PRIO_PROCESS, static_cast<id_t>(tid), -10);
  return false;
}

}  // namespace procscope
