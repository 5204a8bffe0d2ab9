// The program entry: one process serves one CGI request. The application
// answers every failure with an error page of its own, so the exit code is 0
// whatever happened.
#include "frontend/WebModule.h"
#include "member/WebModule1.h"
#include "platform/System.h"

int main() {
  platform::IgnoreBrokenPipe();
  auto& app = frontend::Application();
  app.Initialize();
  app.RegisterModuleClass(&member::TWebModule1::Create);
  app.Run();
  return 0;
}
