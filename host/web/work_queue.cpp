#include "host/web/work_queue.h"

#include <cstdio>
#include <exception>

namespace host {

std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (const char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20) {
      char esc[8];
      snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

std::string error_json(const std::string& text) { return "{\"error\":" + json_string(text) + "}"; }

Reply WorkQueue::call(Job job, bool edits) {
  auto slot = std::make_shared<Slot>();
  slot->job = std::move(job);
  std::unique_lock<std::mutex> hold(lock);
  if (halted) return {503, "application/json", error_json("the panel is closed")};
  queued.push_back(slot);
  if (edits) interrupt = true;
  wake_owner.notify_one();
  wake_callers.wait(hold, [&] { return slot->answered || halted; });
  if (!slot->answered) return {503, "application/json", error_json("the panel is closed")};
  return slot->reply;
}

void WorkQueue::answer(Slot& slot, Reply reply) {
  std::lock_guard<std::mutex> hold(lock);
  if (slot.answered) return;
  slot.reply = std::move(reply);
  slot.answered = true;
  wake_callers.notify_all();
}

bool WorkQueue::run_one(Clock::time_point deadline) {
  std::shared_ptr<Slot> slot;
  {
    std::unique_lock<std::mutex> hold(lock);
    wake_owner.wait_until(hold, deadline, [&] { return halted || !queued.empty(); });
    if (halted || queued.empty()) return false;
    slot = queued.front();
    queued.pop_front();
  }
  running.push_back(slot);
  Reply reply;
  try {
    reply = slot->job();
  } catch (const std::exception& e) {
    reply = {400, "application/json", error_json(e.what())};
  }
  running.pop_back();
  answer(*slot, std::move(reply));
  return true;
}

void WorkQueue::run_until(const std::function<bool()>& done) {
  while (!done() && !halted) run_one(Clock::now() + kTick);
}

void WorkQueue::answer_early(Reply reply) {
  if (!running.empty()) answer(*running.back(), std::move(reply));
}

void WorkQueue::stop() {
  std::lock_guard<std::mutex> hold(lock);
  halted = true;
  wake_owner.notify_all();
  wake_callers.notify_all();
}

}  // namespace host
