// The sequence driver with scripted workers: each worker is a real forked
// process, and the frame it renders does what the script says (dies, stops,
// reports) instead of running a plug-in.
#include "host/cli/jobs.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "host/core/error.h"
#include "testsupport/test_support.h"

namespace {

using host::FrameReporter;
using host::FrameResult;
using host::FrameRun;
using host::RunOutcome;

// What the parent shows, and a hook on the lines.
struct Display : FrameReporter {
  std::vector<std::string> lines, told;
  std::function<void(const std::string&)> on_line;
  void frame(long long) override {}
  void report(unsigned, unsigned) override {}
  void line(const std::string& text) override {
    lines.push_back(text);
    if (on_line) on_line(text);
  }
  void tell(const std::string& text) override { told.push_back(text); }
};

// The frames a script rendered, as marker files (the workers are other
// processes), and waiting on them.
struct Marks {
  testing_support::TempDir dir;
  void set(const std::string& name) const { testing_support::write_bytes(dir.file(name), ""); }
  bool has(const std::string& name) const {
    struct stat st;
    return stat(dir.file(name).c_str(), &st) == 0;
  }
  // Waits up to five seconds for a condition; whether it held.
  static bool wait(const std::function<bool()>& done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }
};

std::atomic<bool> stop{false};
extern "C" void on_interrupt(int) { stop = true; }

// SIGINT sets `stop` as in the render command, where a second one ends the
// program, for the test's length.
struct CatchInterrupt {
  CatchInterrupt() {
    stop = false;
    struct sigaction sa = {};
    sa.sa_handler = on_interrupt;
    sa.sa_flags = SA_RESTART | SA_RESETHAND;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, &previous);
  }
  ~CatchInterrupt() {
    sigaction(SIGINT, &previous, nullptr);
    stop = false;
  }
  struct sigaction previous;
};

FrameRun frames(long long first, long long last, int jobs) {
  FrameRun run;
  run.first = first, run.last = last, run.jobs = jobs;
  run.cancel = &stop;
  return run;
}

}  // namespace

// A worker that dies holding a frame (killed, or crashed in a plug-in) fails
// the run naming that frame and the signal. Each of the two workers was
// given half the cores for the plug-in's threads.
TEST(Workers, AKilledWorkerFailsTheRunNamingItsFrame) {
  CatchInterrupt interrupt;
  Marks marks;
  Display display;
  unsetenv("VANTREL_THREADS");
  const auto render = [&](long long f, FrameReporter&) {
    if (f == 3) raise(SIGKILL);
    marks.set(std::to_string(f));
    const char* threads = getenv("VANTREL_THREADS");
    marks.set(std::string("threads ") + (threads ? threads : "unset"));
    return FrameResult::Done;
  };
  try {
    host::render_frames(frames(1, 6, 2), display, render);
    ADD_FAILURE() << "the run went on";
  } catch (const host::HostError& e) {
    EXPECT_STREQ(e.what(), "the worker rendering frame 3 ended unexpectedly (Killed)");
  }
  EXPECT_TRUE(marks.has("1") && marks.has("2"));
  EXPECT_TRUE(marks.has("threads " + std::to_string(std::max(1, host::usable_cores() / 2))));
  EXPECT_EQ(getenv("VANTREL_THREADS"), nullptr);  // the workers' own
}

// Two frames cancelled, the higher one first: the run reports the lower,
// from which a resumed render loses nothing; no further frame starts.
TEST(Workers, TwoCancelledFramesReportTheLowest) {
  CatchInterrupt interrupt;
  Marks marks;
  Display display;
  const auto render = [&](long long f, FrameReporter&) {
    marks.set(std::to_string(f));
    if (f == 1 && !Marks::wait([&] { return marks.has("2 cancelled"); }))
      return FrameResult::Failed;
    if (f == 2) marks.set("2 cancelled");
    return f <= 2 ? FrameResult::Cancelled : FrameResult::Done;
  };
  const RunOutcome outcome = host::render_frames(frames(1, 8, 2), display, render);
  ASSERT_TRUE(outcome.cancelled_at.has_value());
  EXPECT_EQ(*outcome.cancelled_at, 1);
  EXPECT_TRUE(outcome.failed.empty());  // frame 1 saw frame 2 cancelled first
  EXPECT_FALSE(marks.has("3"));
}

