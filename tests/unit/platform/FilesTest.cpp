#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "Portable.h"
#include "platform/Exception.h"
#include "platform/Files.h"
#include "platform/Process.h"

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>
#endif

namespace {

using testing_os::TempDir;

TEST(Files, ExistenceTellsFilesFromDirectories) {
  TempDir dir;
  platform::ReplaceFile(dir / "a.txt", "x");
  EXPECT_TRUE(platform::FileExists(dir / "a.txt"));
  EXPECT_FALSE(platform::DirectoryExists(dir / "a.txt"));
  EXPECT_TRUE(platform::DirectoryExists(dir / ""));
  EXPECT_FALSE(platform::FileExists(dir / ""));
  EXPECT_FALSE(platform::FileExists(""));
  EXPECT_FALSE(platform::FileExists(dir / "missing.txt"));
  EXPECT_THROW(platform::ReadWholeFile(dir / ""), platform::EFOpenError);
}

TEST(Files, PlainFileNames) {
  EXPECT_TRUE(platform::IsPlainFileName(std::string(251, 'a'), ".txt"));
  EXPECT_FALSE(platform::IsPlainFileName(std::string(252, 'a'), ".txt"));
  EXPECT_FALSE(platform::IsPlainFileName("a", "/b"));
  // 表 (0x95 0x5C) holds a "\" that is no delimiter; one after it is.
  EXPECT_TRUE(platform::IsPlainFileName("\x95\x5C"));
  EXPECT_FALSE(platform::IsPlainFileName("\x95\x5C\\"));
}

#ifdef _WIN32
// Windows' own name rules, built for Windows only: a member ID or session
// name is a file name there, and one Windows would refuse, open as a device
// or take for another file must be refused like "/".
TEST(Files, WindowsNameRules) {
  const auto Times = [](std::string_view piece, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out.append(piece);
    return out;
  };
  const struct {
    std::string name;
    std::string_view suffix;
    bool plain;
  } rows[] = {
      {"alice", ".txt", true},
      // Devices in every folder, in any letter case, with any extension.
      {"CON", "", false}, {"con", ".txt", false}, {"Prn", ".txt", false}, {"AUX", ".jpg", false},
      {"nul", ".txt", false}, {"NUL.tar", ".gz", false}, {"CON ", ".txt", false},
      {"COM1", "", false}, {"com9", ".txt", false}, {"LPT1", ".txt", false}, {"lpt9", "", false},
      // Names that only start like one are names.
      {"CONSOLE", ".txt", true}, {"NULL", ".txt", true}, {"COM10", ".txt", true}, {"LPT", ".txt", true},
      {"xcon", ".txt", true}, {"a.con", "", true},
      // Characters Windows refuses, and control bytes.
      {"a:b", ".txt", false}, {"a*b", "", false}, {"a?b", "", false}, {"a\"b", "", false},
      {"a<b", "", false}, {"a>b", "", false}, {"a|b", "", false}, {"a\x01" "b", "", false},
      {"a\tb", "", false}, {"a\x1f", ".txt", false},
      // Windows drops a trailing dot or blank: "a." and "a" would be one file.
      {"a.", "", false}, {"a ", "", false}, {"a. ", "", false}, {"a.", ".txt", true},
      // 0x5C and 0x7C as second bytes (表, ポ) are part of the character;
      // a "\" after one is a delimiter again.
      {"\x95\x5C", ".txt", true}, {"\x83\x7C", ".txt", true}, {"\x95\x5C\\", "", false}, {"a\\b", "", false},
      // A lead byte before a control byte or "/" makes no character.
      {"\x95\x2F", "", false}, {"\x95\x1F", "", false},
      // The limit is 255 UTF-16 units, not bytes: 127 double-byte characters
      // and ".txt" are 258 bytes but 131 units.
      {Times("\x95\x5C", 127), ".txt", true}, {Times("\x95\x5C", 252), ".txt", false},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(platform::IsPlainFileName(row.name, row.suffix), row.plain)
        << testing::PrintToString(row.name) << " + " << row.suffix;
  }
}
#endif

TEST(Files, ReplaceWritesExactBytesAndLeavesNoTemporaryFile) {
  TempDir dir;
  const std::string bytes("a\0b\r\nc", 6);
  platform::ReplaceFile(dir / "r.txt", bytes);
  EXPECT_EQ(platform::ReadWholeFile(dir / "r.txt"), bytes);
  platform::ReplaceFile(dir / "r.txt", "");
  EXPECT_EQ(platform::ReadWholeFile(dir / "r.txt"), "");
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"r.txt"});
}

