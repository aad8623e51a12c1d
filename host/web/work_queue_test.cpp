// The work queue between the panel server's request threads and the one
// thread that may call the plug-in: this test's main thread is the owner.
#include "host/web/work_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using host::Reply;
using host::WorkQueue;
using Clock = WorkQueue::Clock;

Reply ok(const std::string& body) { return Reply{200, "text/plain", body}; }

// Runs jobs on this thread until `done` holds (at most five seconds).
void serve(WorkQueue& q, const std::function<bool()>& done) {
  const auto end = Clock::now() + std::chrono::seconds(5);
  while (!done() && Clock::now() < end) q.run_one(Clock::now() + std::chrono::milliseconds(10));
}

}  // namespace

// Jobs run on the owner thread, one at a time and in the order queued; a
// failing job answers 400 with its message as JSON; a job that edits raises
// the interrupt flag.
TEST(WorkQueue, JobsRunOnTheOwnerInOrder) {
  WorkQueue q;
  EXPECT_FALSE(q.run_one(Clock::now() + std::chrono::milliseconds(20)));  // nothing queued
  const std::thread::id owner = std::this_thread::get_id();
  std::vector<int> order;
  std::vector<Reply> replies(3);
  std::atomic<int> answered{0};
  std::vector<std::thread> callers;
  for (int i = 0; i < 3; ++i) {
    // One caller at a time, so that the order queued is known.
    const int queued = answered.load();
    callers.emplace_back([&, i] {
      replies[i] = q.call([&, i]() -> Reply {
        EXPECT_EQ(std::this_thread::get_id(), owner);
        order.push_back(i);
        if (i == 1) throw std::runtime_error("bad \"value\"\n");
        return ok("job " + std::to_string(i));
      });
      ++answered;
    });
    serve(q, [&] { return answered > queued; });
  }
  for (std::thread& t : callers) t.join();
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(replies[0].status, 200);
  EXPECT_EQ(replies[0].body, "job 0");
  EXPECT_EQ(replies[1].status, 400);
  EXPECT_EQ(replies[1].body, "{\"error\":\"bad \\\"value\\\"\\u000a\"}");
  EXPECT_EQ(replies[2].body, "job 2");
  EXPECT_FALSE(q.interrupt);

  std::atomic<bool> edited{false};
  std::thread edit([&] {
    q.call([] { return ok(""); }, true);
    edited = true;
  });
  serve(q, [&] { return edited.load(); });
  edit.join();
  EXPECT_TRUE(q.interrupt);
}

// A job that opens a dialog answers its caller early, then runs the jobs
// that answer the dialog in a nested loop; its own later reply goes nowhere.
TEST(WorkQueue, AnEarlyAnswerAndANestedLoop) {
  WorkQueue q;
  std::atomic<bool> closed{false}, done{false};
  Reply opener, answer;
  std::thread front([&] {
    opener = q.call([&] {
      q.answer_early(ok("dialog open"));
      q.run_until([&] { return closed.load(); });
      return ok("dialog closed");
    });
    // The caller has its answer while the job still runs, inside which the
    // owner takes this job, which closes the dialog.
    answer = q.call([&] {
      closed = true;
      return ok("answered");
    });
    done = true;
  });
  // Should the caller never have its early answer, the loop would wait for
  // ever: a stop ends it.
  std::thread watchdog([&] {
    for (int i = 0; i < 500 && !done; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!done) q.stop();
  });
  serve(q, [&] { return done.load(); });
  front.join();
  watchdog.join();
  EXPECT_EQ(opener.body, "dialog open");
  EXPECT_EQ(answer.body, "answered");
  EXPECT_TRUE(closed);
}

// Stopping answers the callers still waiting (503), refuses new jobs, and
// wakes the owner; a signal handler's stop only marks the queue.
TEST(WorkQueue, StopAnswersEveryoneAndRefusesNewJobs) {
  WorkQueue q;
  std::atomic<bool> ran{false};
  Reply waiting;
  std::thread caller([&] {
    waiting = q.call(
        [&] {
          ran = true;
          return ok("");
        },
        true);
  });
  // Queuing a job that edits raises the flag: then it waits.
  for (int i = 0; i < 5000 && !q.interrupt; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_TRUE(q.interrupt);
  q.stop();
  caller.join();
  EXPECT_FALSE(ran);
  EXPECT_EQ(waiting.status, 503);
  EXPECT_EQ(waiting.body, "{\"error\":\"the panel is closed\"}");
  EXPECT_EQ(q.call([] { return ok(""); }).status, 503);
  const auto before = Clock::now();
  EXPECT_FALSE(q.run_one(Clock::now() + std::chrono::seconds(5)));
  EXPECT_LT(Clock::now() - before, std::chrono::seconds(1));  // at once, job or not
  EXPECT_FALSE(ran);

  WorkQueue r;
  r.stop_from_signal();
  EXPECT_TRUE(r.stopped());
  EXPECT_EQ(r.call([] { return ok(""); }).status, 503);
}
