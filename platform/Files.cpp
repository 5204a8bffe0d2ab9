// The parts of the file routines both platform halves share.
#include "platform/Files.h"

#include <cerrno>

#include "platform/Detail.h"
#include "platform/Exception.h"
#include "platform/System.h"

namespace platform {
namespace {

// Every reader of a record, session file or counter has just seen the file
// exist, and it stays in place but for a replace. On a shared file system
// another server's replace can still reach us half done: the name missing
// for a moment while its rename() is under way (ENOENT), or the handle we
// opened naming the inode just replaced (ESTALE), which a client may keep
// answering for as long as it caches the name (GlusterFS: a second). Pauses
// that double, with any lock the caller holds still held, outlast both; a
// file that is really gone stays an error, 1.6 s later.
bool PauseBeforeReread(int error_number, int attempt) {
  constexpr int kAttempts = 7;
  bool passing = error_number == ENOENT;
#ifdef ESTALE
  passing = passing || error_number == ESTALE;
#endif
  if (!passing || attempt >= kAttempts) return false;
  SleepMilliseconds(25 << (attempt - 1));
  return true;
}

}  // namespace

std::string ReadWholeFile(const std::string& path) {
  std::string out;
  for (int attempt = 1;; ++attempt) {
    const int err = detail::ReadFileOnce(path, out);
    if (err == 0) return out;
    if (!PauseBeforeReread(err, attempt)) throw EFOpenError(path, err);
  }
}

}  // namespace platform