TEST(Files, NamesUpToTheFileSystemLimitCanBeWritten) {
  TempDir dir;
  const std::string longest = std::string(251, 'a') + ".txt";  // 255 bytes
  platform::ReplaceFile(dir / longest, "one");
  platform::ReplaceFile(dir / longest, "two");
  EXPECT_EQ(platform::ReadWholeFile(dir / longest), "two");
  EXPECT_TRUE(platform::CreateFileExclusive(dir / ("b" + longest.substr(1)), "x"));
}

TEST(Files, FailuresRaiseTheirErrors) {
  TempDir dir;
  EXPECT_THROW(platform::ReplaceFile(dir / "no/such/dir.txt", "x"), platform::EFCreateError);
  EXPECT_THROW(platform::ReadWholeFile(dir / "missing.txt"), platform::EFOpenError);
  EXPECT_THROW(platform::CreateFileExclusive(dir / "no/such.txt", "x"), platform::EFCreateError);
}

// A name missing while another server's replace is under way is read again
// after pauses that double: 25 ms .. 800 ms, 1.575 s in all. Here it comes
// back 700 ms after the read began, past the give-up of a reader with two
// tries (25 ms), pauses that do not double (150 ms) or none; load only
// lengthens the reader's pauses, and the writer may be 0.8 s late. Gone for
// good, it is an error after at least the pauses (a lower bound load keeps).
TEST(Files, ReadWaitsOutAReplaceOnlySoLong) {
  TempDir dir;
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  std::thread writer([&] {
    std::this_thread::sleep_until(start + std::chrono::milliseconds(700));
    platform::ReplaceFile(dir / "back.txt", "back");
  });
  std::string read;
  try {
    read = platform::ReadWholeFile(dir / "back.txt");
  } catch (const platform::EFOpenError&) {
    read = "<gave up>";
  }
  writer.join();
  EXPECT_EQ(read, "back");
  const Clock::time_point gone = Clock::now();
  EXPECT_THROW(platform::ReadWholeFile(dir / "gone.txt"), platform::EFOpenError);
  EXPECT_GE(Clock::now() - gone, std::chrono::seconds(1));
}

TEST(Files, ExclusiveCreateNeverReplaces) {
  TempDir dir;
  EXPECT_TRUE(platform::CreateFileExclusive(dir / "m.txt", "first"));
  EXPECT_FALSE(platform::CreateFileExclusive(dir / "m.txt", "second"));
  EXPECT_EQ(platform::ReadWholeFile(dir / "m.txt"), "first");
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"m.txt"});
}

TEST(Files, AppendCreatesThenExtendsAndRefusesADirectory) {
  TempDir dir;
  EXPECT_TRUE(platform::AppendToFile(dir / "log", "one\n"));
  EXPECT_TRUE(platform::AppendToFile(dir / "log", std::string("t\0o\r\n", 5)));
  EXPECT_EQ(platform::ReadWholeFile(dir / "log"), std::string("one\nt\0o\r\n", 9));
  platform::CreateDirectories(dir / "sub/");
  EXPECT_FALSE(platform::AppendToFile(dir / "sub", "x\n"));
  EXPECT_FALSE(platform::AppendToFile(dir / "no/such/log", "x\n"));
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"log", "sub"}));
}

TEST(Files, LockIsExclusiveUntilReleased) {
  TempDir dir;
  const std::string lock_path = platform::LockPathFor(dir / "counter.txt");
  EXPECT_EQ(lock_path, dir / ".counter.txt.lock");
  {
    platform::FileLock held = platform::FileLock::Acquire(lock_path);
    EXPECT_TRUE(held.Held());
    // Separate opens conflict even within one process (flock, LockFileEx).
    EXPECT_FALSE(platform::FileLock::TryAcquire(lock_path).Held());
  }
  EXPECT_TRUE(platform::FileLock::TryAcquire(lock_path).Held());
}

