// One use of the filter in a scene: its settings, and what the plug-in keeps for it.
#pragma once

#include <cstdint>
#include <memory>

#include "LW/firewall.h"
#include "LW/frame_memory.h"
#include "LW/settings.h"
#include "LW/star_file.h"

struct vantrel : VantrelSettings {
  bool PanelOpen = false;
  std::unique_ptr<LWStarFile> StarSource;  // the database loaded for StarFile
  std::unique_ptr<FrameMemory> Pixels;     // null until the first frame
  int32_t PanelProjection = 0;             // panel scratch
  char PanelStarFileText[4096] = {};
  // The text of the last failed copy, load or save, which the host may hold
  // until the instance goes.
  FailureText Failure;
};

// Every setting at its default, StarFile from the configuration file; the
// instance holds no database and no open panel. The panel scratch is kept.
void vantrel_defaults(vantrel* v);
