// What the host knows of the star filter it was written for: its server name
// and the keywords of its saved settings that the host reads or writes. The
// filter's blocks stay the plug-in's own; every command that looks inside
// them does so through these names.
#pragma once

#include <optional>
#include <string>

#include "host/core/blocks.h"
#include "host/core/filter.h"

namespace host::star_filter {

constexpr char kServer[] = "Vantrel";
constexpr char kStarFile[] = "StarFile";
constexpr char kSrgbFrameBuffer[] = "sRGBFrameBuffer";
constexpr char kBlurSegs[] = "BlurSegs";
constexpr char kProjection[] = "Projection";
constexpr char kParentId[] = "ParentID";
constexpr char kLumThreshold[] = "LumThreshold";
constexpr char kProjections[][24] = {"Perspective", "Hemispherical", "AzimuthalEquidistant"};

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

}  // namespace host::star_filter
