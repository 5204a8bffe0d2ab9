// orvalengate-admin: the operator's tool (see Admin.h and docs/operators.md).
#include <string>
#include <vector>

#include "admin/Admin.h"
#include "platform/System.h"

int main(int argc, char** argv) {
  platform::IgnoreBrokenPipe();
  std::vector<std::string> args(argv + 1, argv + argc);
  // --raw, before anything else: the stored bytes for scripts, unconverted.
  const bool raw = !args.empty() && args[0] == "--raw";
  if (raw) args.erase(args.begin());
  const platform::TerminalCharsets charsets = platform::TerminalCharsetsOf();
  admin::Output output;
  int code = admin::kOk;
  for (std::size_t i = 0; i < args.size() && !raw; ++i) {
    // The site's folder is a name of the file system, spelled as the
    // terminal spells it; sessions and IDs name records the site wrote.
    if (i == 0 && (args[i] == "--site" || args[i].starts_with("--site="))) {
      i += args[i] == "--site" ? 1 : 0;
      continue;
    }
    std::string& arg = args[i];
    const std::optional<std::string> stored = admin::FromTerminal(arg, charsets.arguments);
    if (!stored) {
      output.err += "an argument is no UTF-8 text or holds a character Shift_JIS lacks"
                    " (--raw passes arguments as they are)\n";
      code = admin::kUsage;
      break;
    }
    arg = *stored;
  }
  if (code == admin::kOk) {
    code = admin::Run(args, output, raw ? platform::TerminalCharset::kShiftJis : charsets.arguments);
  }
  const platform::TerminalCharset shown = raw ? platform::TerminalCharset::kShiftJis : charsets.output;
  const bool written = platform::WriteStdout(raw ? output.out : admin::ForTerminal(output.out, shown));
  platform::WriteStderr(raw ? output.err : admin::ForTerminal(output.err, shown));
  // Output that never arrived (a full disk, a closed pipe) is a failure too.
  return written || code != admin::kOk ? code : admin::kIoError;
}
