#include "host/cli/preflight.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>

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

// A folder takes files when one can be made there: permission bits do not
// tell root about read-only mounts.
void check_output_folder(const std::string& folder) {
  std::error_code ec;
  if (!fs::is_directory(folder, ec))
    throw HostError("the output folder " + folder + " does not exist");
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
