// Worker processes for a sequence. A worker reads frame numbers, one a line,
// from its pipe in, and answers on its pipe out with one-line messages:
//   P done total   progress of the frame it holds
//   L text         news to show (not when quiet)
//   T text         a line always shown
//   D              the frame is written
//   C              the frame was cancelled; nothing written for it
//   F              a filter failed the frame; nothing written for it
//   E text         the run cannot go on (e.g. a file cannot be written)
// The end of its input means no more frames: it exits.
#include "host/cli/jobs.h"

#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "host/core/error.h"

namespace host {

bool write_all(int fd, const std::string& text) {
  for (size_t at = 0; at < text.size();) {
    const ssize_t n = write(fd, text.data() + at, text.size() - at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    at += static_cast<size_t>(n);
  }
  return true;
}

namespace {

// The plug-in draws a frame in bands of rows on as many threads as
// VANTREL_THREADS says: unless the user said, each of `processes` rendering
// processes gets its share of the cores this one may use.
void share_cores(long long processes) {
  if (getenv("VANTREL_THREADS")) return;
  const long long each = std::max(1LL, usable_cores() / std::max(1LL, processes));
  setenv("VANTREL_THREADS", std::to_string(each).c_str(), 1);
}

// Lines from a pipe, as they arrive.
class LineReader {
public:
  explicit LineReader(int fd) : fd(fd) {}
  // Appends what one read gives; false at the end of the input.
  bool fill() {
    char buf[4096];
    ssize_t n;
    do n = read(fd, buf, sizeof buf);
    while (n < 0 && errno == EINTR);
    if (n <= 0) return false;
    pending.append(buf, static_cast<size_t>(n));
    return true;
  }
  // The next whole line without its newline; false when none is complete.
  bool take(std::string& line) {
    const size_t end = pending.find('\n');
    if (end == std::string::npos) return false;
    line = pending.substr(0, end);
    pending.erase(0, end + 1);
    return true;
  }

private:
  int fd;
  std::string pending;
};

class PipeReporter : public FrameReporter {
public:
  explicit PipeReporter(int fd) : fd(fd) {}
  void frame(long long) override { percent = -1; }
  void report(unsigned done, unsigned total) override {
    // Only whole percents travel: a frame reports thousands of steps.
    const int p = total ? static_cast<int>(100.0 * std::min(done, total) / total) : 0;
    if (p == percent) return;
    percent = p;
    send("P " + std::to_string(done) + " " + std::to_string(total));
  }
  void line(const std::string& text) override { send("L " + text); }
  void tell(const std::string& text) override { send("T " + text); }
  void send(std::string message) {
    std::replace(message.begin(), message.end(), '\n', ' ');
    write_all(fd, message + "\n");
  }

private:
  int fd;
  int percent = -1;
};

// A worker's stop handlers stay in place after a first signal: a terminal's
// Ctrl-C reaches it and the parent passes its own on, and one stop is
// enough to cancel the frame it holds. The parent's death stops it too.
void keep_stop_handlers(pid_t parent) {
  for (int sig : {SIGINT, SIGTERM}) {
    struct sigaction sa;
    if (sigaction(sig, nullptr, &sa) != 0 || sa.sa_handler == SIG_DFL || sa.sa_handler == SIG_IGN)
      continue;
    sa.sa_flags &= ~SA_RESETHAND;
    sigaction(sig, &sa, nullptr);
  }
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != parent) raise(SIGTERM);  // it died before the line above
}

[[noreturn]] void worker_main(int in, int out, const FrameRun& run, const RenderFrame& render) {
  PipeReporter reporter(out);
  LineReader frames(in);
  int status = 0;
  for (std::string text; status == 0;) {
    if (!frames.take(text)) {
      if (frames.fill()) continue;
      break;
    }
    try {
      const long long frame = std::stoll(text);
      if (run.cancel && *run.cancel) {
        reporter.send("C");
        status = 130;
        continue;
      }
      reporter.frame(frame);
      const FrameResult result = render(frame, reporter);
      reporter.send(result == FrameResult::Done        ? "D"
                    : result == FrameResult::Cancelled ? "C"
                                                       : "F");
      if (result == FrameResult::Cancelled) status = 130;
    } catch (const std::exception& e) {
      reporter.send(std::string("E ") + e.what());
      status = 1;
    }
  }
  fflush(nullptr);
  // The parent's objects (the plug-in, open files) are not this process's
  // to tear down.
  _exit(status);
}

// Notes a frame's result in the outcome.
void record(RunOutcome& outcome, long long frame, FrameResult result) {
  if (result == FrameResult::Cancelled && (!outcome.cancelled_at || frame < *outcome.cancelled_at))
    outcome.cancelled_at = frame;
  if (result == FrameResult::Failed) outcome.failed.push_back(frame);
}

// Whether a further frame may start: no stop asked for or met, and no
// failure unless the run goes on after one.
bool may_start(const FrameRun& run, const RunOutcome& outcome) {
  return !(run.cancel && *run.cancel) && !outcome.cancelled_at &&
         (run.keep_going || outcome.failed.empty());
}

struct Worker {
  pid_t pid = -1;
  int to = -1, from = -1;  // frame numbers out, messages in
  long long frame = -1;    // the frame it holds
  bool busy = false;
  unsigned done = 0, total = 0;
  LineReader reader{-1};
};

class Pool {
public:
  Pool(const FrameRun& run, FrameReporter& display) : run(run), display(display) {}
  ~Pool() {
    for (Worker& w : workers) {
      close_to(w);
      close_from(w);
    }
  }
  void start(int count, const RenderFrame& render);
  RunOutcome finish();

private:
  void hand_out(Worker& w);
  void receive(Worker& w);
  void handle(Worker& w, const std::string& message);
  void show_oldest();
  void close_to(Worker& w) {
    if (w.to >= 0) close(w.to);
    w.to = -1;
  }
  void close_from(Worker& w);
  bool stopping() const { return !error.empty() || !may_start(run, outcome); }

  const FrameRun& run;
  FrameReporter& display;
  std::vector<Worker> workers;
  long long next = 0;  // index of the next frame to hand out
  RunOutcome outcome;
  std::optional<long long> shown;  // the frame whose progress the display follows
  bool forwarded = false;
  std::string error;  // the first error
};

void Pool::start(int count, const RenderFrame& render) {
  workers.resize(static_cast<size_t>(count));
  const pid_t parent = getpid();
  fflush(nullptr);  // nothing buffered is written twice
  for (Worker& w : workers) {
    int down[2], up[2];
    if (pipe(down) != 0) throw HostError(std::string("cannot start a worker: ") + strerror(errno));
    if (pipe(up) != 0) {
      close(down[0]), close(down[1]);
      throw HostError(std::string("cannot start a worker: ") + strerror(errno));
    }
    const pid_t pid = fork();
    if (pid == 0) {
      // The earlier workers' pipes stay with the parent alone, so that each
      // worker sees the end of its input when the parent closes it.
      for (Worker& other : workers) {
        if (other.to >= 0) close(other.to);
        if (other.from >= 0) close(other.from);
      }
      close(down[1]), close(up[0]);
      keep_stop_handlers(parent);
      share_cores(count);
      worker_main(down[0], up[1], run, render);
    }
    close(down[0]), close(up[1]);
    if (pid < 0) {
      close(down[1]), close(up[0]);
      throw HostError(std::string("cannot start a worker: ") + strerror(errno));
    }
    w.pid = pid, w.to = down[1], w.from = up[0];
    w.reader = LineReader(w.from);
    hand_out(w);
  }
}

void Pool::hand_out(Worker& w) {
  w.busy = false;
  if (stopping() || next == run.count() ||
      !write_all(w.to, std::to_string(run.frame(next)) + "\n")) {
    close_to(w);
    return;
  }
  w.frame = run.frame(next++);
  w.busy = true;
  w.done = w.total = 0;
  show_oldest();
}

// The display follows the lowest frame in work, so that its bar moves
// forwards frame by frame.
void Pool::show_oldest() {
  const Worker* oldest = nullptr;
  for (const Worker& w : workers)
    if (w.busy && (!oldest || w.frame < oldest->frame)) oldest = &w;
  if (!oldest) return;
  if (shown != oldest->frame) {
    shown = oldest->frame;
    display.frame(oldest->frame);
  }
  if (oldest->total) display.report(oldest->done, oldest->total);
}

void Pool::handle(Worker& w, const std::string& message) {
  const char kind = message.empty() ? '?' : message[0];
  const std::string text = message.size() > 2 ? message.substr(2) : "";
  if (kind == 'P') {
    if (sscanf(text.c_str(), "%u %u", &w.done, &w.total) == 2) show_oldest();
  } else if (kind == 'L') {
    display.line(text);
  } else if (kind == 'T') {
    display.tell(text);
  } else if (kind == 'D') {
    display.finished(w.frame);
    hand_out(w);
  } else if (kind == 'C') {
    record(outcome, w.frame, FrameResult::Cancelled);
    hand_out(w);
  } else if (kind == 'F') {
    record(outcome, w.frame, FrameResult::Failed);
    hand_out(w);
  } else if (kind == 'E') {
    if (error.empty()) error = text;
    hand_out(w);
  }
}

void Pool::receive(Worker& w) {
  const bool more = w.reader.fill();
  for (std::string message; w.reader.take(message);) handle(w, message);
  if (!more) close_from(w);
}

void Pool::close_from(Worker& w) {
  if (w.from < 0) return;
  close(w.from);
  w.from = -1;
  close_to(w);
  int status = 0;
  while (waitpid(w.pid, &status, 0) < 0 && errno == EINTR) {
  }
  // A worker that ended holding a frame (killed, or crashed in the plug-in).
  if (w.busy && error.empty()) {
    error = "the worker rendering frame " + std::to_string(w.frame) + " ended unexpectedly";
    if (WIFSIGNALED(status)) error += std::string(" (") + strsignal(WTERMSIG(status)) + ")";
  }
  w.busy = false;
}

RunOutcome Pool::finish() {
  for (;;) {
    if (run.cancel && *run.cancel && !forwarded) {
      // A terminal's Ctrl-C reaches the workers too; a signal sent to this
      // process alone is passed on. Frames still go out: a worker that was
      // between frames cancels the next one and says so, as a render in one
      // process would.
      forwarded = true;
      for (const Worker& w : workers)
        if (w.from >= 0) kill(w.pid, SIGINT);
    }
    std::vector<pollfd> fds;
    std::vector<Worker*> owners;
    for (Worker& w : workers)
      if (w.from >= 0) {
        fds.push_back(pollfd{w.from, POLLIN, 0});
        owners.push_back(&w);
      }
    if (fds.empty()) break;
    if (poll(fds.data(), fds.size(), 100) <= 0) continue;  // a signal, or time to look at cancel
    for (size_t i = 0; i < fds.size(); ++i)
      if (fds[i].revents) receive(*owners[i]);
  }
  if (!error.empty()) throw HostError(error);
  // A stop that came between frames leaves the next one unwritten.
  if (run.cancel && *run.cancel && next < run.count())
    record(outcome, run.frame(next), FrameResult::Cancelled);
  std::sort(outcome.failed.begin(), outcome.failed.end());
  return outcome;
}

// Restores the disposition of SIGPIPE: a worker that dies must not take the
// parent with it when a frame number is written to its pipe.
class IgnoreSigpipe {
public:
  IgnoreSigpipe() { previous = signal(SIGPIPE, SIG_IGN); }
  ~IgnoreSigpipe() { signal(SIGPIPE, previous); }
  IgnoreSigpipe(const IgnoreSigpipe&) = delete;
  IgnoreSigpipe& operator=(const IgnoreSigpipe&) = delete;

private:
  void (*previous)(int);
};

// Renders the frames one after another in this process.
RunOutcome render_here(const FrameRun& run, FrameReporter& display, const RenderFrame& render) {
  RunOutcome outcome;
  for (long long i = 0; i < run.count(); ++i) {
    const long long frame = run.frame(i);
    // A stop asked for while a frame was written shows before the next one.
    if (run.cancel && *run.cancel) record(outcome, frame, FrameResult::Cancelled);
    if (!may_start(run, outcome)) break;
    display.frame(frame);
    const FrameResult result = render(frame, display);
    if (result == FrameResult::Done) display.finished(frame);
    record(outcome, frame, result);
  }
  return outcome;
}

}  // namespace

int usable_cores() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(CPU_COUNT(&set), 1);
  return static_cast<int>(std::max(sysconf(_SC_NPROCESSORS_ONLN), 1L));
}

RunOutcome render_frames(const FrameRun& run, FrameReporter& display, const RenderFrame& render) {
  const long long jobs = std::min<long long>(run.jobs > 0 ? run.jobs : usable_cores(), run.count());
  if (jobs <= 1) {
    share_cores(1);
    return render_here(run, display, render);
  }
  // The workers are forked before any frame is rendered here: a frame's
  // image reading and writing starts the image library's threads, and a
  // fork made after that would copy locks those threads hold.
  IgnoreSigpipe ignore;
  Pool pool(run, display);
  pool.start(static_cast<int>(jobs), render);
  return pool.finish();
}

}  // namespace host
