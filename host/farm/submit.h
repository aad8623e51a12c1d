// Frames on a batch cluster: a frame range cut into chunks, one job-array task
// per chunk, and the files of a job folder (the task script, the check
// script and the job's description that the check and a resubmission read).
#pragma once

#include <string>
#include <vector>

namespace host {

// Frames first, first + step, ... up to last (inclusive).
struct Chunk {
  int first, last, step;
  std::vector<int> frames() const;
  // The frames as `render --frames` values: one range when the step is 1,
  // otherwise one value per frame, separated by spaces.
  std::string ranges() const;
};

// Cuts first..last (every step-th frame) into chunks of `size` frames; the
// last one takes what is left.
std::vector<Chunk> split_frames(int first, int last, int step, int size);

// A word for a POSIX shell: single-quoted, a single quote written as '\''.
std::string shell_quote(const std::string& word);
// A value of a "#SBATCH" line: sbatch reads double or single quotes there but
// no escapes, so a value holding both quote characters is refused (HostError).
std::string sbatch_quote(const std::string& value);

// What a submission renders and where, all paths absolute.
struct JobSpec {
  std::string program;                 // vantrel-host
  std::string scene, plugin;           // inputs every node reads
  std::string background;              // pattern; may be empty
  std::vector<std::string> outputs;    // patterns
  std::vector<std::string> databases;  // star databases the scene's filters read
  std::string workdir;                 // where relative paths in the scene resolve
  std::string jobdir;                  // the scripts, the description and the logs
  std::string name;                    // job name
  int first = 1, last = 1, step = 1, chunk = 1;
  int width = 0, height = 0;  // the scene's frame size, to check outputs against
  int jobs = 0;               // tasks running at once; 0: no limit
  std::string partition, time_limit;
  std::vector<std::string> sbatch_args;  // extra sbatch options, one per line

  std::vector<Chunk> chunks() const { return split_frames(first, last, step, chunk); }
  std::string render_script_path() const { return jobdir + "/render.sh"; }
  std::string check_script_path() const { return jobdir + "/check.sh"; }
  std::string description_path() const { return jobdir + "/job.txt"; }
  std::string summary_path() const { return jobdir + "/summary.txt"; }
};

// The array task's script: each index renders its chunk.
std::string render_script(const JobSpec& job);
// The check job's script: runs `vantrel-host submit --check JOBDIR`.
std::string check_script(const JobSpec& job);

// The description in job.txt, in the text form of tagged blocks.
std::string format_job(const JobSpec& job);
JobSpec parse_job(const std::string& text, const std::string& source);

// Array indices as sbatch's --array takes them: "0-2", "1,3", with "%N" to
// run at most N at once.
std::string array_indices(const std::vector<int>& indices, int jobs);

}  // namespace host
