// Deny before exec: the kernel asks the agent for permission before it opens
// a file for execution (fanotify's FAN_OPEN_EXEC_PERM on every file system
// the agent sees), and a forbidden program's exec fails with EPERM before it
// runs a single instruction. The kill stays on behind it.
//
// While an event is unanswered its exec waits, and every exec on the machine
// can be waiting: each event is answered within kAnswerDeadline whatever
// happens. A verdict that would need more time (a file not inspected in time)
// allows the exec and leaves the program to the kill. Network and FUSE file
// systems are never marked: the kernel opens each event's file for the
// listener, and there that open is a request to a server that may never
// answer. Nor are mounts private to other mount namespaces: the kill covers
// all of these.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace procblock::platform {

inline constexpr std::chrono::milliseconds kAnswerDeadline{200};

// Starts the listener and the thread that marks file systems (now and as they
// are mounted). Logs once and returns false when the kernel or the sandbox
// refuses: the agent goes on with the kill alone.
bool startDenyExec();

// The listener's descriptor, or -1 when it is not listening. A child holding
// it past the agent's death would keep every exec on the machine waiting for
// answers that never come: a forked child closes it at once (a fork handler
// does that), and a spawned one must be given a file action that closes it.
int denyExecDescriptor();

// The mount points to mark, from the text of /proc/self/mountinfo: every
// mount's (unescaped), those of file systems served remotely or by a user's
// process (NFS, CIFS, 9p, FUSE and the like) left out, and overlays with a
// layer on one of those. Exposed for tests.
std::vector<std::string> mountPointsToMark(std::string_view mountinfo);

// Answers the events of one read (`size` bytes) from the listener's
// descriptor `fanotify`, made at `readAt`, and closes their descriptors: an
// exec is denied when `judgeExec` says so of its file's descriptor and its
// process, and allowed unjudged once the time to judge it (a share of
// kAnswerDeadline counted from `readAt`) is over. Exposed for tests.
void answerEvents(int fanotify, const void* read, std::size_t size,
                  std::chrono::steady_clock::time_point readAt,
                  const std::function<bool(int fd, std::int32_t pid)>& judgeExec);

}  // namespace procblock::platform
