// Helpers shared by tests: a temporary folder that cleans up after itself,
// small file utilities, and (on POSIX) running the real programs. Paths are
// joined with the platform's own separator. On Windows, error boxes can be
// turned into lines on the standard error stream.
#pragma once

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// Segment keywords of old that the headers still define as macros.
#undef near
#undef far
#else
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace testing_support {

struct TempDir {
  TempDir() {
    namespace fs = std::filesystem;
    std::random_device seed;
    std::mt19937_64 pick(seed());
    const fs::path base = fs::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
      fs::path p = base / ("vantrel-test-" + std::to_string(pick() % 1000000000u));
      std::error_code ec;
      if (fs::create_directory(p, ec)) {
        path = p.make_preferred().string();
        return;
      }
    }
    throw std::runtime_error("cannot make a temporary folder in " + base.string());
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  std::string file(const std::string& name) const {
    return (std::filesystem::path(path) / name).make_preferred().string();
  }
  std::string path;
};

inline void write_bytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Makes a folder and its parents; the tests' stand-in for "mkdir -p".
inline void make_dirs(const std::string& path) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
}

#ifdef _WIN32
// Error boxes on Windows: the plug-in's reports go to MessageBoxA, which a
// test cannot read. The tests point a module's import of it at box_to_stderr,
// which records the box's owner and style and writes "caption: text" to the
// standard error stream, as the reports read on other platforms.
struct BoxSeen {
  int count = 0;
  HWND owner = nullptr;
  UINT style = 0;
};
inline BoxSeen& boxes_seen() {
  static BoxSeen seen;
  return seen;
}

inline int WINAPI box_to_stderr(HWND owner, LPCSTR text, LPCSTR caption, UINT style) {
  BoxSeen& seen = boxes_seen();
  ++seen.count;
  seen.owner = owner;
  seen.style = style;
  fprintf(stderr, "%s: %s\n", caption, text);
  return IDOK;
}

// The module whose image holds the address.
inline HMODULE module_at(const void* address) {
  HMODULE module = nullptr;
  GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      static_cast<const char*>(address), &module);
  return module;
}

// Rewrites the module's import slot for USER32!MessageBoxA; false when the
// module does not import it.
inline bool capture_error_boxes(HMODULE module) {
  auto* base = reinterpret_cast<BYTE*>(module);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
      base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (!dir.VirtualAddress) return false;
  for (auto* imp = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); imp->Name;
       ++imp) {
    if (_stricmp(reinterpret_cast<const char*>(base + imp->Name), "USER32.dll") != 0) continue;
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imp->OriginalFirstThunk);
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imp->FirstThunk);
    for (; names->u1.AddressOfData; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const auto* by_name = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      if (strcmp(reinterpret_cast<const char*>(by_name->Name), "MessageBoxA") != 0) continue;
      DWORD was;
      VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &was);
      slots->u1.Function = reinterpret_cast<ULONG_PTR>(&box_to_stderr);
      VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, was, &was);
      return true;
    }
  }
  return false;
}
#else
struct RunResult {
  int status;       // the exit status; 128 + the signal that ended it; -1 when it hung
  std::string err;  // what it wrote to the standard error stream
  std::string out;  // and to the standard output stream
};

struct RunOptions {
  std::string interrupt_after;   // send SIGINT once this text has appeared on stderr
  bool interrupt_group = false;  // to the program's whole process group, as a terminal's Ctrl-C
  int timeout_seconds = 120;     // then the program is killed: a hang is a failure
  std::string cwd;               // run in this folder
  long file_size_limit = -1;     // bytes a file may grow to (RLIMIT_FSIZE): writes fail beyond
  std::string path;              // the PATH it runs with; empty: the test's own
};

inline RunOptions interrupt_after(const std::string& text, int timeout_seconds = 120) {
  RunOptions o;
  o.interrupt_after = text;
  o.timeout_seconds = timeout_seconds;
  return o;
}

// Runs a program with arguments; its standard output is kept in a temporary
// file (read once it has ended), its standard error read as it comes.
inline RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                             const RunOptions& o = RunOptions()) {
  int pipefd[2];
  if (pipe(pipefd) != 0) return {-1, "pipe failed", ""};
  FILE* out = tmpfile();
  if (!out) return {-1, "tmpfile failed", ""};
  const pid_t pid = fork();
  if (pid == 0) {
    if (o.interrupt_group) setpgid(0, 0);
    dup2(pipefd[1], STDERR_FILENO);
    dup2(fileno(out), STDOUT_FILENO);
    close(pipefd[0]);
    if (!o.cwd.empty() && chdir(o.cwd.c_str()) != 0) _exit(126);
    if (!o.path.empty()) setenv("PATH", o.path.c_str(), 1);
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
      kill(o.interrupt_group ? -pid : pid, SIGINT);
      sent = true;
    }
  }
  close(pipefd[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  std::string printed;
  rewind(out);
  for (size_t n; (n = fread(buf, 1, sizeof buf, out)) > 0;) printed.append(buf, n);
  fclose(out);
  if (hung)
    return {-1, err + "(killed after " + std::to_string(o.timeout_seconds) + " s)", printed};
  return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), err, printed};
}
#endif

}  // namespace testing_support
