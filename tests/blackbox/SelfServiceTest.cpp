// Mails to members, as a web server meets them: a request for a reset mail
// answers without waiting for the mail program, a stuck one is stopped at
// its limit with what it started, and a resident process serves others
// meanwhile.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "CommandsSupport.h"
#include "Harness.h"

namespace blackbox {
namespace {

using Clock = std::chrono::steady_clock;

const std::string kAsked = "If the ID is registered with a mail address, a mail with a link";

// A site whose members may ask for mails, with `sendmail` as its mail program.
void SetUpMailSite(const Site& site, const std::string& sendmail) {
  site.SetUpSession("s1", "PasswordReset=1\r\n");
  std::ofstream(site.Path("config.txt"), std::ios::app)
      << "siteurl=https://example.org/og\r\nmailfrom=site@example.org\r\nsendmail=" << site.Path("sendmail") << "\r\n";
  site.WriteFile("sendmail", sendmail);
  ::chmod(site.Path("sendmail").c_str(), 0755);
  site.WriteFile("members/u1.txt", "id=u1\r\npw=secret1\r\nrealname=U\r\nmail=u1@example.org\r\n");
}

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Gone, or a zombie nobody reaped yet.
bool Ended(const std::string& pid) {
  std::ifstream stat("/proc/" + pid + "/stat");
  std::string skip, state;
  return !(stat >> skip >> skip >> state) || state == "Z";
}

// A mail program that never ends, and a process it started: the member's
// answer does not wait for it, and at its limit both are killed and the
// error log says so.
TEST(Mails, StuckMailProgramIsStoppedWithWhatItStarted) {
  // The Windows build sends from the request itself and leaves a program
  // still running at the answer's floor to finish alone.
  ORVALENGATE_POSIX_ONLY("a detached worker that stops the mail program with what it started");
  Site site;
  SetUpMailSite(site, "#!/bin/sh\necho $$ > \"$0.pid\"\nsleep 120 &\necho $! > \"$0.child\"\ncat > \"$0.mail\"\nsleep 120\n");
  const Clock::time_point start = Clock::now();
  const Result known = site.PostUrlEncoded("session=s1&command=forgotpw&id=u1");
  EXPECT_LT(SecondsSince(start), 5) << "the answer waited for the mail program";
  EXPECT_NE(known.out.find(kAsked), std::string::npos) << known.out;
  EXPECT_EQ(known.out, site.PostUrlEncoded("session=s1&command=forgotpw&id=nobody").out);
  std::string log;
  while (SecondsSince(start) < 40 && log.find("did not finish") == std::string::npos) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (site.Exists("error.txt")) log = site.ReadFile("error.txt");
  }
  EXPECT_NE(log.find("password reset: the mail program " + site.Path("sendmail") + " did not finish within 10 s"),
            std::string::npos)
      << log;
  EXPECT_NE(site.ReadFile("sendmail.mail").find("To: u1@example.org\n"), std::string::npos);
  for (const char* pid : {"sendmail.pid", "sendmail.child"}) {
    std::string number = site.ReadFile(pid);
    number.erase(number.find_last_not_of("\n") + 1);
    EXPECT_TRUE(Ended(number)) << pid << " " << number << " still runs";
  }
}

// One resident set of processes, many requests for mails in flight (each
// mail program slow): a profile view is served at once, and the residents
// keep no descriptor of the mails and SIGPIPE ignored.
TEST(Mails, ResidentServesOthersWhileMailsGoOut) {
  if (!ThroughFastCgi()) GTEST_SKIP() << "a CGI process serves one request";
  Site site;
  SetUpMailSite(site, "#!/bin/sh\ncat > /dev/null\nsleep 1\n");
  for (int i = 2; i <= 40; ++i) {
    site.WriteFile("members/u" + std::to_string(i) + ".txt",
                   "id=u" + std::to_string(i) + "\r\npw=secret1\r\nmail=u" + std::to_string(i) + "@example.org\r\n");
  }
  site.Get("showuser=u1&session=s1");
  const Site::Residents before = site.ResidentState();
  std::vector<Running> resets;
  for (int i = 1; i <= 60; ++i) {
    const std::string body = "session=s1&command=forgotpw&id=u" + std::to_string(i);
    resets.push_back(site.Launch(PostEnv("application/x-www-form-urlencoded", body.size()), body));
  }
  // Queued behind them: with a 0.3 s floor held by each, 60 requests keep
  // the 4 residents busy 4.5 s.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const Clock::time_point start = Clock::now();
  const Result view = site.Get("showuser=u1&session=s1");
  const double seconds = SecondsSince(start);
  std::printf("profile view with 60 requests for mails in flight: %.0f ms\n", seconds * 1000);
  EXPECT_NE(view.out.find("U"), std::string::npos);
  EXPECT_LT(seconds, 2.0) << "a profile view waited behind requests for mails";
  for (Running& r : resets) EXPECT_NE(r.Wait().out.find(kAsked), std::string::npos);
  // The confirmation of a new password is mailed by the resident itself:
  // after it, a client gone away must still only fail a write.
  site.WriteFile("members/u99.txt", "id=u99\r\npw=secret1\r\nmail=u99@example.org\r\n");
  site.WriteFile("members/.reset-a2ca3270b8497a88bb4dc6659f077cfc",
                 "id=u99\r\ntoken=deb87fabd17715bb31ad4cf4ffb9494eeb15f8d33d85b031a301c64ab3417eaa\r\n"
                 "expires=99999999999\r\nsent=\r\n");
  const Result reset = site.PostUrlEncoded(
      "session=s1&command=resetpw&id=u99&pw1=fresh1&pw2=fresh1&token=0123456789abcdef0123456789abcdef01234567");
  EXPECT_NE(reset.out.find("Your password was changed."), std::string::npos) << reset.out;
  const Site::Residents after = site.ResidentState();
  EXPECT_EQ(after.descriptors, before.descriptors);
  EXPECT_TRUE(after.ignore_sigpipe);
}

}  // namespace
}  // namespace blackbox
