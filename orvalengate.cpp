// The program entry: one process serves one CGI request, or, started by a
// FastCGI process manager, request after request. The application
// answers every failure with an error page of its own, so the exit code is 0
// whatever happened.
#include <string_view>

#include "Version.h"
#include "frontend/Connection.h"
#include "frontend/WebModule.h"
#include "member/WebModule1.h"
#include "platform/System.h"

int main(int argc, char** argv) {
  platform::IgnoreBrokenPipe();
  if (argc == 2 && std::string_view(argv[1]) == "--version" && frontend::StartedByHand()) {
    platform::WriteStdout("orvalengate " ORVALENGATE_VERSION "\n" ORVALENGATE_FEATURES "\n");
    return 0;
  }
  try {
    auto& app = frontend::Application();
    app.Initialize();
    app.RegisterModuleClass(&member::TWebModule1::Create);
    app.Run();  // answers every failure of the request itself
  } catch (...) {
    // Only a broken set-up gets here; the server still sees a clean exit.
  }
  return 0;
}
