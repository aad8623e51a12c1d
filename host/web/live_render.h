// The live render beside the panel: the scene's frame through its filters
// with the settings as edited, kept as a PNG for the page. Renders run on the
// thread that calls the plug-in; the finished picture is read from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "host/core/session.h"

namespace host {

struct LivePicture {
  uint64_t number = 0;  // 0: none yet; counts finished renders
  uint64_t edit = 0;    // the last edit the picture shows
  int frame = 0, width = 0, height = 0;
  bool full = false;
  double seconds = 0;  // the render alone, without the PNG
  std::string png;
};

class LiveRender {
public:
  using Clock = std::chrono::steady_clock;
  // Edits closer together than this are rendered once.
  static constexpr std::chrono::milliseconds kDebounce{120};

  // background: a file name pattern as `render --background` takes; empty for an empty sky.
  LiveRender(Host& host, Session& session, std::string background);

  // Owner thread. An edit to the settings: render again after the debounce.
  // Returns the edit's number.
  uint64_t edited();
  uint64_t edits() const { return edit; }
  // The frame and the size: a quarter of the frame's pixels (half its width
  // and height) unless full.
  void choose(int frame, bool full);
  int frame() const { return view_frame; }
  bool full() const { return view_full; }
  bool due(Clock::time_point now) const { return wanted && now >= due_at; }
  bool wanted_at(Clock::time_point& when) const;
  // Renders now. A render cancelled through `cancel` is dropped and stays wanted.
  void render(const std::atomic<bool>* cancel);

  // Any thread.
  LivePicture latest() const;
  // Waits until a picture newer than `after` is there, the time is up or the render closes.
  LivePicture wait_newer(uint64_t after, std::chrono::milliseconds timeout) const;
  // Wakes every waiter for good.
  void close();

private:
  Host& host;
  Session& session;
  std::string background;
  uint64_t edit = 0;
  int view_frame;
  bool view_full = false;
  bool wanted = true;
  Clock::time_point due_at = Clock::now();

  mutable std::mutex lock;
  mutable std::condition_variable arrived;
  LivePicture picture;
  bool closed = false;
};

}  // namespace host
