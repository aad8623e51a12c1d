#include "host/core/words.h"

#include <algorithm>
#include <cctype>

namespace host {

namespace {

// Insertions, deletions and substitutions turning a into b.
size_t edits(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      const bool same = std::tolower(static_cast<unsigned char>(a[i - 1])) ==
                        std::tolower(static_cast<unsigned char>(b[j - 1]));
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

}  // namespace

std::string nearest_word(const std::string& word, const std::vector<std::string>& candidates) {
  std::string best;
  size_t best_edits = std::max<size_t>(2, word.size() / 3) + 1;
  for (const std::string& c : candidates) {
    const size_t e = edits(word, c);
    if (e < best_edits) best = c, best_edits = e;
  }
  return best;
}

std::string did_you_mean(const std::string& word, const std::vector<std::string>& candidates) {
  const std::string near = nearest_word(word, candidates);
  return near.empty() ? "" : " (did you mean " + near + "?)";
}

}  // namespace host
