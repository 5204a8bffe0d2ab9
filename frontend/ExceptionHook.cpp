#include "frontend/ExceptionHook.h"

#include <new>

#include "platform/Exception.h"

namespace frontend {
namespace {

TExceptionHookProc g_proc = nullptr;
void* g_object = nullptr;

}  // namespace

void SetExceptionHook(TExceptionHookProc proc, void* object) noexcept {
  g_proc = proc;
  g_object = object;
}

TExceptionHookProc ExceptionHookProc() noexcept { return g_proc; }
void* ExceptionHookObject() noexcept { return g_object; }

void ClearExceptionHook(void* object) noexcept {
  if (g_object == object) SetExceptionHook(nullptr, nullptr);
}

void CallExceptionHook(std::exception_ptr e, IWebExceptionHandler* sender) {
  if (g_proc == nullptr) std::rethrow_exception(e);
  g_proc(g_object, e, sender);
}

void CGIExceptionHook(void* /*object*/, std::exception_ptr e, IWebExceptionHandler* sender) {
  bool handled = false;
  if (sender != nullptr) {
    try {
      std::rethrow_exception(e);
    } catch (const platform::Exception& ex) {
      // A failure inside HandleException (sending the error page) leaves
      // from here as the new exception.
      sender->HandleException(ex, handled);
    } catch (const std::bad_alloc&) {
      // Running out of memory in the handler is a fault of the request like
      // any other: it gets the application error page too.
      sender->HandleException(platform::EOutOfMemory(), handled);
    } catch (...) {
      // not an Exception: nobody but Run may answer it
    }
  }
  if (!handled) std::rethrow_exception(e);
}

}  // namespace frontend
