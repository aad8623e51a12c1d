// What the host knows of the star filter it was written for: its server name
// and the keywords of its saved settings that the host reads or writes. The
// filter's blocks stay the plug-in's own; every command that looks inside
// them does so through these names.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "host/core/blocks.h"
#include "host/core/filter.h"
#include "host/core/host.h"

namespace host::star_filter {

constexpr char kServer[] = "Vantrel";
constexpr char kVersion[] = "VantrelVersion";
constexpr char kStarFile[] = "StarFile";
constexpr char kSrgbFrameBuffer[] = "sRGBFrameBuffer";
constexpr char kBlurSegs[] = "BlurSegs";
constexpr char kProjection[] = "Projection";
constexpr char kParentId[] = "ParentID";
constexpr char kLumThreshold[] = "LumThreshold";
constexpr char kProjections[][24] = {"Perspective", "Hemispherical", "AzimuthalEquidistant"};
// Every keyword of the filter's saved settings, to tell a mistyped one.
constexpr char kKeywords[][24] = {"VantrelVersion",  "StarFile",      "StarSize",
                                  "StarAspect",      "LumThreshold",  "LumMax",
                                  "Brightness",      "Saturation",    "BrightnessBias",
                                  "TintStrength",    "TintRed",       "TintGreen",
                                  "TintBlue",        "BlurSegs",      "ParentID",
                                  "sRGBFrameBuffer", "AnamorphicDOF", "ThreeD",
                                  "Projection",      "Parallax",      "END"};

// The sRGBFrameBuffer setting of a filter, read from the blocks it saves.
std::optional<bool> srgb(const FilterInstance& f);
// The star database a filter's saved settings name, as written; none when
// the settings name none or an empty one.
std::optional<std::string> star_file(const BlockList& settings);
// The projection a filter's saved settings name, as written; none when absent.
std::optional<std::string> projection(const BlockList& settings);
// The parent item a filter's saved settings name; none when it has none or the
// value is no 32-bit integer. Saved signed: identifiers from 2^31 up come back negative.
std::optional<uint32_t> parent_id(const BlockList& settings);

// A warning for each top-level keyword of the settings that the filter does
// not know ("s.vsc:24: StarSze is not a setting of Vantrel (did you mean
// StarSize?); it is ignored"); source names the file the settings came from.
std::vector<std::string> unknown_keywords(const BlockList& settings, const std::string& source);

// A database path as the host's file service finds it for a scene in
// scene_dir (beside the scene first, then from the working folder), made
// absolute; one found in neither place is named beside the scene.
std::string database_path(const std::string& written, const std::string& scene_dir);
// Why the file at path is no star database, as a sentence naming it ("" when it is one).
std::string database_problem(const std::string& path);
// Rewrites a relative StarFile in the filter's settings as the absolute path
// the host resolves it to now (beside host.content_dir first), so that it
// means the same database wherever the scene is rendered from.
void make_star_file_absolute(FilterInstance& f, const Host& host);

}  // namespace host::star_filter
