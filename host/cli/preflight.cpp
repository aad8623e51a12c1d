#include "host/cli/preflight.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>

#include "host/core/files.h"
#include "host/core/scenefile.h"
#include "host/core/star_filter.h"
#include "host/images/images.h"
// The plug-in's ASSERT is not seen here, but the image library's headers are.
#include <OpenImageIO/imageio.h>

namespace host {

namespace {

namespace fs = std::filesystem;

// One spelling per file, for telling whether two names are the same file.
std::string same_file_key(const std::string& path) {
  std::error_code ec;
  const fs::path p = fs::weakly_canonical(fs::absolute(path), ec);
  return ec ? fs::absolute(path).lexically_normal().string() : p.string();
}

// The databases the scene's filters name, as the host will open them.
std::vector<std::string> usable_databases(const RunInputs& run) {
  std::vector<std::string> found;
  for (const FilterEntry& f : read_scene(run.scene).filters) {
    const std::optional<std::string> name = star_filter::star_file(f.settings);
    if (!name) continue;
    const std::string path = star_filter::database_path(*name, folder_of(run.scene));
    const std::string problem = star_filter::database_problem(path);
    if (problem.empty())
      found.push_back(path);
    else if (!run.allow_default_database)
      throw HostError(run.scene + ":" + std::to_string(f.line) + ": " + problem +
                      " (--allow-default-database renders with the plug-in's default one)");
  }
  return found;
}

// Why a background frame cannot be used; empty when it can.
std::string background_problem(const std::string& path, const RunInputs& run) {
  const InputFile file(path);
  if (!file.is_open()) return "cannot read the background " + path + ": " + file.reason();
  auto in = OIIO::ImageInput::open(path);
  if (!in) return "cannot read the background " + path + ": " + OIIO::geterror();
  const OIIO::ImageSpec& spec = in->spec();
  if (spec.width == run.width && spec.height == run.height) return "";
  return path + " is " + std::to_string(spec.width) + " x " + std::to_string(spec.height) +
         ", the scene's frames are " + std::to_string(run.width) + " x " +
         std::to_string(run.height);
}

// Every background frame; the paths, to keep the outputs off them.
std::vector<std::string> check_backgrounds(const RunInputs& run) {
  std::vector<std::string> paths;
  if (run.background.empty()) return paths;
  size_t bad = 0;
  std::string first_problem;
  for (int f : run.frames) {
    paths.push_back(frame_path(run.background, f));
    const std::string problem = background_problem(paths.back(), run);
    if (problem.empty()) continue;
    if (!run.keep_going) throw HostError(problem);
    if (!bad++) first_problem = problem;
  }
  if (bad)
    fprintf(stderr, "warning: %zu background frame%s cannot be used (first: %s); %s\n", bad,
            bad == 1 ? "" : "s", first_problem.c_str(),
            bad == 1 ? "that frame will fail" : "those frames will fail");
  return paths;
}

// An output folder is made as needed, pipelines writing into fresh folders;
// it takes files when one can be made there: permission bits do not tell
// root about read-only mounts.
void check_output_folder(const std::string& folder) {
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (!fs::is_directory(folder))
    throw HostError("cannot make the folder " + folder + ": " +
                    (ec ? ec.message() : std::string("a file stands in its way")));
  std::string probe = folder + "/.vantrel-write-test.XXXXXX";
  const int fd = mkstemp(probe.data());
  if (fd < 0)
    throw HostError("the output folder " + folder + " is not writable (" + strerror(errno) + ")");
  close(fd);
  unlink(probe.c_str());
}

}  // namespace

void check_scene_databases(const RunInputs& run) { usable_databases(run); }

void check_run_inputs(const RunInputs& run) {
  // Reading the plates starts the image library's threads, and the frames'
  // workers are forked later: a process with those threads must not fork. So
  // a child reads them, its one-line error coming back through a pipe.
  int pipe_ends[2];
  if (pipe(pipe_ends) != 0)
    throw HostError(std::string("cannot check the inputs: ") + strerror(errno));
  fflush(stderr);
  const pid_t child = fork();
  if (child < 0) throw HostError(std::string("cannot check the inputs: ") + strerror(errno));
  if (child == 0) {
    close(pipe_ends[0]);
    std::string error;
    try {
      check_run_inputs_here(run);
    } catch (const std::exception& e) {
      error = e.what();
    }
    const ssize_t written = write(pipe_ends[1], error.data(), error.size());
    fflush(stderr);
    _exit(written == static_cast<ssize_t>(error.size()) ? 0 : 1);
  }
  close(pipe_ends[1]);
  std::string error;
  char buffer[512];
  ssize_t n;
  while ((n = read(pipe_ends[0], buffer, sizeof buffer)) != 0) {
    if (n > 0)
      error.append(buffer, static_cast<size_t>(n));
    else if (errno != EINTR)
      break;
  }
  close(pipe_ends[0]);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (!error.empty()) throw HostError(error);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    throw HostError("the check of the run's inputs ended unexpectedly");
}

void check_run_inputs_here(const RunInputs& run) {
  std::map<std::string, std::string> inputs = {{same_file_key(run.scene), "the scene"}};
  for (const std::string& db : usable_databases(run))
    inputs.emplace(same_file_key(db), "the star database");
  for (const std::string& bg : check_backgrounds(run))
    inputs.emplace(same_file_key(bg), "a background frame");
  std::set<std::string> folders;
  for (const std::string& pattern : run.outputs)
    for (int f : run.frames) {
      const std::string out = frame_path(pattern, f);
      const auto input = inputs.find(same_file_key(out));
      if (input != inputs.end())
        throw HostError("the output " + out + " is " + input->second +
                        " of this render; writing it would lose it");
      if (folders.insert(folder_of(out)).second) check_output_folder(folder_of(out));
    }
}

}  // namespace host
