// Helpers shared by tests: a temporary folder that cleans up after itself,
// small file utilities, and running the real programs.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace testing_support {

struct TempDir {
  TempDir() {
    char tmpl[] = "/tmp/vantrel-test-XXXXXX";
    const char* made = mkdtemp(tmpl);
    path = made ? made : "/tmp";
  }
  ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
  std::string file(const std::string& name) const { return path + "/" + name; }
  std::string path;
};

inline void write_bytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct RunResult {
  int status;       // the exit status; 128 + the signal that ended it; -1 when it hung
  std::string err;  // what it wrote to the standard error stream
};

struct RunOptions {
  std::string interrupt_after;  // send SIGINT once this text has appeared on stderr
  int timeout_seconds = 120;    // then the program is killed: a hang is a failure
  std::string cwd;              // run in this folder
  long file_size_limit = -1;    // bytes a file may grow to (RLIMIT_FSIZE): writes fail beyond
};

inline RunOptions interrupt_after(const std::string& text, int timeout_seconds = 120) {
  RunOptions o;
  o.interrupt_after = text;
  o.timeout_seconds = timeout_seconds;
  return o;
}

// Runs a program with arguments, standard output thrown away.
inline RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                             const RunOptions& o = RunOptions()) {
  int pipefd[2];
  if (pipe(pipefd) != 0) return {-1, "pipe failed"};
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(pipefd[1], STDERR_FILENO);
    const int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, STDOUT_FILENO);
    close(pipefd[0]);
    if (!o.cwd.empty() && chdir(o.cwd.c_str()) != 0) _exit(126);
    if (o.file_size_limit >= 0) {
      // Writes past the limit then fail with EFBIG instead of ending the program.
      signal(SIGXFSZ, SIG_IGN);
      const rlimit limit = {static_cast<rlim_t>(o.file_size_limit),
                            static_cast<rlim_t>(o.file_size_limit)};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    std::vector<char*> argv;
    std::string prog = program;
    argv.push_back(prog.data());
    std::vector<std::string> copy = args;
    for (std::string& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(prog.c_str(), argv.data());
    _exit(127);
  }
  close(pipefd[1]);
  std::string err;
  char buf[4096];
  bool sent = false, hung = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(o.timeout_seconds);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p = {pipefd[0], POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) == 0) {
      hung = true;
      kill(pid, SIGKILL);
      break;
    }
    const ssize_t n = read(pipefd[0], buf, sizeof buf);
    if (n <= 0) break;
    err.append(buf, static_cast<size_t>(n));
    if (!sent && !o.interrupt_after.empty() && err.find(o.interrupt_after) != std::string::npos) {
      kill(pid, SIGINT);
      sent = true;
    }
  }
  close(pipefd[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (hung) return {-1, err + "(killed after " + std::to_string(o.timeout_seconds) + " s)"};
  return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), err};
}

}  // namespace testing_support