// A stop that reaches a worker between its frames cancels the next frame
// handed to it, unrendered; one that reaches the parent between frames
// leaves the next frame unwritten, and is passed on to the workers.
TEST(Workers, AStopBetweenHandOutsCancelsTheNextFrame) {
  {
    CatchInterrupt interrupt;
    Marks marks;
    Display display;
    // Each worker is stopped as its first frame ends, twice (a terminal's
    // Ctrl-C reaches it, and the parent passes its own on): it lives on, and
    // the frames handed out next, 3 and 4, are cancelled unrendered.
    const auto render = [&](long long f, FrameReporter&) {
      marks.set(std::to_string(f));
      if (f <= 2) raise(SIGINT), raise(SIGINT);
      return FrameResult::Done;
    };
    const RunOutcome outcome = host::render_frames(frames(1, 8, 2), display, render);
    ASSERT_TRUE(outcome.cancelled_at.has_value());
    EXPECT_EQ(*outcome.cancelled_at, 3);
    for (const char* f : {"3", "4", "5"}) EXPECT_FALSE(marks.has(f)) << f;
  }
  {
    CatchInterrupt interrupt;
    Marks marks;
    Display display;
    // The parent is stopped when frame 1 tells of its file, frame 2 under
    // way in the other worker; frame 2 ends once the stop has reached it
    // too, written.
    display.on_line = [](const std::string& text) {
      if (text == "wrote 1") raise(SIGINT);
    };
    const auto render = [&](long long f, FrameReporter& out) {
      marks.set(std::to_string(f));
      if (f == 1 && !Marks::wait([&] { return marks.has("2"); })) return FrameResult::Failed;
      if (f == 2 && !Marks::wait([] { return stop.load(); })) return FrameResult::Failed;
      out.line("wrote " + std::to_string(f));
      return FrameResult::Done;
    };
    const RunOutcome outcome = host::render_frames(frames(1, 8, 2), display, render);
    ASSERT_TRUE(outcome.cancelled_at.has_value());
    EXPECT_EQ(*outcome.cancelled_at, 3);
    EXPECT_TRUE(outcome.failed.empty());
    EXPECT_EQ(display.lines, (std::vector<std::string>{"wrote 1", "wrote 2"}));
    EXPECT_FALSE(marks.has("3"));
  }
}

// The workers' messages go down a pipe that may be full while a signal
// arrives: an interrupted write is made again, not lost (a lost message
// would make the parent take a live worker for dead).
TEST(Workers, PipeWritesGoOnAfterASignal) {
  struct sigaction sa = {}, previous;
  sa.sa_handler = [](int) {};
  sa.sa_flags = 0;  // no SA_RESTART: a blocked write returns EINTR
  sigemptyset(&sa.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &sa, &previous), 0);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  // Fill the pipe, so that the next write blocks.
  fcntl(fds[1], F_SETFL, O_NONBLOCK);
  const std::string block(4096, 'x');
  size_t filled = 0;
  for (ssize_t n; (n = write(fds[1], block.data(), block.size())) > 0;) filled += n;
  fcntl(fds[1], F_SETFL, 0);
  const pthread_t writer = pthread_self();
  std::thread other([&] {
    // Interrupt the blocked write a few times, then make room.
    for (int i = 0; i < 10; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      pthread_kill(writer, SIGUSR1);
    }
    std::string all;
    char buf[65536];
    while (all.size() < filled + 6) {
      const ssize_t n = read(fds[0], buf, sizeof buf);
      if (n <= 0) break;
      all.append(buf, static_cast<size_t>(n));
    }
    EXPECT_EQ(all.substr(filled), "P 1 2\n");
  });
  EXPECT_TRUE(host::write_all(fds[1], "P 1 2\n"));
  close(fds[1]);  // the reader ends here whatever was written
  other.join();
  close(fds[0]);
  sigaction(SIGUSR1, &previous, nullptr);
}