TEST(Files, CreateDirectoriesMakesEveryMissingParent) {
  TempDir dir;
  platform::CreateDirectories(dir / "a/b/c/");
  EXPECT_TRUE(platform::DirectoryExists(dir / "a/b/c"));
  platform::CreateDirectories(dir / "a/b/c");  // existing: nothing happens
  EXPECT_TRUE(platform::DirectoryExists(dir / "a/b/c"));
}

// POSIX only, so not built for Windows (suite PosixFiles): FIFOs, permission
// bits and fork() have no counterpart there. The racing creators and the
// killed writer are run against orvalengate.exe by the black-box tests.
#ifndef _WIN32
TEST(PosixFiles, FifoIsNoRecord) {
  TempDir dir;
  // Something else where a record is expected is no record, and reading it
  // fails at once instead of waiting for a writer.
  ASSERT_EQ(::mkfifo((dir / "fifo.txt").c_str(), 0600), 0);
  EXPECT_FALSE(platform::FileExists(dir / "fifo.txt"));
  EXPECT_THROW(platform::ReadWholeFile(dir / "fifo.txt"), platform::EFOpenError);
}

TEST(PosixFiles, AppendToAFifoFailsAtOnce) {
  TempDir dir;
  ASSERT_EQ(::mkfifo((dir / "log").c_str(), 0600), 0);
  EXPECT_FALSE(platform::AppendToFile(dir / "log", "x\n"));
}

