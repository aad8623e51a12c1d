// The configuration file: key and value pairs, one line each as written.
#include "LW/config_file.h"

#include <cstdlib>
#include <cstring>

#include "LW/module_state.h"
#include "LW/star_file.h"
#include "base/map.h"
#include "osapi/osapi.h"

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

namespace {

void set_ini_defaults() {
  vantrel_module.default_star_file = default_star_file_path(&vantrel_module.default_star_file_3d);
  vantrel_module.dialog_x = -9999;
  vantrel_module.dialog_y = -9999;
  vantrel_module.enable_auto_update = 1;
}

// The file's lines in order, each as it must read back; empty when a value
// could not survive the round trip (a path with a double quote or a line break).
String ini_text() {
  String text;
  auto line = [&text](const String& l) { text += l + "\r\n"; };
  line(String::format("VantrelVersion %d", 1));
  if (!vantrel_module.default_star_file.empty()) {
    if (strpbrk(vantrel_module.default_star_file.c_str(), "\"\r\n")) return String();
    line(String::format("DefaultStarFile \"%s\"", vantrel_module.default_star_file.c_str()));
  }
  line(String::format("DialogX %d", vantrel_module.dialog_x));
  line(String::format("DialogY %d", vantrel_module.dialog_y));
  if (vantrel_module.enable_auto_update == 0) line(String::format("EnableAutoUpdate %d", 0));
  return text;
}

// Whole or not at all: a temporary file beside the real one, flushed, then renamed over it.
void write_ini_atomically(const String& path, const String& text) {
  const String tmp =
      path + String::format(".tmp-%llu", static_cast<unsigned long long>(OSAPI::clock_us()));
  OSAPI::FileHandle file = OSAPI::open_file(tmp.c_str(), OSAPI::OPEN_WRITE | OSAPI::OPEN_NEW_ONLY);
  if (!file.valid()) return;  // a folder we may not write to: nothing is written, nothing said
  try {
    const int n = static_cast<int>(text.length());
    if (OSAPI::write_file(file, text.c_str(), n) != n) THROW_STR("short write to %s", tmp.c_str());
    OSAPI::flush_file(file);
    OSAPI::close(file);
  } catch (const Xception&) {
    OSAPI::close(file);
    OSAPI::remove_file(tmp.c_str());
    throw;
  }
  // Something in the file's place that cannot be replaced (a folder) is a
  // place we may not write to, as when the open fails.
  try {
    OSAPI::rename_file(tmp.c_str(), path.c_str());
  } catch (const Xception&) {
    OSAPI::remove_file(tmp.c_str());
  }
}

// The first line may carry a UTF-8 byte-order mark that editors add.
const char* without_bom(const String& line) {
  const char* p = line.c_str();
  return strncmp(p, "\xEF\xBB\xBF", 3) == 0 ? p + 3 : p;
}

}  // namespace

void reset_vantrel_ini() {
  set_ini_defaults();
  save_vantrel_ini();
}

namespace {

// Reads the file's pairs into the map; false when the file is empty. A line
// that is not well formed ends the reading with a warning.
bool read_ini_pairs(OSAPI::FileHandle& file, PtrMap<InString, String>& map) {
  OSAPI::FileInput raw(file);
  BufferedInput in(raw, 4096);
  bool first = true;
  int number = 1;
  for (String line = in.readline(); line.length() > 0; line = in.readline(), ++number) {
    if (!parse_ini_line(map, first ? without_bom(line) : line.c_str())) {
      warning(VANTREL_FUNCTION,
              "Vantrel: %s:%d: not a keyword and a value; the rest of the file is not read",
              vantrel_ini_path().c_str(), number);
      break;
    }
    first = false;
  }
  return !first || in.tell() != 0;
}

}  // namespace

void load_vantrel_ini() {
  VantrelModule& m = vantrel_module;
  String path = vantrel_ini_path();
  m.ini_is_foreign = false;
  OSAPI::FileHandle file;
  try {
    file = OSAPI::open_file_or_die(path.c_str(), OSAPI::OPEN_READ);
  } catch (const Xception&) {
    // No file yet, or none we may read: defaults, written anew.
    reset_vantrel_ini();
    return;
  }
  PtrMap<InString, String> map(16);
  const bool any = read_ini_pairs(file, map);
  // Closed before the file is rewritten: Windows shares an open file for
  // reading only, and the rewrite would fail without a word.
  OSAPI::close(file);
  if (!any) {
    // An empty file holds nothing to keep: it is written with the defaults.
    reset_vantrel_ini();
    return;
  }
  if (ini_get_int(map, "VantrelVersion", 666) != 1) {
    // Not ours to overwrite: another version's settings, or someone else's file.
    warning(VANTREL_FUNCTION,
            "Vantrel: %s has no \"VantrelVersion 1\" line; using the defaults and leaving the "
            "file as it is",
            path.c_str());
    set_ini_defaults();
    m.ini_is_foreign = true;
    return;
  }
  m.default_star_file = ini_get_string(map, "DefaultStarFile", "");
  bool v2 = false;
  if (!m.default_star_file.empty() && star_file_check(m.default_star_file.c_str(), &v2))
    m.default_star_file_3d = v2;
  else
    m.default_star_file = default_star_file_path(&m.default_star_file_3d);
  m.dialog_x = ini_get_int(map, "DialogX", -9999);
  m.dialog_y = ini_get_int(map, "DialogY", -9999);
  m.enable_auto_update = ini_get_int(map, "EnableAutoUpdate", 1);
}

void save_vantrel_ini() {
  const String path = vantrel_ini_path();
  if (vantrel_module.ini_is_foreign) {
    warning(VANTREL_FUNCTION, "Vantrel: %s was not written by this version and is left as it is",
            path.c_str());
    return;
  }
  const String text = ini_text();
  if (text.empty()) {
    warning(VANTREL_FUNCTION,
            "Vantrel: the star database path %s cannot be kept in %s (a double quote or a line "
            "break would not read back); the file is left as it is",
            vantrel_module.default_star_file.c_str(), path.c_str());
    return;
  }
  write_ini_atomically(path, text);
}
