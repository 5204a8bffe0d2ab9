// A build without the FastCGI kit (Windows): every process is a CGI process.
#include "frontend/Connection.h"

namespace frontend {

bool ServeFastCgi(const std::function<void(TConnection&)>& /*serve*/) { return false; }

}  // namespace frontend