TEST(PosixFiles, ReplacedFileKeepsItsPermissions) {
  TempDir dir;
  platform::ReplaceFile(dir / "r.txt", "old");
  ASSERT_EQ(::chmod((dir / "r.txt").c_str(), 0600), 0);
  platform::ReplaceFile(dir / "r.txt", "new");
  struct stat st;
  ASSERT_EQ(::stat((dir / "r.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(platform::ReadWholeFile(dir / "r.txt"), "new");
}

TEST(PosixFiles, LinkTargetIsWhereAReplaceLands) {
  TempDir dir;
  const std::string base = dir / "";
  ASSERT_EQ(::symlink((base + "log/error.txt").c_str(), (base + "absolute").c_str()), 0);
  ASSERT_EQ(::symlink("log/error.txt", (base + "relative").c_str()), 0);
  EXPECT_EQ(platform::LinkTarget(base + "absolute"), base + "log/error.txt");
  EXPECT_EQ(platform::LinkTarget(base + "relative"), base + "log/error.txt");
  EXPECT_EQ(platform::LinkTarget(base + "plain"), base + "plain");
}

TEST(PosixFiles, ExactlyOneOfManyRacingCreatorsWins) {
  TempDir dir;
  constexpr int kProcesses = 24;
  std::vector<pid_t> pids;
  for (int i = 0; i < kProcesses; ++i) {
    pid_t pid = ::fork();
    if (pid == 0) {
      bool won = platform::CreateFileExclusive(dir / "race.txt", "writer " + std::to_string(i));
      ::_exit(won ? 0 : 1);
    }
    pids.push_back(pid);
  }
  int winners = 0, winner = -1;
  for (int i = 0; i < kProcesses; ++i) {
    int status = 0;
    ::waitpid(pids[static_cast<std::size_t>(i)], &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 0) {
      ++winners;
      winner = i;
    }
  }
  EXPECT_EQ(winners, 1);
  EXPECT_EQ(platform::ReadWholeFile(dir / "race.txt"), "writer " + std::to_string(winner));
}

TEST(PosixFiles, KilledWriterLeavesOldOrNewFileNeverAPart) {
  TempDir dir;
  const std::string old_bytes(200000, 'o');
  const std::string new_bytes(300000, 'n');
  std::mt19937 rng(42);
  for (int round = 0; round < 30; ++round) {
    platform::ReplaceFile(dir / "rec.txt", old_bytes);
    pid_t pid = ::fork();
    if (pid == 0) {
      while (true) platform::ReplaceFile(dir / "rec.txt", new_bytes);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 20000));
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    const std::string now = platform::ReadWholeFile(dir / "rec.txt");
    EXPECT_TRUE(now == old_bytes || now == new_bytes) << "round " << round << ": " << now.size() << " bytes";
  }
}
#endif  // _WIN32

}  // namespace

#ifndef _WIN32
// The mail program's side of a run: what it reads, what it inherits, how it
// ends. The Windows half is run under Wine with a stand-in program.
TEST(PosixFiles, ProgramGetsItsInputAndNothingElse) {
  TempDir dir;
  const std::string out = dir / "got";
  const int leaked = ::open("/dev/null", O_RDONLY);  // no O_CLOEXEC: must not reach the child
  ASSERT_GE(leaked, 0);
  const std::string script = "cat > '" + out + "'; echo \"$#:$1:${HTTP_HOST-none}:$PATH\" >> '" + out +
                             "'; [ -e /proc/self/fd/" + std::to_string(leaked) + " ] && exit 9; echo to-stdout; exit 3";
  ::setenv("HTTP_HOST", "evil", 1);
  const platform::ProgramRun run = platform::RunProgram("/bin/sh", {"-c", script, "sh", "a b;c"}, "line\r\nmail", 10000);
  ::unsetenv("HTTP_HOST");
  ::close(leaked);
  EXPECT_TRUE(run.started);
  EXPECT_FALSE(run.timed_out);
  EXPECT_EQ(run.exit_code, 3);
  EXPECT_EQ(platform::ReadWholeFile(out),
            "line\r\nmail1:a b;c:none:/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin\n");

  EXPECT_FALSE(platform::RunProgram(dir / "no-such-program", {}, "x", 1000).started);
  // Killed at the limit, though it never reads its input.
  const platform::ProgramRun slow = platform::RunProgram("/bin/sleep", {"60"}, std::string(1 << 20, 'x'), 300);
  EXPECT_TRUE(slow.started && slow.timed_out && !slow.Succeeded());
  // Left running after its input went in, when the caller cannot wait.
  const platform::ProgramRun detached = platform::RunProgram("/bin/sleep", {"5"}, "", 10000, 0);
  EXPECT_TRUE(detached.started && detached.detached && detached.input_taken && !detached.timed_out);
}
#endif

#ifdef _WIN32
// The same on Windows, with the stand-in built beside this program
// (tests/wine/MailStandIn.cpp): it writes back its arguments, whether a
// handle of ours reached it, the names in its environment and its input,
// and exits with the number of arguments that are no options.
TEST(Files, WindowsProgramGetsItsInputAndNothingElse) {
  using namespace std::string_literals;
  TempDir dir;
  const std::string self = platform::ExecutablePath();
  std::filesystem::copy_file(self.substr(0, self.rfind('/')) + "/mail-standin.exe", dir / "mail.exe");
  const std::string input = "line\r\nmail\x1a\r\n\0end"s;
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  const HANDLE held = ::CreateFileA((dir / "held").c_str(), GENERIC_WRITE, 0, &inheritable, CREATE_NEW, 0, nullptr);
  const std::string held_arg = "--held=" + std::to_string(reinterpret_cast<std::uintptr_t>(held));
  testing_os::SetEnv("HTTP_HOST", "evil");
  const platform::ProgramRun run = platform::RunProgram(
      dir / "mail.exe", {held_arg, "-t", "a b \"c\" d\\", "\x95\x5C\\\\\"", ""}, input, 10000);
  testing_os::UnsetEnv("HTTP_HOST");
  ::CloseHandle(held);
  EXPECT_TRUE(run.started && !run.timed_out);
  EXPECT_EQ(run.exit_code, 3);
  // Wine adds names of its own to any environment.
  const std::string got = platform::ReadWholeFile(dir / "mail.txt");
  const std::size_t names = got.find("PATH "), end = got.find('\n', names);
  ASSERT_NE(end, std::string::npos) << got;
  EXPECT_EQ(got.substr(0, names), held_arg + "\n-t\na b \"c\" d\\\n\x95\x5C\\\\\"\n\n");
  EXPECT_NE(got.find(" SystemRoot ", names), std::string::npos);
  EXPECT_EQ(got.find("HTTP_HOST"), std::string::npos);
  EXPECT_EQ(got.substr(end + 1), input);

  EXPECT_FALSE(platform::RunProgram(dir / "no-such.exe", {}, "x", 1000).started);
  const platform::ProgramRun slow = platform::RunProgram(dir / "mail.exe", {"--hang"}, std::string(1 << 20, 'x'), 300);
  EXPECT_TRUE(slow.started && slow.timed_out && !slow.Succeeded());
}
#endif
