// Every save of the program killed at each of its system calls in turn:
// strace traces one save to list its calls, then runs it again once per call
// with SIGKILL delivered on entering that call. After each kill the files
// must hold the old state or the new one, and the same request sent again
// must complete. The trace of each save also shows the order that makes a
// save durable: bytes written, the file synced, its name made visible, the
// directory synced. Writes its figures to <report dir>/crash.md.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "CommandsSupport.h"
#include "Harness.h"

namespace blackbox {
namespace {

using namespace commands;

// The calls a kill is tried at: whatever reads, creates, writes, syncs,
// names, removes or locks a file, and the exit; from the first call that
// opens or names a file of the site other than the program on (calls before
// it only load and start the program).
constexpr char kKillableCalls[] =
    "openat,read,write,close,fsync,fdatasync,link,linkat,rename,renameat,renameat2,unlink,unlinkat,flock,"
    "mkdir,mkdirat,ftruncate,exit_group";

// What a save left: "old", "new", or (for posts) a tolerated in-between
// state; anything starting with "BAD" is a lost or damaged file.
using StateCheck = std::function<std::string(const Site&)>;

struct Save {
  std::string name;
  std::function<void(const Site&)> set_up;  // the state before the save, on an empty site
  std::pair<Env, std::string> request;
  StateCheck state;
};

struct Tally {
  int points = 0;     // kill points tried
  int killed = 0;     // runs that reached their kill point
  std::map<std::string, int> states;
  int bad = 0;        // old or new neither, or the next request failed
  int recovered = 0;  // the request sent again completed
  std::string order;  // the durable-write order seen in the trace
  bool sampled = false;  // only the calls that change what a kill leaves
};

void EmptySite(const Site& site) {
  for (const char* rel : {"config.txt", "error.txt", "sessions", "members", "upload", "dump"}) site.Remove(rel);
}

// The first string argument of a traced call, and the second.
std::pair<std::string, std::string> PathArgs(const std::string& line) {
  std::vector<std::string> found;
  for (std::size_t pos = line.find('"'); pos != std::string::npos && found.size() < 2;
       pos = line.find('"', pos + 1)) {
    std::string s;
    std::size_t end = pos + 1;
    for (; end < line.size() && line[end] != '"'; ++end) {
      if (line[end] == '\\' && end + 1 < line.size()) ++end;
      s += line[end];
    }
    found.push_back(s);
    pos = end;
  }
  found.resize(2);
  return {found[0], found[1]};
}

long ReturnValue(const std::string& line) {
  const std::size_t eq = line.rfind("= ");
  return eq == std::string::npos ? -999 : std::strtol(line.c_str() + eq + 2, nullptr, 10);
}

bool CallOn(const TracedCall& c, const char* name, long fd) {
  return c.name == name && c.line.rfind(std::string(name) + "(" + std::to_string(fd) + ",", 0) == 0;
}
bool SingleCallOn(const TracedCall& c, const char* name, long fd) {
  return c.name == name && c.line.rfind(std::string(name) + "(" + std::to_string(fd) + ")", 0) == 0;
}

// Checks, for every file the trace made visible, that its temporary file was
// written, synced and closed before it got its name, and that its directory
// was synced afterwards. Returns the problems, empty when there are none;
// `shown` gets the order as seen.
std::string CheckDurableOrder(const std::vector<TracedCall>& calls, int& files, std::string& shown) {
  std::string problems;
  for (std::size_t i = 0; i < calls.size(); ++i) {
    const TracedCall& c = calls[i];
    if ((c.name != "rename" && c.name != "link") || ReturnValue(c.line) != 0) continue;
    const auto [temp, target] = PathArgs(c.line);
    if (temp.find("/.tmp-") == std::string::npos) continue;
    ++files;
    std::size_t opened = i;
    while (opened > 0) {
      --opened;
      if (calls[opened].name == "openat" && PathArgs(calls[opened].line).first == temp) break;
    }
    const long fd = ReturnValue(calls[opened].line);
    std::size_t last_write = 0, synced = 0, closed = 0;
    for (std::size_t k = opened + 1; k < i && closed == 0; ++k) {
      if (CallOn(calls[k], "write", fd)) last_write = k;
      if (SingleCallOn(calls[k], "fsync", fd) || SingleCallOn(calls[k], "fdatasync", fd)) synced = k;
      if (SingleCallOn(calls[k], "close", fd)) closed = k;
    }
    const std::string dir = target.substr(0, target.rfind('/') + 1);
    std::size_t dir_synced = 0;
    for (std::size_t k = i + 1; k < calls.size() && dir_synced == 0; ++k) {
      if (calls[k].name != "openat") continue;
      const std::string opened_dir = PathArgs(calls[k].line).first;
      if (opened_dir != dir && opened_dir + "/" != dir) continue;
      const long dir_fd = ReturnValue(calls[k].line);
      for (std::size_t m = k + 1; m < calls.size() && !SingleCallOn(calls[m], "close", dir_fd); ++m) {
        if (SingleCallOn(calls[m], "fsync", dir_fd)) dir_synced = m;
      }
    }
    const std::string what = target.substr(target.rfind('/') + 1);
    if (last_write == 0) problems += what + ": no bytes written to its temporary file\n";
    if (synced == 0 || synced < last_write) problems += what + ": temporary file not synced after its last write\n";
    if (closed == 0) problems += what + ": temporary file still open when named\n";
    if (dir_synced == 0) problems += what + ": directory not synced after the " + c.name + "\n";
    if (!shown.empty()) shown += "; ";
    shown += "write, fsync, close, " + c.name + (dir_synced ? ", fsync(dir)" : ", NO fsync(dir)");
  }
  return problems;
}

// Lists the kill points of one save, tries each, and counts what it left.
Tally KillEverywhere(const Site& site, const Save& save) {
  Tally t;
  const std::string trace = site.Path("save.trace");
  auto fresh = [&] {
    EmptySite(site);
    save.set_up(site);
  };
  fresh();
  RunLimits traced;
  traced.wrapper = Strace(trace, {std::string("trace=") + kKillableCalls});
  const Result whole = site.Run(save.request.first, save.request.second, traced);
  EXPECT_EQ(whole.exit_code, 0) << save.name << ": the traced save failed:\n" << whole.out;
  EXPECT_EQ(save.state(site), "new") << save.name;
  const std::vector<TracedCall> calls = ReadTrace(trace);
  int files = 0;
  const std::string problems = CheckDurableOrder(calls, files, t.order);
  EXPECT_EQ(problems, "") << save.name;
  EXPECT_GT(files, 0) << save.name << ": the trace shows no file made visible";
  if (!problems.empty()) t.order = "BAD: " + problems;

  // Every call from the first touch of the site on, as "name, n-th of that name".
  std::map<std::string, int> seen;
  std::vector<std::pair<std::string, int>> points;
  bool started = false;
  for (const TracedCall& c : calls) {
    const int nth = ++seen[c.name];
    started = started || (c.name != "read" && c.line.find("\"" + site.Dir() + "/") != std::string::npos &&
                          c.line.find(site.Exe()) == std::string::npos);
    if (started) points.emplace_back(c.name, nth);
  }
  EXPECT_GT(points.size(), 5u) << save.name;
#ifdef ORVALENGATE_SANITIZED
  // Under the sanitizers each run costs many times more, so only the calls
  // that move a file between its states are tried: every one that names,
  // removes, syncs or locks, and the first of each other kind (the reads,
  // opens, writes and closes between them leave files in the same states).
  // The release build tries every point.
  std::set<std::string> kinds;
  std::erase_if(points, [&](const std::pair<std::string, int>& point) {
    static const std::set<std::string> between = {"openat", "read", "write", "close"};
    return !kinds.insert(point.first).second && between.count(point.first) > 0;
  });
  t.sampled = true;
#endif

  for (const auto& [call, nth] : points) {
    fresh();
    ++t.points;
    RunLimits kill;
    kill.wrapper = Strace("/dev/null", {"trace=" + call, "inject=" + call + ":signal=SIGKILL:when=" + std::to_string(nth)});
    const Result r = site.Run(save.request.first, save.request.second, kill);
    const std::string where = save.name + ", killed entering " + call + " #" + std::to_string(nth);
    if (r.signal == SIGKILL) {
      ++t.killed;
    } else {
      ADD_FAILURE() << where << ": the kill point was never reached";
    }
    const std::string left = save.state(site);
    ++t.states[left];
    bool ok = left.rfind("BAD", 0) != 0;
    EXPECT_TRUE(ok) << where << ": " << left;
    // Nothing a dead process left (a lock, a temporary file, a half-done
    // post) may stop the same request from completing, and a half-done post
    // is undone by the next one.
    const Result again = site.Run(save.request.first, save.request.second);
    const std::string after = save.state(site);
    EXPECT_EQ(again.exit_code, 0) << where;
    EXPECT_EQ(after, "new") << where << ", then sent again";
    ok = ok && again.exit_code == 0 && after == "new";
    if (ok) ++t.recovered;
    if (!ok) ++t.bad;
  }
  return t;
}

// ---- the saves -----------------------------------------------------------

std::string OldOrNew(const Site& site, const std::string& rel, const std::string& old_bytes,
                     const std::string& new_bytes) {
  if (!site.Exists(rel)) return old_bytes.empty() ? "old" : "BAD: " + rel + " is gone";
  const std::string now = site.ReadFile(rel);
  if (now == new_bytes) return "new";
  if (now == old_bytes && !old_bytes.empty()) return "old";
  return "BAD: " + rel + " holds " + std::to_string(now.size()) + " bytes: " + now.substr(0, 60);
}

std::string OnlyVisible(const Site& site, const std::string& dir, const std::vector<std::string>& allowed) {
  for (const std::string& name : Visible(site, dir)) {
    if (std::find(allowed.begin(), allowed.end(), name) == allowed.end()) return "BAD: stray " + dir + "/" + name;
  }
  return "";
}

const std::string kMemberRecord = "id=u1\r\npw=oldpass1\r\nrealname=Before\r\ncomment=" + std::string(3000, 'c') + "\r\n";

Save Registration() {
  const std::string record = "id=crash\r\npw=pass123\r\nrealname=Carol\r\ncountry=\r\nmail=c@x\r\n";
  return {"registration (exclusive create)", [](const Site& site) { site.SetUpSession("s1"); },
          UrlEncodedRequest("session=s1&command=registration&id=crash&pw=pass123&pw2=pass123&realname=Carol&mail=c%40x"),
          [record](const Site& site) {
            const std::string stray = OnlyVisible(site, "members", {"crash.txt"});
            return stray.empty() ? OldOrNew(site, "members/crash.txt", "", record) : stray;
          }};
}

Save ChangePw() {
  std::string changed = kMemberRecord;
  changed.replace(changed.find("oldpass1"), 8, "newpass2");
  return {"changepw (locked load-change-save)",
          [](const Site& site) {
            site.SetUpSession("s1");
            site.WriteFile("members/u1.txt", kMemberRecord);
          },
          UrlEncodedRequest("session=s1&command=changepw&id=u1&pw0=oldpass1&pw1=newpass2&pw2=newpass2"),
          [changed](const Site& site) {
            const std::string stray = OnlyVisible(site, "members", {"u1.txt"});
            return stray.empty() ? OldOrNew(site, "members/u1.txt", kMemberRecord, changed) : stray;
          }};
}

Save ChangeProf2() {
  std::string changed = kMemberRecord;
  changed.replace(changed.find("Before"), 6, "After");
  changed.replace(changed.find("ccc"), 3000, std::string(3000, 'd'));
  return {"changeprof2 (locked load-change-save)",
          [](const Site& site) {
            site.SetUpSession("s1");
            site.WriteFile("members/u1.txt", kMemberRecord);
          },
          UrlEncodedRequest("session=s1&command=changeprof2&id=u1&pw=oldpass1&realname=After&comment=" +
                            std::string(3000, 'd')),
          [changed](const Site& site) {
            const std::string stray = OnlyVisible(site, "members", {"u1.txt"});
            return stray.empty() ? OldOrNew(site, "members/u1.txt", kMemberRecord, changed) : stray;
          }};
}

// A post under a counter template. A post is complete when its record and
// its data are both whole; the counter may lag behind the last complete
// post (the next post skips a taken name) but never goes back. A data file
// whose record never came is reported as its own state.
Save PostLeaf(const std::string& counter_before) {
  const std::string data = "\xff\xd8JPEG-" + std::string(5000, 'j');
  const std::string record = "<tslkeys>\r\nsession=s1\r\nid=u1\r\ntag=crash\r\nimg=a.jpg\r\n\r\n</tslkeys>\r\n";
  const int before = counter_before.empty() ? 0 : std::stoi(counter_before);
  return {"postleaf, counter " + (counter_before.empty() ? std::string("missing") : counter_before),
          [counter_before](const Site& site) {
            site.SetUpSession("s1", "FileNameTemplate=img####\r\n");
            site.WriteFile("members/u1.txt", "id=u1\r\npw=secret1\r\n");
            if (!counter_before.empty()) site.WriteFile("upload/counter.txt", counter_before + "\r\n");
          },
          MultipartRequest({Field("session", "s1"), Field("command", "postleaf"), Field("id", "u1"),
                            Field("pw", "secret1"), Field("tag", "crash"), Jpeg("img", "a.jpg", data)}),
          [=](const Site& site) -> std::string {
            int counter = before;
            if (site.Exists("upload/counter.txt")) {
              const std::string text = site.ReadFile("upload/counter.txt");
              if (text.empty() || text.size() < 3 || text.substr(text.size() - 2) != "\r\n" ||
                  text.find_first_not_of("0123456789") != text.size() - 2) {
                return "BAD: counter holds \"" + text + "\"";
              }
              counter = std::stoi(text);
            } else if (!counter_before.empty()) {
              return "BAD: the counter is gone";
            }
            if (counter < before) return "BAD: the counter went back to " + std::to_string(counter);
            std::set<std::string> bases;
            for (const std::string& f : Visible(site, "upload")) {
              if (f == "counter.txt") continue;
              if (!HasShape(f, "img####.jpg") && !HasShape(f, "img####.txt")) return "BAD: stray upload/" + f;
              bases.insert(f.substr(0, 7));
            }
            int last_complete = before, orphans = 0;
            for (const std::string& base : bases) {
              const bool has_data = site.Exists("upload/" + base + ".jpg");
              const bool has_record = site.Exists("upload/" + base + ".txt");
              if (has_data && site.ReadFile("upload/" + base + ".jpg") != data) return "BAD: torn " + base + ".jpg";
              if (has_record && site.ReadFile("upload/" + base + ".txt") != record) return "BAD: torn " + base + ".txt";
              if (has_record && !has_data) return "BAD: " + base + ".txt without its data";
              if (!has_record) {
                ++orphans;
                continue;
              }
              last_complete = std::max(last_complete, std::stoi(base.substr(3)));
            }
            std::string state;
            if (last_complete == before) {
              state = counter == before ? "old" : "BAD: the counter moved without a post";
            } else if (counter == last_complete) {
              state = "new";
            } else if (counter < last_complete) {
              state = "post stored, counter not yet rewritten";
            } else {
              state = "BAD: the counter passed the last post";
            }
            if (orphans > 0) state += " + data file without its record";
            return state;
          }};
}

Save Dump() {
  const std::string body = "session=s1&command=none&filler=" + std::string(20000, 'f');
  return {"request dump (dumppath)", [](const Site& site) { site.SetUpSession("s1", "", true); },
          UrlEncodedRequest(body), [body](const Site& site) -> std::string {
            int dumps = 0;
            for (const std::string& day : Visible(site, "dump")) {
              for (const std::string& f : Visible(site, "dump/" + day)) {
                if (site.ReadFile("dump/" + day + "/" + f) != body) return "BAD: torn dump " + f;
                ++dumps;
              }
            }
            return dumps == 0 ? "old" : "new";
          }};
}

Save ErrorLog() {
  const std::string old_entry = "20000101-00:00:00\r\nsessiondb error\r\n";
  return {"error log", [old_entry](const Site& site) { site.WriteFile("error.txt", old_entry); },
          {{{"REQUEST_METHOD", "GET"}, {"SERVER_PROTOCOL", "HTTP/1.1"}}, ""},
          [old_entry](const Site& site) -> std::string {
            if (!site.Exists("error.txt")) return "BAD: the log is gone";
            const std::string log = site.ReadFile("error.txt");
            if (log == old_entry) return "old";
            if (HasShape(log, "########-##:##:##\r\nsessiondb error\r\n")) return "new";
            return "BAD: the log holds " + log;
          }};
}

std::string ReportDir() {
  const char* env = std::getenv("ORVALENGATE_REPORT_DIR");
  return env && *env ? std::string(env) : std::string(ORVALENGATE_BUILD_DIR) + "/reliability";
}

void WriteReport(const std::vector<std::pair<std::string, Tally>>& tallies) {
  std::ostringstream md;
  const bool sampled = !tallies.empty() && tallies.front().second.sampled;
  md << "## Crash safety: kills at every system call of each save\n\n"
     << "Each save was traced once, then run again once per traced call"
     << (sampled ? " (in this sanitizer build, only those that name, remove, sync or lock, and the first of "
                   "each other kind)"
                 : "")
     << " with SIGKILL on entering that call; "
        "after each kill the files were checked and the same request sent again, which must leave the new state "
        "with nothing half-done.\n\n"
     << "| save | kill points | killed there | states left | damaged or not recovered | request again completed |\n"
     << "|---|---|---|---|---|---|\n";
  for (const auto& [name, t] : tallies) {
    std::string states;
    for (const auto& [state, n] : t.states) states += (states.empty() ? "" : "; ") + state + ": " + std::to_string(n);
    md << "| " << name << " | " << t.points << " | " << t.killed << " | " << states << " | " << t.bad << " | "
       << t.recovered << "/" << t.points << " |\n";
  }
  md << "\n| save | order of the durable write (from the trace) |\n|---|---|\n";
  for (const auto& [name, t] : tallies) md << "| " << name << " | " << t.order << " |\n";
  const std::string dir = ReportDir();
  std::filesystem::create_directories(dir);
  std::ofstream(dir + "/crash.md", std::ios::trunc) << md.str();
  std::cout << md.str();
}

TEST(Crash, EveryKillPointLeavesTheOldOrTheNewState) {
  ORVALENGATE_POSIX_ONLY("strace kills the program at each of its system calls");
  ORVALENGATE_PROCESS_PER_REQUEST("strace kills the program at each of its system calls");
  Site site;
  const std::vector<Save> saves = {Registration(), ChangePw(), ChangeProf2(), PostLeaf("9"),
                                   PostLeaf(""),   Dump(),     ErrorLog()};
  std::vector<std::pair<std::string, Tally>> tallies;
  for (const Save& save : saves) tallies.emplace_back(save.name, KillEverywhere(site, save));
  WriteReport(tallies);
}

}  // namespace
}  // namespace blackbox
