#include "frontend/Connection.h"

#include "platform/System.h"

namespace frontend {
namespace {

class TStandardConnection final : public TConnection {
 public:
  std::string Variable(const std::string& name) override { return platform::GetEnv(name); }
  std::size_t Read(char* buffer, std::size_t count) override { return platform::ReadStdin(buffer, count); }
  bool Write(std::string_view bytes) override { return platform::WriteStdout(bytes); }
};

}  // namespace

TConnection& StandardConnection() {
  // No state of its own: every call reads the environment and the streams anew.
  static TStandardConnection connection;
  return connection;
}

bool StartedAtTerminal() {
  return platform::StdinIsTerminal() && platform::GetEnv("GATEWAY_INTERFACE").empty() &&
         platform::GetEnv("REQUEST_METHOD").empty();
}

}  // namespace frontend
