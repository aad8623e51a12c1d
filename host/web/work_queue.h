// Work handed from the panel server's request threads to the one thread that
// may call the plug-in. A request thread queues a job and waits for its
// reply; the owner thread runs jobs in order. A job that opens a dialog
// answers its caller early and then runs the jobs that answer the dialog in a
// nested loop, so the plug-in's modal call can return.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace host {

struct Reply {
  int status = 200;
  std::string type = "application/json";
  std::string body;
};

class WorkQueue {
public:
  using Job = std::function<Reply()>;
  using Clock = std::chrono::steady_clock;

  // Any thread but the owner: runs the job on the owner thread and returns its
  // reply, or the one it gave early. A job that throws replies 400 with its
  // message; a stopped queue replies 503. `edits` marks a job that changes
  // what the live render shows: queuing it raises `interrupt`.
  Reply call(Job job, bool edits = false);

  // Owner thread: runs one job, waiting for one until the deadline. False when
  // none came (or the queue stopped).
  bool run_one(Clock::time_point deadline);
  // Owner thread, inside a job: runs jobs until `done` holds or the queue stops.
  void run_until(const std::function<bool()>& done);
  // Owner thread, inside a job: its caller gets this reply now.
  void answer_early(Reply reply);

  // Any thread: refuses new jobs, answers the waiting ones and wakes the owner.
  void stop();
  bool stopped() const { return halted; }
  // From a signal handler: only marks the queue stopped; the owner, which
  // wakes at least every `kTick`, then calls stop().
  void stop_from_signal() { halted = true; }
  static constexpr std::chrono::milliseconds kTick{200};

  // Raised when a job that edits is queued; the owner clears it.
  std::atomic<bool> interrupt{false};

private:
  struct Slot {
    Job job;
    Reply reply;
    bool answered = false;
  };
  void answer(Slot& slot, Reply reply);

  std::mutex lock;
  std::condition_variable wake_owner, wake_callers;
  std::deque<std::shared_ptr<Slot>> queued;
  std::vector<std::shared_ptr<Slot>> running;  // owner thread only: innermost last
  std::atomic<bool> halted{false};
};

// A JSON object {"error": text}.
std::string error_json(const std::string& text);
// Text as a JSON string, quoted and escaped.
std::string json_string(const std::string& text);

}  // namespace host
