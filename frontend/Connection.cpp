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

bool StartedByHand() {
  // Any one of them means a web server or a process manager started us:
  // their request gets a page, never the version.
  for (const char* name : {"GATEWAY_INTERFACE", "REQUEST_METHOD", "SERVER_PROTOCOL", "QUERY_STRING",
                           "CONTENT_LENGTH", "SCRIPT_NAME", "LISTEN_FDS", "FCGI_WEB_SERVER_ADDRS"}) {
    if (!platform::GetEnv(name).empty()) return false;
  }
  return true;
}

}  // namespace frontend
