// Starting another program: the mail program a site hands its messages to.
// No shell ever sees the arguments, and the child gets a clean environment,
// so nothing a request carried can choose what runs.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace platform {

struct ProgramRun {
  bool started = false;    // false: the program could not be started at all
  bool timed_out = false;  // it had not ended in time and was killed
  int exit_code = -1;      // its exit status; -1 when it did not exit normally
  bool Succeeded() const { return started && !timed_out && exit_code == 0; }
};

// Runs `program` (a full path) with `args` after its own name, writes
// `input` to its standard input and closes it, and waits for it, at most
// `timeout_ms`; then it is killed. Its standard output goes nowhere (a CGI
// program's own output is the answer), its standard error is this
// program's; no other descriptor or handle of this process reaches it. Its
// environment holds PATH alone (on Windows also SystemRoot, without which
// the system's own DLLs do not load).
ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args, std::string_view input,
                      int timeout_ms);

}  // namespace platform
