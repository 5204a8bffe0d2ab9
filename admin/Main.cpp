// orvalengate-admin: the operator's tool (see Admin.h and docs/operators.md).
#include <string>
#include <vector>

#include "admin/Admin.h"
#include "platform/System.h"

namespace {

// Records, post titles and file names hold what members posted, and a
// posted value may carry control bytes (an escape sequence, a carriage
// return) that would act on the operator's terminal. They are written as
// character references, as the values' own HTML escaping would write them
// (a posted "&#27;" is stored as "&amp;#27;", so the two never meet); line
// ends and the tabs between columns stay. No Shift_JIS byte is below 0x20
// or 0x7f.
std::string Printable(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if ((b < 0x20 && c != '\n' && c != '\t') || b == 0x7f) {
      out += "&#" + std::to_string(b) + ";";
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  platform::IgnoreBrokenPipe();
  std::vector<std::string> args(argv + 1, argv + argc);
  admin::Output output;
  const int code = admin::Run(args, output);
  const bool written = platform::WriteStdout(Printable(output.out));
  platform::WriteStderr(Printable(output.err));
  // Output that never arrived (a full disk, a closed pipe) is a failure too.
  return written || code != admin::kOk ? code : admin::kIoError;
}
