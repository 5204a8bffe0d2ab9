// Starting another program: the mail program a site hands its messages to.
// No shell ever sees the arguments, and the child gets a clean environment,
// so nothing a request carried can choose what runs.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

struct ProgramRun {
  bool started = false;      // false: the program could not be started at all
  bool input_taken = false;  // every byte of the input was written
  bool timed_out = false;    // it had not ended in time and was killed
  bool detached = false;     // still running when the caller stopped waiting
  int exit_code = -1;        // its exit status; -1 when it did not exit normally
  bool Succeeded() const { return started && input_taken && !timed_out && exit_code == 0; }
};

// Runs `program` (a full path) with `args` after its own name, writes
// `input` to its standard input and closes it, and waits for it, at most
// `timeout_ms`; then it is killed, with whatever it started. Given
// `detach_after_ms` (0 or more), it is left running once that much time
// has passed (its input written whole first): the caller answers on time,
// and the program ends on its own. Its standard output and error go
// nowhere (a CGI program's own output is the answer, and a resident one's
// may be its connection); no other descriptor or handle of this process
// reaches it; it starts with the system's default signal handling. Its
// environment holds PATH alone (and SystemRoot on Windows, which Windows
// programs need).
ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args, std::string_view input,
                      int timeout_ms, int detach_after_ms = -1);

// Runs `work` in a process of its own that outlives this one and keeps
// nothing of it but memory: no descriptor or handle (a CGI answer ends when
// this process ends, a resident process's sockets stay its own), standard
// streams on the null device, a session of its own. The caller goes on at
// once; an exception out of `work` ends that process quietly. False when no
// such process can be had (where processes cannot be copied, or the system
// refused one): the caller then does the work itself.
bool StartDetached(const std::function<void()>& work);

}  // namespace platform
