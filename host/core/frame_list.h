// Frame lists as pipelines write them: "12", "1-100", "1-100x4" (every
// fourth frame) and lists of these, "1-10,15,20-30x2".
#pragma once

#include <string>
#include <vector>

namespace host {

struct FrameSpan {
  long long first = 1, last = 1, step = 1;
  long long count() const { return (last - first) / step + 1; }
};

// Throws HostError naming the option and the text when a part is not one of
// the forms above, ends before it starts, or steps by less than 1.
std::vector<FrameSpan> parse_frame_list(const std::string& option, const std::string& text);

long long frame_count(const std::vector<FrameSpan>& spans);

}  // namespace host
