// Suggestions for mistyped words: the known word nearest to what was written.
#pragma once

#include <string>
#include <vector>

namespace host {

// The candidate closest to word by edits (case ignored), when it is close
// enough to be what was meant; empty otherwise.
std::string nearest_word(const std::string& word, const std::vector<std::string>& candidates);

// " (did you mean X?)" for the nearest candidate, or empty.
std::string did_you_mean(const std::string& word, const std::vector<std::string>& candidates);

}  // namespace host
