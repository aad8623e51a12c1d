// What a render reads and writes, checked before its first frame: a sequence
// that cannot finish fails in its first second, not at frame 7.
#pragma once

#include <string>
#include <vector>

namespace host {

struct RunInputs {
  std::string scene, background;  // background: a pattern, or empty for an empty sky
  std::vector<std::string> outputs;
  std::vector<int> frames;
  int width = 0, height = 0;
  bool keep_going = false;              // a missing background frame fails only that frame
  bool allow_default_database = false;  // a scene's unusable database gives way to the default
};

// Refuses a scene whose filters name a star database that cannot be used
// (the plug-in would render with its default one), naming the scene file and
// line, unless run.allow_default_database. Done before the scene is loaded.
void check_scene_databases(const RunInputs& run);

// Throws HostError naming the first problem: a star database the scene names
// that cannot be used, a background frame missing, unreadable or of another
// size, an output folder missing or not writable, an output that is one of the
// run's inputs. With keep_going, missing background frames are warned instead.
void check_run_inputs(const RunInputs& run);
// The same in this process (check_run_inputs runs it in a child).
void check_run_inputs_here(const RunInputs& run);

}  // namespace host
