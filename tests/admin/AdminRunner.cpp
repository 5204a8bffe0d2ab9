// Runs the table of the operator's tool (cases.txt beside this file): every
// row in a fresh site folder holding the built orvalengate and
// orvalengate-admin, checked by exit code, output and the files left, and
// by logging in through the built program.
//
// usage: admin_table <cases file> [row name substring]
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "Harness.h"
#include "credentials/Passwords.h"

namespace fs = std::filesystem;

namespace {

struct Token {
  std::string text;
  bool quoted = false;
};

// Words and "C strings" (\r \n \t \\ \" \xHH); ${SITE} expands in both.
std::vector<Token> Tokens(const std::string& line, const std::string& site) {
  std::vector<Token> tokens;
  for (std::size_t i = 0; i < line.size();) {
    if (line[i] == ' ' || line[i] == '\t') {
      ++i;
      continue;
    }
    Token token;
    if (line[i] == '"') {
      token.quoted = true;
      for (++i; i < line.size() && line[i] != '"'; ++i) {
        if (line[i] != '\\' || i + 1 >= line.size()) {
          token.text += line[i];
          continue;
        }
        const char c = line[++i];
        if (c == 'r') token.text += '\r';
        else if (c == 'n') token.text += '\n';
        else if (c == 't') token.text += '\t';
        else if (c == 'x') {
          token.text += static_cast<char>(std::stoi(line.substr(i + 1, 2), nullptr, 16));
          i += 2;
        } else token.text += c;
      }
      if (i >= line.size()) throw std::runtime_error("unterminated string: " + line);
      ++i;
    } else {
      while (i < line.size() && line[i] != ' ' && line[i] != '\t') token.text += line[i++];
    }
    for (std::size_t at = 0; !site.empty() && (at = token.text.find("${SITE}", at)) != std::string::npos;
         at += site.size()) {
      token.text.replace(at, 7, site);
    }
    tokens.push_back(token);
  }
  return tokens;
}

// Tokens from `from` on joined by "+", names of `let` lines standing for their value.
std::string Value(const std::vector<Token>& tokens, std::size_t from, const std::map<std::string, std::string>& lets) {
  std::string value;
  for (std::size_t i = from; i < tokens.size(); ++i) {
    if (!tokens[i].quoted && tokens[i].text == "+") continue;
    if (tokens[i].quoted) {
      value += tokens[i].text;
    } else if (auto let = lets.find(tokens[i].text); let != lets.end()) {
      value += let->second;
    } else {
      throw std::runtime_error("unknown name " + tokens[i].text);
    }
  }
  return value;
}

struct ToolResult {
  int exit_code = -1;
  std::string out, err;
};

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs the site's copy of the tool from `cwd`, standard input from a file.
// `unprivileged`: as nobody when the runner is root, whose rights would
// hide every unwritable folder.
ToolResult RunTool(const std::string& exe, const std::vector<std::string>& args, const std::string& input,
                   const std::string& cwd, const std::string& scratch, bool unprivileged,
                   std::vector<std::string> env) {
  const std::string in_path = scratch + "/stdin", out_path = scratch + "/stdout", err_path = scratch + "/stderr";
  std::ofstream(in_path, std::ios::binary) << input;
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    const int in = ::open(in_path.c_str(), O_RDONLY);
    const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    constexpr int kNobody = 65534;
    if (unprivileged && ::getuid() == 0 && (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) ::_exit(127);
    if (in < 0 || out < 0 || err < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0 ||
        ::chdir(cwd.c_str()) != 0) {
      ::_exit(127);
    }
    std::vector<char*> argv{const_cast<char*>(exe.c_str())};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    env.push_back("TZ=UTC");
    std::vector<char*> envp;
    for (std::string& var : env) envp.push_back(var.data());
    envp.push_back(nullptr);
    ::execve(exe.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
  }
  ToolResult result;
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.out = ReadAll(out_path);
  result.err = ReadAll(err_path);
  return result;
}

std::string UrlEncode(const std::string& text) {
  std::string out;
  for (const unsigned char c : text) {
    char buf[4];
    std::snprintf(buf, sizeof buf, "%%%02X", c);
    out += std::isalnum(c) ? std::string(1, static_cast<char>(c)) : std::string(buf);
  }
  return out;
}

// True when the profile form opens for that ID and password: the form is
// only shown to the right password.
bool LogsIn(const blackbox::Site& site, const std::string& id, const std::string& pw) {
  const auto answer = site.PostUrlEncoded("session=s1&command=changeprof1&id=" + UrlEncode(id) + "&pw=" + UrlEncode(pw));
  return answer.out.find("name=\"realname\"") != std::string::npos;
}

std::string Show(const std::string& bytes) {
  std::string out;
  for (const unsigned char c : bytes) {
    if (c == '\n') out += "\\n\n    ";
    else if (c == '\r') out += "\\r";
    else if (c < 0x20 || c >= 0x7f) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    } else out += static_cast<char>(c);
  }
  return out;
}

struct Case {
  std::string name;
  std::vector<std::string> lines;
};

// Runs one row; returns its failures (empty: passed), or "skip: ..." alone.
std::vector<std::string> RunCase(const Case& row, const std::map<std::string, std::string>& lets) {
  blackbox::Site site;
  site.SetUpSession("s1");
  const std::string tool = site.Path("orvalengate-admin");
  fs::copy_file(ORVALENGATE_ADMIN_EXE, tool);
  const std::string scratch = site.Path("../" + fs::path(site.Dir()).filename().string() + "-io");
  fs::create_directories(scratch);
  struct Cleanup {
    std::string dir;
    ~Cleanup() {
      std::error_code ec;
      fs::remove_all(dir, ec);
    }
  } cleanup{scratch};

  std::vector<std::string> failures;
  std::string input;
  bool unprivileged = false;
  std::vector<std::string> env;
  ToolResult result;
  bool ran = false;
  for (const std::string& line : row.lines) {
    const std::vector<Token> t = Tokens(line, site.Dir());
    const std::string& verb = t.at(0).text;
    auto arg = [&](std::size_t i) {
      std::string value = Value(t, i, lets);
      for (std::size_t at = 0; (at = value.find("${SITE}", at)) != std::string::npos; at += site.Dir().size()) {
        value.replace(at, 7, site.Dir());
      }
      return value;
    };
    auto path = [&] { return t.at(1).text; };
    if (verb == "needs-hashing") {
      if (credentials::PasswordStorageFrom("argon2id") == credentials::PasswordStorage::kClear) {
        return {"skip: this build stores every password in the clear"};
      }
    } else if (verb == "write") {
      site.WriteFile(path(), arg(2));
    } else if (verb == "append-repeat") {
      std::string bytes = site.ReadFile(path());
      for (long n = std::stol(t.at(2).text); n > 0; --n) bytes += arg(3);
      site.WriteFile(path(), bytes);
    } else if (verb == "mkdir") {
      site.MakeDir(path());
    } else if (verb == "remove") {
      site.Remove(path());
    } else if (verb == "chmod") {
      fs::permissions(site.Path(path()), static_cast<fs::perms>(std::stoi(t.at(2).text, nullptr, 8)));
    } else if (verb == "mtime") {
      const struct timespec times[2] = {{std::stol(t.at(2).text), 0}, {std::stol(t.at(2).text), 0}};
      ::utimensat(AT_FDCWD, site.Path(path()).c_str(), times, 0);
    } else if (verb == "env") {
      env.push_back(arg(1));
    } else if (verb == "chown-nobody") {
      if (::getuid() != 0) return {"skip: only root gives files away"};
      if (::chown(site.Path(path()).c_str(), 65534, 65534) != 0) throw std::runtime_error("chown failed: " + line);
    } else if (verb == "unprivileged") {
      unprivileged = true;
    } else if (verb == "stdin") {
      input = arg(1);
    } else if (verb == "stdin-repeat") {
      input.clear();
      for (long n = std::stol(t.at(1).text); n > 0; --n) input += arg(2);
    } else if (verb == "run" || verb == "run-elsewhere") {
      std::vector<std::string> args;
      for (std::size_t i = 1; i < t.size(); ++i) args.push_back(t[i].text);
      result = RunTool(tool, args, input, verb == "run" ? site.Dir() : scratch, scratch,
                       unprivileged, env);
      ran = true;
    } else if (!ran) {
      throw std::runtime_error("check before run: " + line);
    } else if (verb == "exit") {
      if (result.exit_code != std::stoi(t.at(1).text)) {
        failures.push_back("exit " + std::to_string(result.exit_code) + ", not " + t.at(1).text + "; stderr: " +
                           result.err);
      }
    } else if (verb == "out" || verb == "err") {
      const std::string& got = verb == "out" ? result.out : result.err;
      if (got != arg(1)) failures.push_back(verb + " is\n    " + Show(got) + "\n  not\n    " + Show(arg(1)));
    } else if (verb == "out-has" || verb == "err-has") {
      const std::string& got = verb == "out-has" ? result.out : result.err;
      if (got.find(arg(1)) == std::string::npos) failures.push_back(verb + " " + Show(arg(1)) + ": " + Show(got));
    } else if (verb == "file") {
      const std::string got = site.Exists(path()) ? site.ReadFile(path()) : "<missing>";
      if (got != arg(2)) failures.push_back(path() + " is\n    " + Show(got) + "\n  not\n    " + Show(arg(2)));
    } else if (verb == "file-has" || verb == "file-lacks") {
      const bool has = site.ReadFile(path()).find(arg(2)) != std::string::npos;
      if (has != (verb == "file-has")) failures.push_back(verb + " " + path() + " " + Show(arg(2)));
    } else if (verb == "gone") {
      if (site.Exists(path())) failures.push_back(path() + " is still there");
    } else if (verb == "login" || verb == "no-login") {
      if (LogsIn(site, t.at(1).text, t.at(2).text) != (verb == "login")) {
        failures.push_back(line);
      }
    } else {
      throw std::runtime_error("unknown line: " + line);
    }
  }
  if (!ran) throw std::runtime_error("row without run");
  return failures;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: admin_table <cases file> [row name substring]\n";
    return 2;
  }
  std::ifstream in(argv[1]);
  if (!in) {
    std::cerr << "cannot read " << argv[1] << "\n";
    return 2;
  }
  // Sites as the security notes ask for them: folders 0700, records 0600.
  ::umask(077);
  std::vector<Case> cases;
  std::map<std::string, std::string> lets;
  for (std::string line; std::getline(in, line);) {
    const std::size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') continue;
    // A line that starts with "+" goes on with the value of the line before.
    if (line[start] == '+' && !cases.empty() && !cases.back().lines.empty()) {
      cases.back().lines.back() += " " + line.substr(start);
      continue;
    }
    const std::vector<Token> t = Tokens(line, "");  // ${SITE} expands per row
    if (t[0].text == "let") {
      lets[t.at(1).text] = Value(t, t.size() > 2 && !t[2].quoted && t[2].text == "=" ? 3 : 2, lets);
    } else if (t[0].text == "case") {
      cases.push_back({t.at(1).text, {}});
    } else if (!cases.empty()) {
      cases.back().lines.push_back(line.substr(start));
    }
  }
  int failed = 0, skipped = 0, run = 0;
  for (const Case& row : cases) {
    if (argc > 2 && row.name.find(argv[2]) == std::string::npos) continue;
    ++run;
    std::vector<std::string> failures;
    try {
      failures = RunCase(row, lets);
    } catch (const std::exception& e) {
      failures = {std::string("broken row: ") + e.what()};
    }
    if (failures.size() == 1 && failures[0].starts_with("skip: ")) {
      ++skipped;
      std::cout << "SKIP " << row.name << " (" << failures[0].substr(6) << ")\n";
      continue;
    }
    if (failures.empty()) {
      std::cout << "ok   " << row.name << "\n";
      continue;
    }
    ++failed;
    std::cout << "FAIL " << row.name << "\n";
    for (const std::string& f : failures) std::cout << "  " << f << "\n";
  }
  std::cout << run << " rows, " << failed << " failed, " << skipped << " skipped\n";
  return failed == 0 && run > 0 ? 0 : 1;
}
