// The configuration file "vantrel.ini" beside the plug-in: the default star
// database and the dialog's place, kept in the module state.
#pragma once

#include "base/string.h"

template <class K, class V>
class PtrMap;
class InString;

String vantrel_ini_path();
void load_vantrel_ini();
void save_vantrel_ini();
void reset_vantrel_ini();
// "hipparcos3D.stars" beside the plug-in when it is a star database, else empty.
String default_star_file_path(bool* is_3d = nullptr);
int ini_get_int(PtrMap<InString, String>& map, const char* key, int fallback);
String ini_get_string(PtrMap<InString, String>& map, const char* key, const char* fallback);
// Adds every pair of the line to the map; false when the line is not well formed.
bool parse_ini_line(PtrMap<InString, String>& map, const char* line);
