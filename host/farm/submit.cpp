#include "host/farm/submit.h"

#include <algorithm>
#include <functional>

#include "host/core/blocks.h"
#include "host/core/host.h"

namespace host {

std::vector<int> Chunk::frames() const {
  std::vector<int> list;
  for (int f = first; f <= last; f += step) list.push_back(f);
  return list;
}

std::string Chunk::ranges() const {
  if (step == 1)
    return first == last ? std::to_string(first)
                         : std::to_string(first) + "-" + std::to_string(last);
  std::string text;
  for (int f : frames()) text += (text.empty() ? "" : " ") + std::to_string(f);
  return text;
}

std::vector<Chunk> split_frames(int first, int last, int step, int size) {
  if (step < 1 || size < 1 || last < first) throw HostError("no frames to split into chunks");
  std::vector<Chunk> chunks;
  // Widened: a range near INT_MAX must not wrap around.
  for (long long f = first; f <= last; f += static_cast<long long>(step) * size) {
    const long long end = std::min<long long>(last, f + static_cast<long long>(step) * (size - 1));
    const long long count = (end - f) / step;  // the chunk ends on a frame of the range
    chunks.push_back({static_cast<int>(f), static_cast<int>(f + count * step), step});
  }
  return chunks;
}

std::string shell_quote(const std::string& word) {
  std::string out = "'";
  for (char c : word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string sbatch_quote(const std::string& value) {
  const bool has_double = value.find('"') != std::string::npos;
  const bool has_single = value.find('\'') != std::string::npos;
  if (value.find('\n') != std::string::npos || (has_double && has_single))
    throw HostError("cannot write '" + value +
                    "' into a batch script: it holds a line break or both quote characters");
  return has_double ? "'" + value + "'" : "\"" + value + "\"";
}

namespace {

// An extra sbatch option as a "#SBATCH" line: "--name=value" quotes the value.
std::string sbatch_line(const std::string& arg) {
  if (arg.find_first_of(" \t\"'") == std::string::npos) return "#SBATCH " + arg + "\n";
  const std::string::size_type eq = arg.find('=');
  if (eq == std::string::npos) return "#SBATCH " + sbatch_quote(arg) + "\n";
  return "#SBATCH " + arg.substr(0, eq + 1) + sbatch_quote(arg.substr(eq + 1)) + "\n";
}

// The options both scripts share: name, log file, folder, and the user's.
std::string header(const JobSpec& job, const std::string& name, const std::string& log) {
  if (job.jobdir.find('%') != std::string::npos)
    throw HostError("the job folder " + job.jobdir +
                    " holds '%', which Slurm would read as a log-name pattern");
  std::string s = "#!/bin/bash\n";
  s += "#SBATCH --job-name=" + sbatch_quote(name) + "\n";
  s += "#SBATCH --output=" + sbatch_quote(job.jobdir + "/logs/" + log) + "\n";
  s += "#SBATCH --chdir=" + sbatch_quote(job.workdir) + "\n";
  if (!job.partition.empty()) s += "#SBATCH --partition=" + sbatch_quote(job.partition) + "\n";
  if (!job.time_limit.empty()) s += "#SBATCH --time=" + sbatch_quote(job.time_limit) + "\n";
  for (const std::string& a : job.sbatch_args) s += sbatch_line(a);
  return s;
}

}  // namespace

std::string array_indices(const std::vector<int>& indices, int jobs) {
  std::string text;
  for (size_t i = 0; i < indices.size();) {
    size_t j = i;
    while (j + 1 < indices.size() && indices[j + 1] == indices[j] + 1) ++j;
    text += (text.empty() ? "" : ",") + std::to_string(indices[i]);
    if (j > i) text += "-" + std::to_string(indices[j]);
    i = j + 1;
  }
  if (jobs > 0) text += "%" + std::to_string(jobs);
  return text;
}

std::string render_script(const JobSpec& job) {
  const std::vector<Chunk> chunks = job.chunks();
  std::vector<int> all(chunks.size());
  for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<int>(i);
  std::string s = header(job, job.name, "render-%A_%a.out");
  s += "#SBATCH --array=" + array_indices(all, job.jobs) + "\n";
  s += "# Written by vantrel-host submit. Each array task renders one chunk of frames;\n"
       "# a failed frame ends the task with the render's status.\n";
  s += "set -u\ncase \"${SLURM_ARRAY_TASK_ID:-}\" in\n";
  for (size_t i = 0; i < chunks.size(); ++i)
    s += "  " + std::to_string(i) + ") frames='" + chunks[i].ranges() + "' ;;\n";
  s += "  *) echo \"render.sh: no chunk '${SLURM_ARRAY_TASK_ID:-}': submit this as a job array\" "
       ">&2; exit 2 ;;\nesac\n";
  std::string render = shell_quote(job.program) + " render " + shell_quote(job.scene) +
                       " --plugin " + shell_quote(job.plugin) + " --frames \"$f\"";
  if (!job.background.empty()) render += " --background " + shell_quote(job.background);
  for (const std::string& o : job.outputs) render += " -o " + shell_quote(o);
  s += "for f in $frames; do\n  " + render + " || exit\ndone\n";
  return s;
}

std::string check_script(const JobSpec& job) {
  std::string s = header(job, job.name + "-check", "check-%j.out");
  // Cancelled, not left waiting, when a task fails, whatever the cluster's default.
  s += "#SBATCH --kill-on-invalid-dep=yes\n";
  s += "# Written by vantrel-host submit: checks that every frame of the job was written.\n";
  s += "exec " + shell_quote(job.program) + " submit --check " + shell_quote(job.jobdir) + "\n";
  return s;
}

namespace {

struct Field {
  std::function<void(JobSpec&, const std::string&)> set;
  std::function<std::vector<std::string>(const JobSpec&)> get;
};

Field text(std::string JobSpec::*member) {
  return {[member](JobSpec& j, const std::string& v) { j.*member = v; },
          [member](const JobSpec& j) { return std::vector<std::string>{j.*member}; }};
}
Field list(std::vector<std::string> JobSpec::*member) {
  return {[member](JobSpec& j, const std::string& v) { (j.*member).push_back(v); },
          [member](const JobSpec& j) { return j.*member; }};
}
Field number(int JobSpec::*member) {
  return {
      [member](JobSpec& j, const std::string& v) {
        size_t used = 0;
        try {
          j.*member = std::stoi(v, &used);
        } catch (const std::exception&) {
        }
        if (used == 0 || used != v.size()) throw HostError("expects an integer, found '" + v + "'");
      },
      [member](const JobSpec& j) { return std::vector<std::string>{std::to_string(j.*member)}; }};
}

// Every value of the description, once: its keyword and how to read and write it.
const std::vector<std::pair<std::string, Field>>& fields() {
  static const std::vector<std::pair<std::string, Field>> table = {
      {"Program", text(&JobSpec::program)},
      {"Scene", text(&JobSpec::scene)},
      {"Plugin", text(&JobSpec::plugin)},
      {"Background", text(&JobSpec::background)},
      {"Output", list(&JobSpec::outputs)},
      {"Database", list(&JobSpec::databases)},
      {"WorkDir", text(&JobSpec::workdir)},
      {"JobDir", text(&JobSpec::jobdir)},
      {"Name", text(&JobSpec::name)},
      {"First", number(&JobSpec::first)},
      {"Last", number(&JobSpec::last)},
      {"Step", number(&JobSpec::step)},
      {"Chunk", number(&JobSpec::chunk)},
      {"Width", number(&JobSpec::width)},
      {"Height", number(&JobSpec::height)},
      {"Jobs", number(&JobSpec::jobs)},
      {"Partition", text(&JobSpec::partition)},
      {"Time", text(&JobSpec::time_limit)},
      {"SbatchArg", list(&JobSpec::sbatch_args)},
  };
  return table;
}

}  // namespace

std::string format_job(const JobSpec& job) {
  std::string s = "VantrelJob 1\n";
  for (const auto& [keyword, field] : fields())
    for (const std::string& v : field.get(job)) s += keyword + " " + quote(v) + "\n";
  return s;
}

JobSpec parse_job(const std::string& text, const std::string& source) {
  const BlockList blocks = parse_blocks(text, source);
  size_t at = 0;
  std::string version;
  if (blocks.empty() || blocks[0].keyword != "VantrelJob" ||
      read_token(blocks[0].text, at, version) != Token::Word || version != "1")
    throw HostError(source + " is not a job description of vantrel-host submit");
  JobSpec job;
  for (size_t i = 1; i < blocks.size(); ++i) {
    const Block& b = blocks[i];
    const std::string where = source + ":" + std::to_string(b.line) + ": ";
    const auto f = std::find_if(fields().begin(), fields().end(),
                                [&](const auto& e) { return e.first == b.keyword; });
    size_t cursor = 0;
    std::string value;
    if (f == fields().end() || !b.leaf) throw HostError(where + "unknown entry " + b.keyword);
    if (read_token(b.text, cursor, value) != Token::String)
      throw HostError(where + b.keyword + " expects a quoted value");
    try {
      f->second.set(job, value);
    } catch (const HostError& e) {
      throw HostError(where + b.keyword + " " + e.what());
    }
  }
  split_frames(job.first, job.last, job.step, job.chunk);  // throws for a range without frames
  return job;
}

}  // namespace host
