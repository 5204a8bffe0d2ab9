// Many processes of the program at once on shared files, as a busy web
// server runs them: numbered posts, same-ID registrations, password changes
// interleaved with profile saves, and processes killed while they save; and
// single races set up step by step: a request held at a lock or paused at a
// chosen system call while another goes on. Each test prints its measured
// figures.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "CommandsSupport.h"
#include "Harness.h"

namespace blackbox {
namespace {

using namespace commands;
using Clock = std::chrono::steady_clock;

constexpr int kProcesses = 24;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void Report(const std::string& what, int processes, int accepted, int failures, int duplicates, double seconds) {
  std::cout << "[figures] " << what << ": processes=" << processes << " accepted=" << accepted
            << " failures=" << failures << " duplicates=" << duplicates << " seconds=" << seconds << "\n";
}

std::vector<Part> PostParts(int i) {
  return {Field("session", "s1"), Field("command", "postleaf"), Field("id", "u1"), Field("pw", "secret1"),
          Field("tag", "post" + std::to_string(i)), Jpeg("img", "a.jpg", "DATA-" + std::to_string(i))};
}

// Runs kProcesses posts at once and checks that every one was stored whole,
// under a name of its own, its record beside its data. Returns the names.
std::vector<std::string> PostAllAtOnce(const Site& site, const std::string& what) {
  std::vector<std::pair<Env, std::string>> requests;
  for (int i = 0; i < kProcesses; ++i) requests.push_back(MultipartRequest(PostParts(i)));
  const auto start = Clock::now();
  const std::vector<Result> results = site.RunAll(requests);
  const double seconds = SecondsSince(start);

  int accepted = 0;
  for (const Result& r : results) accepted += Content(r) == kFileAccepted ? 1 : 0;
  std::vector<std::string> names;
  std::set<int> seen_posts;
  int duplicates = 0;
  for (const std::string& file : Visible(site, "upload")) {
    if (file == "counter.txt" || file.size() < 4 || file.substr(file.size() - 4) != ".jpg") continue;
    const std::string name = file.substr(0, file.size() - 4);
    names.push_back(name);
    const std::string data = site.ReadFile("upload/" + file);
    const std::string record = site.ReadFile("upload/" + name + ".txt");
    // Data and record of one post, each whole.
    const int post = std::stoi(data.substr(5));
    EXPECT_EQ(data, "DATA-" + std::to_string(post));
    EXPECT_EQ(record, "<tslkeys>\r\nsession=s1\r\nid=u1\r\ntag=post" + std::to_string(post) +
                          "\r\nimg=a.jpg\r\n\r\n</tslkeys>\r\n");
    if (!seen_posts.insert(post).second) ++duplicates;
  }
  EXPECT_EQ(accepted, kProcesses);
  EXPECT_EQ(names.size(), static_cast<std::size_t>(kProcesses));
  EXPECT_EQ(duplicates, 0);
  Report(what, kProcesses, accepted, kProcesses - accepted, duplicates, seconds);
  return names;
}

TEST(Concurrency, CounterPostsAllGetTheirOwnNumber) {
  Site site;
  site.SetUpSession("s1", "FileNameTemplate=img####\r\n");
  site.WriteFile("members/u1.txt", "id=u1\r\npw=secret1\r\n");
  std::vector<std::string> names = PostAllAtOnce(site, "counter posts");
  std::sort(names.begin(), names.end());
  std::vector<std::string> expected;
  for (int i = 1; i <= kProcesses; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "img%04d", i);
    expected.push_back(name);
  }
  EXPECT_EQ(names, expected);
  EXPECT_EQ(site.ReadFile("upload/counter.txt"), std::to_string(kProcesses) + "\r\n");
}

TEST(Concurrency, TimeStampPostsNeverShareAName) {
  Site site;
  site.SetUpSession("s1");
  site.WriteFile("members/u1.txt", "id=u1\r\npw=secret1\r\n");
  // Two rounds, so posts meet names taken by the round before.
  PostAllAtOnce(site, "time-stamp posts, round 1");
  site.Remove("upload");
  site.MakeDir("upload");
  PostAllAtOnce(site, "time-stamp posts, round 2");
}

TEST(Concurrency, Num3dPostsNeverShareAName) {
  Site site;
  site.SetUpSession("s1", "nameorder=num3d\r\n");
  site.WriteFile("members/u1.txt", "id=u1\r\npw=secret1\r\n");
  std::vector<std::string> names = PostAllAtOnce(site, "num3d posts");
  std::sort(names.begin(), names.end());
  std::vector<std::string> expected;
  for (int i = 1; i <= kProcesses; ++i) {
    char name[8];
    std::snprintf(name, sizeof name, "%03d", i);
    expected.push_back(name);
  }
  EXPECT_EQ(names, expected);
}

// A flock held by the test, as another request would hold it.
class HeldLock {
 public:
  HeldLock(const std::string& path, int how) : fd_(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
    if (fd_ < 0 || ::flock(fd_, how) != 0) throw std::runtime_error("cannot lock " + path);
  }
  HeldLock(const HeldLock&) = delete;
  HeldLock& operator=(const HeldLock&) = delete;
  ~HeldLock() { Release(); }
  void Release() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// True once the request is seen blocked in one of `calls`, i.e. waiting;
// false when it finishes first (it did not wait) or never gets there.
bool SeenWaitingIn(const Running& run, std::initializer_list<long> calls) {
  const auto give_up = Clock::now() + std::chrono::seconds(20);
  while (Clock::now() < give_up && !run.Done()) {
    const long now = BlockedSyscall(run.Pid());
    if (std::find(calls.begin(), calls.end(), now) != calls.end()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

TEST(Concurrency, ChangePwWaitsForTheMembersLock) {
  ORVALENGATE_POSIX_ONLY("the test holds the lock with flock and watches the wait in /proc");
  ORVALENGATE_PROCESS_PER_REQUEST("the wait is watched in the process's /proc entry");
  Site site;
  site.SetUpSession("s1");
  site.WriteFile("members/u1.txt", "id=u1\r\npw=oldpass1\r\n");
  HeldLock lock(site.Path("members/.members.lock"), LOCK_EX);
  auto [env, body] = UrlEncodedRequest("session=s1&command=changepw&id=u1&pw0=oldpass1&pw1=newpass2&pw2=newpass2");
  Running run = site.Launch(env, body);
  EXPECT_TRUE(SeenWaitingIn(run, {SYS_flock})) << "the password change went on while the members were locked";
  EXPECT_EQ(site.ReadFile("members/u1.txt"), "id=u1\r\npw=oldpass1\r\n");
  lock.Release();
  const Result r = run.Wait();
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(Content(r), kRegistrationAccepted);
  EXPECT_EQ(site.ReadFile("members/u1.txt"), "id=u1\r\npw=newpass2\r\n");
}

// A change that passed its check while another held the lock is checked
// again under the lock: the other may have changed the password meanwhile.
// So is a login's upgrade of a password in the clear to its hash: it must
// not put back the password it checked.
TEST(Concurrency, ChangePwCheckedAgainAfterTheWait) {
  ORVALENGATE_POSIX_ONLY("the test holds the lock with flock and watches the wait in /proc");
  ORVALENGATE_PROCESS_PER_REQUEST("the wait is watched in the process's /proc entry");
  for (const auto& [extra, request] :
       {std::pair<std::string, std::string>{"", "command=changepw&id=u1&pw0=oldpass1&pw1=newpass2&pw2=newpass2"},
        {"PasswordHash=argon2id\r\n", "command=changeprof1&id=u1&pw=oldpass1"}}) {
    Site site;
    site.SetUpSession("s1", extra);
    site.WriteFile("members/u1.txt", "id=u1\r\npw=oldpass1\r\n");
    HeldLock lock(site.Path("members/.members.lock"), LOCK_EX);
    auto [env, body] = UrlEncodedRequest("session=s1&" + request);
    Running run = site.Launch(env, body);
    ASSERT_TRUE(SeenWaitingIn(run, {SYS_flock})) << request << ": went on while the members were locked";
    site.WriteFile("members/u1.txt", "id=u1\r\npw=otherpw3\r\n");
    lock.Release();
    const Result r = run.Wait();
    EXPECT_FALSE(r.timed_out);
    EXPECT_NE(Content(r), kRegistrationAccepted);
    EXPECT_EQ(site.ReadFile("members/u1.txt"), "id=u1\r\npw=otherpw3\r\n") << request;
  }
}

// A member's removal and a save of the same profile, both waiting at the
// members lock: whichever has it first, the record ends gone and its ID
// reserved; a save after the removal never brings the record back.
TEST(Concurrency, RemovalAndProfileSaveLetTheLockDecide) {
  ORVALENGATE_POSIX_ONLY("the test holds the lock with flock and watches the wait in /proc");
  ORVALENGATE_PROCESS_PER_REQUEST("the wait is watched in the process's /proc entry");
  const std::vector<std::string> requests = {"session=s1&command=removeself&id=u1&pw=oldpass1&confirm=yes",
                                  "session=s1&command=changeprof2&id=u1&pw=oldpass1&realname=New&mail=m"};
  for (const bool removal_first : {true, false}) {
    Site site;
    site.SetUpSession("s1", "SelfRemoval=1\r\n");
    site.WriteFile("members/u1.txt", "id=u1\r\npw=oldpass1\r\n");
    HeldLock lock(site.Path("members/.members.lock"), LOCK_EX);
    std::vector<Running> runs;
    for (const std::string& request : removal_first ? requests : std::vector{requests[1], requests[0]}) {
      auto [env, body] = UrlEncodedRequest(request);
      runs.push_back(site.Launch(env, body));
      ASSERT_TRUE(SeenWaitingIn(runs.back(), {SYS_flock})) << request << ": went on while the members were locked";
    }
    lock.Release();
    for (Running& run : runs) EXPECT_FALSE(run.Wait().timed_out);
    EXPECT_FALSE(site.Exists("members/u1.txt")) << (removal_first ? "removal" : "save") << " first";
    EXPECT_EQ(site.List("members").size(), 2u) << "the lock and the reservation alone";
  }
}

// Held shared, the lock still keeps a poster out: the counter is read and
// rewritten only under an exclusive lock.
TEST(Concurrency, CounterPostWaitsForAnyHolderOfTheCounterLock) {
  ORVALENGATE_POSIX_ONLY("the test holds the lock with flock and watches the wait in /proc");
  ORVALENGATE_PROCESS_PER_REQUEST("the wait is watched in the process's /proc entry");
  Site site;
  site.SetUpSession("s1", "FileNameTemplate=img####\r\n");
  site.WriteFile("members/u1.txt", "id=u1\r\npw=secret1\r\n");
  site.WriteFile("upload/counter.txt", "9\r\n");
  HeldLock lock(site.Path("upload/.counter.txt.lock"), LOCK_SH);
  const auto start = Clock::now();
  auto [env, body] = MultipartRequest(PostParts(1));
  Running run = site.Launch(env, body);
  EXPECT_TRUE(SeenWaitingIn(run, {SYS_nanosleep, SYS_clock_nanosleep, SYS_flock}))
      << "the post went on while the counter was locked";
  EXPECT_EQ(Visible(site, "upload"), std::vector<std::string>{"counter.txt"});
  EXPECT_EQ(site.ReadFile("upload/counter.txt"), "9\r\n");
  lock.Release();
  const Result r = run.Wait();
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(Content(r), kFileAccepted);
  EXPECT_EQ(site.ReadFile("upload/counter.txt"), "10\r\n");
  EXPECT_EQ(site.ReadFile("upload/img0010.jpg"), "DATA-1");
  Report("post behind a held counter", 1, Content(r) == kFileAccepted, 0, 0, SecondsSince(start));
}

// The first registration is stopped after its record's temporary file is
// synced: past its "already registered" check, before the record's name is
// created. The second completes meanwhile; the first, resumed, must find the
// name taken rather than replace the record.
TEST(Concurrency, RegistrationPausedBeforeItsCreateFindsTheIdTaken) {
  ORVALENGATE_POSIX_ONLY("strace pauses the program at its fsync");
  ORVALENGATE_PROCESS_PER_REQUEST("strace pauses the program at its fsync");
  Site site;
  site.SetUpSession("s1");
  auto registration = [](const std::string& pw, const std::string& name) {
    return UrlEncodedRequest("session=s1&command=registration&id=racer&pw=" + pw + "&pw2=" + pw + "&realname=" + name +
                             "&mail=m");
  };
  const std::string trace = site.Path("first.trace");
  RunLimits paused;
  paused.wrapper = Strace(trace, {"trace=fsync", "inject=fsync:signal=SIGSTOP:when=1"});
  paused.deadline_seconds = 20;
  auto [env, body] = registration("pass111", "First");
  Running first = site.Launch(env, body, paused);
  pid_t stopped = -1;
  for (const auto give_up = Clock::now() + std::chrono::seconds(20); stopped < 0 && Clock::now() < give_up;) {
    std::ifstream in(trace);
    for (std::string line; std::getline(in, line);) {
      if (line.find("--- stopped by SIGSTOP ---") != std::string::npos) stopped = std::stoi(line);
    }
    if (first.Done()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_GT(stopped, 0) << "the first registration never reached its pause";
  EXPECT_EQ(Visible(site, "members"), std::vector<std::string>{});
  const Result second = site.Run(registration("pass222", "Second").first, registration("pass222", "Second").second);
  EXPECT_EQ(Content(second), kRegistrationAccepted);
  ::kill(stopped, SIGCONT);
  const Result r = first.Wait();
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(Content(r), ErrorPageFor(msg::kIdAlreadyRegistered));
  EXPECT_EQ(site.ReadFile("members/racer.txt"), "id=racer\r\npw=pass222\r\nrealname=Second\r\ncountry=\r\nmail=m\r\n");
  EXPECT_EQ(Visible(site, "members"), std::vector<std::string>{"racer.txt"});
}

TEST(Concurrency, SameIdRegistrationsAcceptExactlyOne) {
  Site site;
  site.SetUpSession("s1");
  std::vector<std::pair<Env, std::string>> requests;
  for (int i = 0; i < kProcesses; ++i) {
    requests.push_back(UrlEncodedRequest("session=s1&command=registration&id=racer&pw=pass" + std::to_string(i) +
                                         "&pw2=pass" + std::to_string(i) + "&realname=R" + std::to_string(i) +
                                         "&mail=m" + std::to_string(i)));
  }
  const auto start = Clock::now();
  const std::vector<Result> results = site.RunAll(requests);
  const double seconds = SecondsSince(start);
  int accepted = 0, refused = 0, winner = -1;
  for (int i = 0; i < kProcesses; ++i) {
    const std::string page = Content(results[static_cast<std::size_t>(i)]);
    if (page == kRegistrationAccepted) {
      ++accepted;
      winner = i;
    } else if (page == ErrorPageFor(msg::kIdAlreadyRegistered)) {
      ++refused;
    }
  }
  EXPECT_EQ(accepted, 1);
  EXPECT_EQ(refused, kProcesses - 1);
  ASSERT_GE(winner, 0);
  const std::string n = std::to_string(winner);
  EXPECT_EQ(site.ReadFile("members/racer.txt"),
            "id=racer\r\npw=pass" + n + "\r\nrealname=R" + n + "\r\ncountry=\r\nmail=m" + n + "\r\n");
  EXPECT_EQ(Visible(site, "members"), std::vector<std::string>{"racer.txt"});
  Report("same-ID registrations", kProcesses, accepted, kProcesses - accepted - refused, accepted - 1, seconds);
}

// One password change and 19 profile saves per round, all at once. Every
// profile save of a round posts the same values, so whichever saves last,
// an acknowledged save must show; and an acknowledged password change must
// survive every profile save.
TEST(Concurrency, PasswordChangesAndProfileSavesLoseNothing) {
  Site site;
  site.SetUpSession("s1");
  constexpr int kRounds = 6;
  constexpr int kSaves = 19;
  std::string pw = "start0";
  std::string realname = "none";
  // A long line added by hand (as long as a record may grow) makes every
  // load and save take a while, so the processes overlap between the two.
  const std::string notes = "notes=" + std::string(60 << 10, 'n') + "\r\n";
  auto record = [&] {
    return "id=u1\r\npw=" + pw + "\r\nrealname=" + realname + "\r\n" + notes + "comment=c" + realname + "\r\n";
  };
  site.WriteFile("members/u1.txt", record());
  int acknowledged_saves = 0, refused_saves = 0, failures = 0;
  const auto start = Clock::now();
  for (int round = 1; round <= kRounds; ++round) {
    const std::string next_pw = "round" + std::to_string(round);
    const std::string values = "name" + std::to_string(round);
    std::vector<std::pair<Env, std::string>> requests;
    for (int i = 0; i < kSaves; ++i) {
      if (i == kSaves / 2) {
        requests.push_back(UrlEncodedRequest("session=s1&command=changepw&id=u1&pw0=" + pw + "&pw1=" + next_pw +
                                             "&pw2=" + next_pw));
      }
      requests.push_back(UrlEncodedRequest("session=s1&command=changeprof2&id=u1&pw=" + pw + "&realname=" + values +
                                           "&comment=c" + values));
    }
    const std::vector<Result> results = site.RunAll(requests);
    bool pw_changed = false;
    int saved = 0;
    for (const Result& r : results) {
      const std::string page = Content(r);
      if (page == kRegistrationAccepted) {
        pw_changed = true;
      } else if (page == ErrorPageFor(msg::kProfileNotChanged)) {
        ++refused_saves;  // it came after the password change
      } else if (page.rfind("<!DOCTYPE", 0) == 0) {
        ++saved;
      } else {
        ++failures;
        ADD_FAILURE() << "round " << round << ": " << r.out;
      }
    }
    acknowledged_saves += saved;
    EXPECT_TRUE(pw_changed) << "round " << round;
    if (pw_changed) pw = next_pw;
    if (saved > 0) realname = values;
    EXPECT_TRUE(site.ReadFile("members/u1.txt") == record()) << "round " << round << ", " << saved << " saves acknowledged";
  }
  Report("changepw + changeprof2 rounds", kRounds * (kSaves + 1), kRounds + acknowledged_saves, failures, 0,
         SecondsSince(start));
  std::cout << "[figures] profile saves acknowledged=" << acknowledged_saves << " refused after the change="
            << refused_saves << "\n";
}

// In a hashing session with the failed-login log on, one record in the clear
// meets wrong passwords, good ones (each may upgrade it) and profile saves,
// all at once: every good request is served (the password never changed),
// the record ends hashed with the saved profile, and the log holds exactly
// one whole line per failure.
TEST(Concurrency, FailedLoginsAndUpgradesOfOneRecordLoseNothing) {
  Site site;
  site.SetUpSession("s1", "PasswordHash=argon2id\r\n");
  site.WriteFile("config.txt", "sessiondb=" + site.Path("sessions") + "\r\nauthlog=" + site.Path("auth.log") + "\r\n");
  constexpr int kRounds = 2;
  const char* const kFailing[] = {"changepw&pw0=wrong&pw1=abcde&pw2=abcde", "changeprof1&pw=wrong",
                                  "changeprof2&pw=wrong&realname=X", "postleaf&pw=wrong"};
  std::vector<std::string> expected_lines;
  int served = 0, failures = 0;
  const auto start = Clock::now();
  for (int round = 1; round <= kRounds; ++round) {
    const std::string values = "name" + std::to_string(round);
    site.WriteFile("members/u1.txt", "id=u1\r\npw=secret1\r\nrealname=old\r\n");
    std::vector<std::pair<Env, std::string>> requests;
    std::vector<int> kinds;  // 0 failing, 1 form, 2 save
    for (int i = 0; i < kProcesses; ++i) {
      const int kind = i % 3;
      std::string body = "session=s1&command=";
      if (kind == 0) {
        body += std::string(kFailing[i % 4]) + "&id=u1";
      } else if (kind == 1) {
        body += "changeprof1&id=u1&pw=secret1";
      } else {
        body += "changeprof2&id=u1&pw=secret1&realname=" + values;
      }
      auto request = UrlEncodedRequest(body);
      const std::string addr = "198.51." + std::to_string(round) + "." + std::to_string(i);
      request.first["REMOTE_ADDR"] = addr;
      if (kind == 0) {
        const std::string command = kFailing[i % 4];
        expected_lines.push_back("from " + addr + " session=s1 command=" + command.substr(0, command.find('&')) +
                                 " id=u1");
      }
      requests.push_back(std::move(request));
      kinds.push_back(kind);
    }
    const std::vector<Result> results = site.RunAll(requests);
    for (std::size_t i = 0; i < results.size(); ++i) {
      const std::string page = Content(results[i]);
      const bool ok = kinds[i] == 0   ? page.find("ACCEPTED") == std::string::npos && results[i].exit_code == 0
                      : kinds[i] == 1 ? page.find("Value=\"secret1\">") != std::string::npos
                                      : page.find(values) != std::string::npos && page.rfind("<!DOCTYPE", 0) == 0;
      if (ok && kinds[i] != 0) ++served;
      if (!ok) {
        ++failures;
        ADD_FAILURE() << "round " << round << ", request " << i << ": " << results[i].out;
      }
    }
    const std::string record = site.ReadFile("members/u1.txt");
    EXPECT_TRUE(record.starts_with("id=u1\r\npw=$argon2id$v=19$m=19456,t=2,p=1$")) << record;
    EXPECT_TRUE(record.ends_with("\r\nrealname=" + values + "\r\n")) << record;
    EXPECT_EQ(std::count(record.begin(), record.end(), '\n'), 3) << record;
  }
  // Whole lines only, each failure once.
  std::vector<std::string> lines;
  const std::string log = site.ReadFile("auth.log");
  for (std::size_t from = 0; from < log.size();) {
    const std::size_t end = log.find('\n', from);
    ASSERT_NE(end, std::string::npos) << "a line without its end: " << log.substr(from);
    const std::string line = log.substr(from, end - from);
    EXPECT_TRUE(HasShape(line.substr(0, 45), "####-##-## ##:##:## orvalengate failed login ")) << line;
    lines.push_back(line.substr(std::min<std::size_t>(line.size(), 45)));
    from = end + 1;
  }
  std::sort(lines.begin(), lines.end());
  std::sort(expected_lines.begin(), expected_lines.end());
  EXPECT_EQ(lines, expected_lines);
  Report("failed logins + upgrades of one record", kRounds * kProcesses, served, failures, 0, SecondsSince(start));
}

// Starts one request in its own process and kills it after `delay_us`.
// Returns true when the process had already finished.
bool RunAndKill(const Site& site, const Env& env, const std::string& body, int delay_us) {
  std::vector<std::string> strings = {"GATEWAY_INTERFACE=CGI/1.1"};
  for (const auto& [k, v] : env) strings.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (std::string& s : strings) envp.push_back(s.data());
  envp.push_back(nullptr);
  int in_pipe[2];
  if (::pipe(in_pipe) != 0) return false;
  const std::string exe = site.Exe();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in_pipe[0], 0);
    ::close(in_pipe[0]);
    ::close(in_pipe[1]);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    if (::chdir(site.Dir().c_str()) != 0) ::_exit(126);
    char* argv[] = {const_cast<char*>(exe.c_str()), nullptr};
    ::execve(exe.c_str(), argv, envp.data());
    ::_exit(127);
  }
  ::close(in_pipe[0]);
  // The bodies are far below the pipe's capacity, so this never blocks.
  if (::write(in_pipe[1], body.data(), body.size()) < 0) ADD_FAILURE() << "write failed";
  ::close(in_pipe[1]);
  std::this_thread::sleep_for(std::chrono::microseconds(delay_us));
  ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status);
}

TEST(Concurrency, KilledSavesLeaveTheOldOrTheNewRecord) {
  ORVALENGATE_POSIX_ONLY("fork and exec the program, SIGKILL at random points");
  ORVALENGATE_PROCESS_PER_REQUEST("SIGKILL at random points");
  Site site;
  site.SetUpSession("s1", "nameorder=num3d\r\n");
  std::mt19937 rng(12345);
  std::uniform_int_distribution<int> delay(0, 20000);
  auto record_with = [](int version) {
    return "id=u1\r\npw=secret1\r\nrealname=v" + std::to_string(version) + "\r\ncomment=" +
           std::string(2000, static_cast<char>('a' + version % 26)) + "\r\n";
  };
  int version = 0;
  site.WriteFile("members/u1.txt", record_with(0));
  constexpr int kKills = 60;
  int finished = 0, old_kept = 0, new_seen = 0, torn = 0;
  const auto start = Clock::now();
  for (int i = 0; i < kKills; ++i) {
    const int next = version + 1;
    const std::string body = "session=s1&command=changeprof2&id=u1&pw=secret1&realname=v" + std::to_string(next) +
                             "&comment=" + std::string(2000, static_cast<char>('a' + next % 26));
    if (RunAndKill(site, PostEnv("application/x-www-form-urlencoded", body.size()), body, delay(rng))) ++finished;
    const std::string now = site.ReadFile("members/u1.txt");
    if (now == record_with(version)) {
      ++old_kept;
    } else if (now == record_with(next)) {
      ++new_seen;
      version = next;
    } else {
      ++torn;
      ADD_FAILURE() << "kill " << i << " left: " << now.substr(0, 80);
      site.WriteFile("members/u1.txt", record_with(version));
    }
  }
  // Killed posts: whatever name they reached holds whole files.
  int posts_stored = 0;
  for (int i = 0; i < kKills / 2; ++i) {
    site.WriteFile("members/u1.txt", record_with(version));
    const auto [env, body] = MultipartRequest(PostParts(i));
    RunAndKill(site, env, body, delay(rng));
  }
  for (const std::string& file : Visible(site, "upload")) {
    const std::string content = site.ReadFile("upload/" + file);
    if (file.size() > 4 && file.substr(file.size() - 4) == ".jpg") {
      ++posts_stored;
      EXPECT_EQ(content.rfind("DATA-", 0), 0u) << file;
    } else {
      EXPECT_EQ(content.rfind("<tslkeys>\r\n", 0), 0u) << file;
      EXPECT_EQ(content.size() > 12 ? content.substr(content.size() - 12) : "", "</tslkeys>\r\n") << file;
    }
  }
  EXPECT_EQ(torn, 0);
  Report("killed profile saves", kKills, new_seen, torn, 0, SecondsSince(start));
  std::cout << "[figures] kills: finished before the kill=" << finished << " old record kept=" << old_kept
            << " new record whole=" << new_seen << " torn=" << torn << "; killed posts with data stored="
            << posts_stored << "\n";
}

}  // namespace
}  // namespace blackbox
