// The configuration file: key and value pairs, one line each as written.
#include <cstdlib>
#include <cstring>

#include "LW/vantrel.h"
#include "base/map.h"
#include "osapi/osapi.h"

int dialog_x = 0;
int dialog_y = 0;
int enable_auto_update = 0;

namespace {

bool is_white(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// A file beside the plug-in. Without a known directory, the working directory.
String beside_plugin(const char* name) {
  String dir = plugin_directory();
  return dir.empty() ? String(name) : dir + String(&OSAPI::DIR_SEPARATOR, 1) + name;
}

}  // namespace

String vantrel_ini_path() { return beside_plugin("vantrel.ini"); }

String default_star_file_path(bool* is_3d) {
  String path = beside_plugin("hipparcos3D.stars");
  bool v2 = false;
  if (star_file_check(path.c_str(), &v2)) {
    if (is_3d) *is_3d = v2;
    return path;
  }
  if (is_3d) *is_3d = false;
  return String();
}

int ini_get_int(PtrMap<InString, String>& map, const char* key, int fallback) {
  const String* v = map.find(key);
  return v ? static_cast<int>(*v) : fallback;
}

String ini_get_string(PtrMap<InString, String>& map, const char* key, const char* fallback) {
  const String* v = map.find(key);
  return v ? *v : String(fallback);
}

bool parse_ini_line(PtrMap<InString, String>& map, const char* line) {
  const char* p = line;
  for (;;) {
    while (*p && is_white(*p)) ++p;
    if (!*p) return true;
    const char* key = p;
    while (*p && !is_white(*p)) ++p;
    String k(key, static_cast<size_t>(p - key));
    if (!*p) return false;
    while (*p && is_white(*p)) ++p;
    if (!*p) return false;
    String value;
    if (*p == '"') {
      const char* start = ++p;
      while (*p && *p != '"') ++p;
      if (!*p) return false;
      value = String(start, static_cast<size_t>(p - start));
      ++p;  // the next key may follow the closing quote directly
    } else {
      const char* start = p;
      while (*p && !is_white(*p)) ++p;
      value = String(start, static_cast<size_t>(p - start));
    }
    map.insert(InString(k), value);
  }
}

void reset_vantrel_ini() {
  default_star_file = default_star_file_path(&default_star_file_3d);
  dialog_x = -9999;
  dialog_y = -9999;
  enable_auto_update = 1;
  save_vantrel_ini();
}

void load_vantrel_ini() {
  String path = vantrel_ini_path();
  OSAPI::FileHandle file;
  try {
    file = OSAPI::open_file_or_die(path.c_str(), OSAPI::OPEN_READ);
  } catch (const Xception&) {
    // No file yet, or none we may read: defaults, written anew.
    reset_vantrel_ini();
    return;
  }
  PtrMap<InString, String> map(16);
  {
    OSAPI::FileInput raw(file);
    BufferedInput in(raw, 4096);
    for (String line = in.readline(); line.length() > 0; line = in.readline()) {
      if (!parse_ini_line(map, line.c_str())) {
        warning(VANTREL_FUNCTION, "Error reading Vantrel INI file:");
        break;
      }
    }
  }
  // Closed before an unusable file is rewritten: Windows shares an open file
  // for reading only, and the rewrite would fail without a word.
  OSAPI::close(file);
  if (ini_get_int(map, "VantrelVersion", 666) != 1) {
    warning(VANTREL_FUNCTION, "Vantrel");
    reset_vantrel_ini();
    return;
  }
  default_star_file = ini_get_string(map, "DefaultStarFile", "");
  bool v2 = false;
  if (!default_star_file.empty() && star_file_check(default_star_file.c_str(), &v2))
    default_star_file_3d = v2;
  else
    default_star_file = default_star_file_path(&default_star_file_3d);
  dialog_x = ini_get_int(map, "DialogX", -9999);
  dialog_y = ini_get_int(map, "DialogY", -9999);
  enable_auto_update = ini_get_int(map, "EnableAutoUpdate", 1);
}

void save_vantrel_ini() {
  String path = vantrel_ini_path();
  OSAPI::FileHandle file = OSAPI::open_file(path.c_str(), OSAPI::OPEN_WRITE);
  if (!file.valid()) return;  // a folder we may not write to: nothing is written, nothing said
  auto line = [&](const String& text) {
    OSAPI::write_file(file, text.c_str(), static_cast<int>(text.length()));
    OSAPI::write_file(file, "\r\n", 2);
  };
  line(String::format("VantrelVersion %d", 1));
  if (!default_star_file.empty())
    line(String::format("DefaultStarFile \"%s\"", default_star_file.c_str()));
  line(String::format("DialogX %d", dialog_x));
  line(String::format("DialogY %d", dialog_y));
  if (enable_auto_update == 0) line(String::format("EnableAutoUpdate %d", 0));
  OSAPI::close(file);
}
