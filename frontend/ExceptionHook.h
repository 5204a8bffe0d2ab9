// The process-wide exception hook: one (function, object) pair that the
// request cycle calls with every exception raised while a request is
// handled, together with the object that can answer it (the dispatcher), if
// any. The application installs a default hook; the CGI factory replaces it
// with the CGI hook when it is made, before the request object exists.
#pragma once

#include <exception>

#include "platform/Exception.h"

namespace frontend {

// Whatever can turn an exception into a page of its own (a dispatcher).
class IWebExceptionHandler {
 public:
  virtual ~IWebExceptionHandler() = default;
  virtual void HandleException(const platform::Exception& e, bool& handled) = 0;
};

using TExceptionHookProc = void (*)(void* object, std::exception_ptr e, IWebExceptionHandler* sender);

void SetExceptionHook(TExceptionHookProc proc, void* object) noexcept;
TExceptionHookProc ExceptionHookProc() noexcept;
void* ExceptionHookObject() noexcept;
// Uninstalls the hook if it is still the one of this object.
void ClearExceptionHook(void* object) noexcept;

// Calls the installed hook; with none installed the exception goes on.
void CallExceptionHook(std::exception_ptr e, IWebExceptionHandler* sender);

// The CGI hook: an Exception is offered to the sender, if there is one; an
// exception left unhandled by it, and any object that is not an Exception,
// is raised again as the same object, so it reaches Run and ends as the
// server error page.
void CGIExceptionHook(void* object, std::exception_ptr e, IWebExceptionHandler* sender);

}  // namespace frontend
