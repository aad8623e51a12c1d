#include "host/core/frame_list.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "host/core/error.h"

namespace host {

namespace {

// A whole 32-bit frame number (frames are ints in the filter's access record).
bool whole(const std::string& text, long long& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  out = strtoll(text.c_str(), &end, 10);
  return end == text.c_str() + text.size() && errno == 0 && out >= INT_MIN && out <= INT_MAX &&
         text.find_first_of(" \t+") == std::string::npos;
}

FrameSpan parse_span(const std::string& part, const std::string& option, const std::string& text) {
  const std::string expected =
      option + " expects A, A-B or A-BxSTEP, or a list of them with commas, found '" + text + "'";
  FrameSpan s;
  const std::string::size_type dash = part.find('-', 1);  // a first frame may be negative
  const std::string::size_type x = part.find('x');
  std::string first = part.substr(0, dash), last, step = "1";
  if (dash != std::string::npos) {
    last = part.substr(dash + 1, x == std::string::npos ? std::string::npos : x - dash - 1);
    if (x != std::string::npos) step = part.substr(x + 1);
  } else if (x != std::string::npos) {
    throw HostError(expected);
  } else {
    last = first;
  }
  if (!whole(first, s.first) || !whole(last, s.last) || !whole(step, s.step))
    throw HostError(expected);
  if (s.last < s.first) throw HostError(option + " " + part + " ends before it starts");
  if (s.step < 1) throw HostError(option + " " + part + " needs a step of 1 or more");
  return s;
}

}  // namespace

std::vector<FrameSpan> parse_frame_list(const std::string& option, const std::string& text) {
  std::vector<FrameSpan> spans;
  size_t start = 0;
  while (true) {
    const size_t comma = text.find(',', start);
    spans.push_back(parse_span(text.substr(start, comma - start), option, text));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return spans;
}

long long frame_count(const std::vector<FrameSpan>& spans) {
  long long n = 0;
  for (const FrameSpan& s : spans) n += s.count();
  return n;
}

}  // namespace host
