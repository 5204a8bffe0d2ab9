// The exception root shared by every layer. A fault carries a message (bytes
// in the system code page, Shift_JIS) and a class name, which the server
// error page shows; the front end catches each fault exactly once.
#pragma once

#include <exception>
#include <string>
#include <string_view>

namespace platform {

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const std::string& Message() const noexcept { return message_; }
  virtual std::string_view ClassName() const noexcept { return "Exception"; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// A file could not be opened for reading: "ファイル "<path>". <reason> は開けません".
class EFOpenError : public Exception {
 public:
  EFOpenError(std::string_view path, int error_number);
  std::string_view ClassName() const noexcept override { return "EFOpenError"; }
};

// A file could not be created or replaced.
class EFCreateError : public Exception {
 public:
  EFCreateError(std::string_view path, int error_number);
  std::string_view ClassName() const noexcept override { return "EFCreateError"; }
};

// Fewer bytes reached the file than the text holds.
class EWriteError : public Exception {
 public:
  explicit EWriteError(int error_number = 0);
  // The errno of the failed write, 0 when unknown.
  int ErrorNumber() const noexcept { return error_number_; }
  std::string_view ClassName() const noexcept override { return "EWriteError"; }

 private:
  int error_number_;
};

// An input/output failure by number, with the message table of the text-file
// routines (2, 3, 4, 5, 100, 101, 106 have their own texts).
class EInOutError : public Exception {
 public:
  explicit EInOutError(int number);
  int ErrorCode() const noexcept { return number_; }
  std::string_view ClassName() const noexcept override { return "EInOutError"; }

 private:
  int number_;
};

// Memory ran out. std::bad_alloc is turned into this so that the front end
// answers it like any other fault, with a class name and a message.
class EOutOfMemory : public Exception {
 public:
  EOutOfMemory() : Exception("Out of memory") {}
  std::string_view ClassName() const noexcept override { return "EOutOfMemory"; }
};

// Maps an errno value onto the input/output error numbers the messages use.
int InOutNumberFromErrno(int error_number) noexcept;

}  // namespace platform
