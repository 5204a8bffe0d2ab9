// orvalengate-admin: the operator's tool (see Admin.h and docs/operators.md).
#include <string>
#include <vector>

#include "admin/Admin.h"
#include "platform/System.h"

int main(int argc, char** argv) {
  platform::IgnoreBrokenPipe();
  std::vector<std::string> args(argv + 1, argv + argc);
  admin::Output output;
  const int code = admin::Run(args, output);
  const bool written = platform::WriteStdout(output.out);
  platform::WriteStderr(output.err);
  // Output that never arrived (a full disk, a closed pipe) is a failure too.
  return written || code != admin::kOk ? code : admin::kIoError;
}
