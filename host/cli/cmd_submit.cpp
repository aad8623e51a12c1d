// vantrel-host submit: a scene's frames on a Slurm cluster, as a job array of
// chunks plus a check job that runs once every chunk has succeeded. Slurm's
// client programs are run as programs; they find the cluster themselves
// (SLURM_CONF or the system's configuration).
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "host/cli/commands.h"
#include "host/core/session.h"
#include "host/core/star_filter.h"
#include "host/farm/submit.h"
#include "host/images/images.h"

namespace host {

namespace {

namespace fs = std::filesystem;

struct SubmitOptions {
  std::string scene, plugin, frames, background, partition, time_limit, resume, check;
  std::vector<std::string> outputs, sbatch_args;
  int chunk = 10, jobs = 0;
  bool dry_run = false, wait = false;
};

std::string absolute(const std::string& path) {
  return fs::absolute(fs::path(path)).lexically_normal().string();
}

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw HostError("cannot read " + path + ": " + strerror(errno));
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// A program run to its end: its exit status and what it printed (both streams).
struct Ran {
  int status;
  std::string output;
};

Ran run_program(const std::vector<std::string>& args) {
  int fds[2];
  if (pipe(fds) != 0) throw HostError(std::string("cannot make a pipe: ") + strerror(errno));
  const pid_t pid = fork();
  if (pid < 0) throw HostError(std::string("cannot start ") + args[0] + ": " + strerror(errno));
  if (pid == 0) {
    dup2(fds[1], STDOUT_FILENO);
    dup2(fds[1], STDERR_FILENO);
    close(fds[0]);
    close(fds[1]);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(fds[1]);
  Ran r{0, ""};
  char buf[4096];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) r.output.append(buf, size_t(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

std::string last_line(std::string text) {
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text.substr(text.find_last_of('\n') + 1);
}

// Slurm's client programs must be on PATH; sbatch stands for all of them.
void require_slurm_client() {
  const char* path = getenv("PATH");
  std::stringstream dirs(path ? path : "");
  for (std::string dir; std::getline(dirs, dir, ':');)
    if (!dir.empty() && access((dir + "/sbatch").c_str(), X_OK) == 0) return;
  throw HostError(
      "sbatch not found on PATH: install the Slurm client programs (Debian: apt-get install "
      "slurm-client) on the machine that submits");
}

// Runs sbatch --parsable; returns the job id it prints ("id" or "id;cluster").
std::string sbatch(std::vector<std::string> args) {
  args.insert(args.begin(), {"sbatch", "--parsable"});
  const Ran r = run_program(args);
  const std::string line = last_line(r.output);
  const std::string id = line.substr(0, line.find(';'));
  if (r.status != 0 || id.empty() || id.find_first_not_of("0123456789") != std::string::npos)
    throw HostError("sbatch failed (status " + std::to_string(r.status) + "): " + line);
  return id;
}

// Outputs that are missing or do not read as an image of the scene's size.
std::vector<std::string> bad_outputs(const JobSpec& job, const Chunk& chunk) {
  std::vector<std::string> bad;
  for (int frame : chunk.frames())
    for (const std::string& pattern : job.outputs) {
      const std::string path = frame_path(pattern, frame);
      try {
        FrameImage image(job.width, job.height);
        read_image(path, image);
      } catch (const std::exception&) {
        bad.push_back(path);
      }
    }
  return bad;
}

// The check job: every expected file, one summary line, to the log and summary.txt.
int check(const std::string& jobdir) {
  const std::string description = absolute(jobdir) + "/job.txt";
  const JobSpec job = parse_job(read_text(description), description);
  std::vector<std::string> bad;
  size_t total = 0;
  for (const Chunk& c : job.chunks()) {
    const std::vector<std::string> b = bad_outputs(job, c);
    bad.insert(bad.end(), b.begin(), b.end());
    total += c.frames().size() * job.outputs.size();
  }
  std::string line = (bad.empty() ? "ok: " : "failed: ") + std::to_string(total - bad.size()) +
                     " of " + std::to_string(total) + " files written and readable";
  for (size_t i = 0; i < bad.size(); ++i) line += (i ? ", " : "; missing or unreadable: ") + bad[i];
  write_file_atomically(job.summary_path(), line + "\n");
  printf("%s\n", line.c_str());
  return bad.empty() ? 0 : 1;
}

// The star databases the scene's filters name, as the scene file holds them:
// a loaded filter would already have swapped a bad one for its default.
std::vector<std::string> scene_databases(const SceneFile& file, const std::string& scene) {
  std::vector<std::string> found;
  for (const FilterEntry& f : file.filters)
    if (const std::optional<std::string> name = star_filter::star_file(f.settings))
      found.push_back(star_filter::database_path(*name, fs::path(scene).parent_path().string()));
  return found;
}

// A folder the nodes write into, tried with a real file (permission bits do
// not tell root about read-only mounts). Made when `make` is set; otherwise
// its nearest existing parent must take files.
void require_writable(const std::string& dir, bool make) {
  std::error_code ec;
  if (make) fs::create_directories(dir, ec);
  fs::path probe_dir(dir);
  while (!make && !fs::exists(probe_dir, ec) && probe_dir.has_relative_path())
    probe_dir = probe_dir.parent_path();
  std::string probe = (probe_dir / ".vantrel-write-test.XXXXXX").string();
  const int fd = ec ? -1 : mkstemp(probe.data());
  if (fd < 0)
    throw HostError("the output folder " + dir + " is not writable (" +
                    (ec ? ec.message() : std::string(strerror(errno))) + ")");
  close(fd);
  unlink(probe.c_str());
  // A dry run makes nothing, and Slurm fails a task whose log folder is
  // missing without a word: the commands it prints need the folder there.
  if (!make && probe_dir != fs::path(dir))
    throw HostError("the output folder " + dir +
                    " does not exist; a dry run makes nothing (submit without --dry-run makes it)");
}

// The folder for the scripts, description and logs: beside the first output,
// named after it ("out/sky.####.png" gives "out/sky.job").
std::string job_folder(const std::string& output) {
  const fs::path p(output);
  std::string stem = p.filename().string();
  stem = stem.substr(0, stem.find_first_of("#%"));
  while (!stem.empty() && (stem.back() == '.' || stem.back() == '_' || stem.back() == '-'))
    stem.pop_back();
  stem = stem.substr(0, stem.find('.'));
  return p.parent_path().string() + "/" + (stem.empty() ? "frames" : stem) + ".job";
}

// Slurm's forms of a time limit: M, M:S, H:M:S, D-H, D-H:M, D-H:M:S, or no
// limit. sbatch would refuse anything else only when the job is handed over.
void check_time_limit(const std::string& t) {
  if (t.empty() || t == "INFINITE" || t == "UNLIMITED") return;
  auto number = [](const std::string& part) {
    return !part.empty() && part.size() <= 9 &&
           part.find_first_not_of("0123456789") == std::string::npos;
  };
  const size_t dash = t.find('-');
  std::vector<std::string> parts;
  std::stringstream fields(dash == std::string::npos ? t : t.substr(dash + 1));
  for (std::string part; std::getline(fields, part, ':');) parts.push_back(part);
  bool ok = !parts.empty() && parts.size() <= 3 && t.back() != ':' &&
            (dash == std::string::npos || number(t.substr(0, dash)));
  for (const std::string& part : parts) ok = ok && number(part);
  if (!ok)
    throw HostError("--time " + t +
                    " is no time Slurm takes: MINUTES, MINUTES:SECONDS, HOURS:MINUTES:SECONDS, "
                    "DAYS-HOURS, DAYS-HOURS:MINUTES or DAYS-HOURS:MINUTES:SECONDS");
}

// The cluster's largest array index plus one; 0 when Slurm does not say.
long max_array_size() {
  const Ran r = run_program({"scontrol", "show", "config"});
  if (r.status != 0) return 0;
  std::stringstream lines(r.output);
  for (std::string line; std::getline(lines, line);) {
    std::stringstream words(line);
    std::string key, equals;
    long value = 0;
    if (words >> key >> equals >> value && key == "MaxArraySize" && equals == "=") return value;
  }
  return 0;
}

// sbatch refuses an array index at or above MaxArraySize; said here, with the
// chunk size that fits, rather than by sbatch after the scripts are written.
void check_array_size(const JobSpec& job, const std::vector<int>& indices) {
  if (indices.empty()) return;
  const long most = max_array_size();
  const int last = *std::max_element(indices.begin(), indices.end());
  if (most <= 0 || last < most) return;
  const long long frames = (static_cast<long long>(job.last) - job.first) / job.step + 1;
  throw HostError("the job needs array indices up to " + std::to_string(last) +
                  ", but the cluster's MaxArraySize is " + std::to_string(most) + ": use --chunk " +
                  std::to_string((frames + most - 1) / most) + " or more");
}

JobSpec describe(const SubmitOptions& o) {
  if (o.scene.empty()) throw HostError("submit needs a scene (or --resume JOBDIR)");
  if (o.outputs.empty()) throw HostError("submit needs -o PATTERN: where the nodes write frames");
  if (o.chunk < 1) throw HostError("--chunk expects at least 1 frame");
  if (o.jobs < 0) throw HostError("--jobs expects 0 (no limit) or more");
  JobSpec job;
  job.program = fs::read_symlink("/proc/self/exe").string();  // the nodes run this same program
  job.scene = absolute(o.scene);
  job.plugin = absolute(plugin_path(o.plugin));
  const SceneFile file = read_scene(job.scene);
  const RenderSettings& r = file.scene.render;
  job.first = r.first_frame, job.last = r.last_frame, job.step = r.frame_step;
  if (!o.frames.empty()) parse_range("--frames", o.frames, job.first, job.last), job.step = 1;
  job.chunk = o.chunk, job.jobs = o.jobs;
  job.width = r.width, job.height = r.height;
  job.databases = scene_databases(file, job.scene);
  job.workdir = fs::current_path().string();
  const bool several = job.last > job.first;
  for (const std::string& out : o.outputs) {
    if (several && !is_frame_pattern(out))
      throw HostError("-o " + out + " needs #### or %04d to number several frames");
    job.outputs.push_back(absolute(out));
  }
  if (!o.background.empty()) job.background = absolute(o.background);
  job.jobdir = job_folder(job.outputs[0]);
  job.name = "vantrel-" + fs::path(job.scene).stem().string();
  check_time_limit(o.time_limit);
  job.partition = o.partition, job.time_limit = o.time_limit, job.sbatch_args = o.sbatch_args;
  return job;
}

// The plug-in renders with its default database when the scene's cannot be
// read: on a cluster that would be frames of the wrong sky, so it is refused here.
void check_database(const std::string& path) {
  const std::string problem = star_filter::database_problem(path);
  if (!problem.empty()) throw HostError(problem);
}

// What the nodes read must be there, and where they write must take files.
void check_inputs(const JobSpec& job, bool make_folders) {
  for (const std::string& path : {job.program, job.scene, job.plugin})
    if (access(path.c_str(), R_OK) != 0)
      throw HostError("cannot read " + path + ": " + strerror(errno));
  for (const std::string& path : job.databases) check_database(path);
  if (!job.background.empty())
    for (const Chunk& c : job.chunks())
      for (int f : c.frames())
        if (access(frame_path(job.background, f).c_str(), R_OK) != 0)
          throw HostError("cannot read the background " + frame_path(job.background, f) + ": " +
                          strerror(errno));
  for (const std::string& out : job.outputs)
    require_writable(fs::path(out).parent_path().string(), make_folders);
}

// A job's state and exit code from scontrol; empty when Slurm no longer knows it.
struct JobState {
  std::string state, exit_code, task;
};

std::vector<JobState> job_states(const std::string& id) {
  const Ran r = run_program({"scontrol", "-o", "show", "job", id});
  std::vector<JobState> states;
  if (r.status != 0) return states;
  std::stringstream lines(r.output);
  for (std::string line; std::getline(lines, line);) {
    auto field = [&](const std::string& key) {
      const std::string::size_type at = line.find(" " + key + "=");
      if (at == std::string::npos) return std::string();
      const std::string::size_type start = at + key.size() + 2;
      return line.substr(start, line.find(' ', start) - start);
    };
    states.push_back({field("JobState"), field("ExitCode"), field("ArrayTaskId")});
  }
  return states;
}

bool finished(const std::string& state) {
  for (const char* s : {"PENDING", "RUNNING", "CONFIGURING", "COMPLETING", "SUSPENDED", "REQUEUED",
                        "RESIZING", "SIGNALING", "STAGE_OUT"})
    if (state == s) return false;
  return true;
}

// The summary line the check job wrote, or empty when it has not run.
std::string summary_of(const JobSpec& job) {
  std::ifstream in(job.summary_path());
  std::string line;
  std::getline(in, line);
  return line;
}

// Which chunks of the array did not complete, with their state and exit code.
std::string failed_chunks(const JobSpec& job, const std::string& array_id) {
  const std::vector<Chunk> chunks = job.chunks();
  std::string failed;
  for (const JobState& t : job_states(array_id)) {
    const int index = atoi(t.task.c_str());
    if (t.state == "COMPLETED" || index < 0 || size_t(index) >= chunks.size()) continue;
    failed += (failed.empty() ? "" : ", ") + std::string("chunk ") + t.task + " (frames " +
              chunks[size_t(index)].ranges() + ") " + t.state + " exit " + t.exit_code;
  }
  return failed;
}

// Waits for the check job; its end is the whole job's. Exits 0 only when it
// completed, so every chunk rendered and every file reads back. A job Slurm
// no longer answers for (a passing failure of scontrol, or a job long gone)
// is judged by the summary its check wrote.
int wait_for(const JobSpec& job, const std::string& array_id, const std::string& check_id) {
  std::string state;
  for (int unknown = 0; unknown < 10;) {
    const std::vector<JobState> s = job_states(check_id);
    unknown = s.empty() ? unknown + 1 : 0;
    if (!s.empty() && finished(s[0].state)) {
      state = s[0].state;
      break;
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  const std::string summary = summary_of(job);
  if (state == "COMPLETED" || (state.empty() && summary.rfind("ok: ", 0) == 0)) {
    printf("%s\n", summary.c_str());
    return 0;
  }
  std::string why = failed_chunks(job, array_id);
  if (why.empty())
    why = summary.empty() ? "the check job ended " + (state.empty() ? "unseen" : state) : summary;
  throw HostError("job " + array_id + " failed: " + why + "; logs in " + job.jobdir + "/logs");
}

// Submits the chosen chunks and the check job after them.
int submit(const JobSpec& job, const std::vector<int>& indices, const SubmitOptions& o) {
  check_array_size(job, indices);
  const std::string array = "--array=" + array_indices(indices, job.jobs);
  if (o.dry_run) {
    printf("# %s\n%s\n# %s\n%s\n", job.render_script_path().c_str(), render_script(job).c_str(),
           job.check_script_path().c_str(), check_script(job).c_str());
    printf("array=$(sbatch --parsable %s %s)\n", array.c_str(),
           shell_quote(job.render_script_path()).c_str());
    printf("sbatch --parsable --dependency=afterok:\"${array%%%%;*}\" %s\n",
           shell_quote(job.check_script_path()).c_str());
    return 0;
  }
  fs::create_directories(job.jobdir + "/logs");
  write_file_atomically(job.render_script_path(), render_script(job));
  write_file_atomically(job.check_script_path(), check_script(job));
  write_file_atomically(job.description_path(), format_job(job));
  unlink(job.summary_path().c_str());  // a former run's summary must not answer for this one
  const std::string array_id = sbatch({array, job.render_script_path()});
  const std::string check_id =
      sbatch({"--dependency=afterok:" + array_id, job.check_script_path()});
  printf("submitted job array %s (%zu chunk%s) and check job %s; scripts and logs in %s\n",
         array_id.c_str(), indices.size(), indices.size() == 1 ? "" : "s", check_id.c_str(),
         job.jobdir.c_str());
  fflush(stdout);
  return o.wait ? wait_for(job, array_id, check_id) : 0;
}

int resume(const SubmitOptions& o) {
  if (!o.scene.empty() || !o.outputs.empty() || !o.frames.empty())
    throw HostError("--resume takes no scene, -o or --frames: the job folder holds them");
  const std::string description = absolute(o.resume) + "/job.txt";
  const JobSpec job = parse_job(read_text(description), description);
  check_inputs(job, !o.dry_run);
  const std::vector<Chunk> chunks = job.chunks();
  std::vector<int> missing;
  for (size_t i = 0; i < chunks.size(); ++i)
    if (!bad_outputs(job, chunks[i]).empty()) missing.push_back(static_cast<int>(i));
  if (missing.empty()) {
    printf("all %zu chunks of %s are written: nothing to resubmit\n", chunks.size(),
           job.jobdir.c_str());
    return 0;
  }
  return submit(job, missing, o);
}

int run(const SubmitOptions& o) {
  if (!o.check.empty()) return check(o.check);
  if (!o.dry_run) require_slurm_client();  // before anything is made
  if (!o.resume.empty()) return resume(o);
  const JobSpec job = describe(o);
  check_inputs(job, !o.dry_run);
  std::vector<int> all(job.chunks().size());
  for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<int>(i);
  return submit(job, all, o);
}

}  // namespace

Command submit_command(CLI::App& app) {
  auto o = std::make_shared<SubmitOptions>();
  CLI::App* s = app.add_subcommand(
      "submit", "render a scene's frames on a Slurm cluster: a job array and a check job");
  s->add_option("scene", o->scene, "scene file (on storage the nodes share)");
  s->add_option("--output,-o", o->outputs, "image pattern to write (#### or %04d); may repeat");
  add_plugin_option(s, o->plugin);
  s->add_option("--frames", o->frames, "frame or range A-B (default: the scene's range)");
  s->add_option("--chunk", o->chunk, "frames per array task (default 10)");
  s->add_option("--background", o->background, "image under each frame (#### or %04d)");
  s->add_option("--partition", o->partition, "Slurm partition");
  s->add_option("--time", o->time_limit, "time limit of each task, as sbatch takes it");
  s->add_option("--jobs", o->jobs, "tasks running at once (default: no limit)");
  s->add_option("--sbatch-arg", o->sbatch_args,
                "an extra sbatch option, as --sbatch-arg=--mem=4G; may repeat");
  s->add_flag("--dry-run", o->dry_run, "print the scripts and sbatch commands, run nothing");
  s->add_flag("--wait", o->wait, "wait for the job and exit with its status");
  s->add_option("--resume", o->resume, "resubmit the chunks of JOBDIR whose files are missing");
  s->add_option("--check", o->check, "check the files of JOBDIR (what the check job runs)");
  return {s, [o] { return run(*o); }};
}

}  // namespace host
