// The host's panel toolkit: panels built from a plug-in's control tables,
// value tables and hints, with their values, buttons, drawing areas and
// dialogs, offered as the "LWXPanel", "File Request", "File Type Pattern" and
// "Directory Info" globals.
//
// The model serves front ends (a scripted one for tests and commands, a
// browser page later). A front end enumerates a panel's controls, reads and
// writes values, presses buttons, gets drawing areas as RGB rasters, and after
// each step takes the controls it must show again. It answers the dialogs the
// plug-in posts and the file requester. Every operation may call the
// plug-in, so all of them must come from one thread: the one that made the
// toolkit.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "host/core/filter.h"
#include "host/core/host.h"
#include "host/core/plugin.h"
#include "hostapi/panel.h"

namespace host {

enum class ControlClass {
  Float,      // "float": a double
  Integer,    // "integer": a 32-bit integer
  Color,      // "color": three doubles, red first
  Choice,     // "iChoice": the index of one of its choices
  Boolean,    // "iBoolean": 0 or 1
  FileName,   // "sFileName": a path, with a file requester
  Button,     // "vButton"
  Thumbnail,  // "dThumbnail": a drawing area the plug-in paints
  PopChoice,  // "iPopChoice": a popup whose entries come from the plug-in
};
const char* class_name(ControlClass c);
// The class of a toolkit class name ("float", "iChoice", ...); false for none.
bool class_from_name(const char* name, ControlClass& out);
// Whether controls of the class hold a value.
bool has_value(ControlClass c);

// A control's value; the part that applies follows the control's class.
struct Value {
  double real[3] = {0, 0, 0};  // Float: real[0]; Color: red, green, blue
  int32_t integer = 0;         // Integer, Choice, Boolean, PopChoice
  std::string text;            // FileName
  bool present = false;        // false: the plug-in serves no value for the control

  static Value of_real(double v);
  static Value of_integer(int32_t v);
  static Value of_color(double r, double g, double b);
  static Value of_text(const std::string& v);
};

// A drawing area as painted: 3 bytes (red, green, blue) per pixel, rows top
// first. Pixels the plug-in leaves alone show the panel's background.
struct Raster {
  static constexpr uint8_t kBackground = 0x40;
  Raster() = default;
  Raster(int width, int height);
  const uint8_t* at(int x, int y) const { return &rgb[(static_cast<size_t>(y) * width + x) * 3]; }
  bool painted_at(int x, int y) const { return painted[static_cast<size_t>(y) * width + x] != 0; }
  long painted_count() const;

  int width = 0, height = 0;
  std::vector<uint8_t> rgb;
  std::vector<uint8_t> painted;  // 1 where the plug-in painted
};

// The file requester of an sFileName control.
struct FileField {
  bool present = false;
  int mode = 0;  // 0 open, 1 save
  std::string title;
  std::string file_type;  // empty: any
};

struct Control {
  uint32_t id = 0;
  std::string label;
  ControlClass cls = ControlClass::Float;
  // Its row of the value table, when it has one.
  std::string value_name, value_type;
  // From the hints.
  bool ranged = false;
  int32_t min = 0, max = 0, step = 0;
  int32_t numeric = 0;          // the number field's parameter; 0: none given
  int32_t area_config[2] = {};  // a drawing area's configuration numbers
  std::vector<std::string> choices;
  bool divider_after = false;
  uint32_t row_partner = 0;  // the control that shares this one's row, after it
  FileField file;
  VHPanelButtonFunc button = nullptr;
  VHPanelDrawFunc draw = nullptr;
  VHPanelCountFunc popup_count = nullptr;
  VHPanelNameFunc popup_name = nullptr;
  // State: the value as shown, a drawing area's size and raster.
  Value value;
  int area_width = 200, area_height = 150;
  Raster raster;
  bool stale = true;  // the raster must be painted again
};

class PanelToolkit;

class Panel {
public:
  Panel(PanelToolkit& kit, int kind) : kit(kit), kind_(kind) {}
  Panel(const Panel&) = delete;
  Panel& operator=(const Panel&) = delete;

  VHPanelID handle() { return this; }
  int kind() const { return kind_; }
  bool is_form() const { return kind_ == VH_PANEL_FORM; }
  const std::string& title() const { return title_; }
  const std::vector<Control>& controls() const { return controls_; }
  // Throws HostError when the panel has no such control.
  const Control& control(uint32_t id) const;
  // Identifiers in the order of the value table.
  const std::vector<uint32_t>& value_order() const { return values; }
  uint32_t first_focus() const { return focus; }
  int button_set() const { return buttons; }
  void* instance() const { return bound; }

  // The value as the panel shows it.
  const Value& value(uint32_t id) const { return control(id).value; }
  // Enters a value as a user would: a number is limited to the control's
  // range, a choice must be one of its choices. A view hands it to the
  // plug-in's set and honours the refresh it asks for; a form keeps it.
  // Throws HostError for a value no control of the class could take.
  void set_value(uint32_t id, Value v);
  void press(uint32_t id);
  // The sFileName control's requester; the chosen path becomes its value.
  // False when the user cancelled.
  bool browse(uint32_t id);
  // A choice control's choices, or a popup's entries as the plug-in gives them.
  std::vector<std::string> choices(uint32_t id);
  // The drawing area, painted again when it is stale.
  const Raster& raster(uint32_t id);
  void set_area_size(uint32_t id, int width, int height);
  // Reads every control again from the view's instance; drawing areas go stale.
  void refresh();
  // The controls to show again (values re-read, areas gone stale) since the last call.
  std::set<uint32_t> take_changes();

private:
  friend class PanelToolkit;
  Control& find(uint32_t id);
  Control* find_or_null(uint32_t id);
  void read(Control& c);
  void stale_areas();
  void after_set(Control& c, int refresh);
  void check_input(const Control& c, Value& v) const;
  void* data0() const;  // user data 0: what the popup operations are given

  PanelToolkit& kit;
  int kind_;
  std::string title_;
  std::vector<Control> controls_;
  std::vector<uint32_t> values;
  uint32_t focus = 0;
  int buttons = 0;
  void* bound = nullptr;
  std::map<uint32_t, void*> user_data;
  VHPanelGetFunc get = nullptr;
  VHPanelSetFunc set = nullptr;
  VHPanelDestroyFunc destroy_notify = nullptr;
  std::set<uint32_t> changes;
};

// What the plug-in asked of the file requester.
struct FileRequest {
  std::string title;
  bool save = false;  // the name buffer began with '>'
  std::string pattern;
  std::string folder;
};

// What a front end answers for the toolkit.
class FrontEnd {
public:
  virtual ~FrontEnd();
  // A form the plug-in posts, modally: the front end may set its values; true confirms.
  virtual bool post(Panel& form) = 0;
  // The chosen file's path, or nothing when the user cancelled.
  virtual std::optional<std::string> request_file(const FileRequest& request) = 0;
};

// Answers from a script, in order. A dialog or request with no answer left is
// cancelled and noted in `unexpected`.
class ScriptedFrontEnd : public FrontEnd {
public:
  bool post(Panel& form) override;
  std::optional<std::string> request_file(const FileRequest& request) override;

  std::deque<std::function<bool(Panel&)>> dialogs;
  std::deque<std::optional<std::string>> files;
  std::vector<std::string> posted;  // titles of the forms posted
  std::vector<FileRequest> requests;
  std::vector<std::string> unexpected;
};

struct FileType {
  std::string pattern;
  std::string folder;
};

class PanelToolkit {
public:
  // Offers the toolkit and the file services as the host's globals.
  PanelToolkit(Host& host, FrontEnd& front);
  PanelToolkit(const PanelToolkit&) = delete;
  PanelToolkit& operator=(const PanelToolkit&) = delete;
  // Withdraws the globals. Panels still open are dropped without their
  // destroy notification: close them while their plug-in is loaded.
  ~PanelToolkit();

  // Throws HostError for a handle that is no open panel.
  Panel& panel(VHPanelID id);
  Panel* find(VHPanelID id);
  size_t open_panels() const { return live.size(); }
  // Destroys a panel as its window closing would: its destroy notification runs.
  void close(VHPanelID id);

  Host& host;
  FrontEnd& front;
  // Named file types: their file name pattern and folder.
  std::map<std::string, FileType> file_types = {{"Settings", {"*.settings", "."}}};
  // Panels of these kinds are not made: create answers null (tests).
  std::set<int> refused_kinds;
  // What the plug-in did that the model does not accept: an unknown hint, a
  // hint naming no control, a pixel outside its area, ...
  std::vector<std::string> problems;

private:
  friend class Panel;
  friend class CallScope;
  void install_panel_funcs();
  void install_file_services();
  // The pattern or the folder of a named file type; null for an unknown type.
  const char* file_type(const char* type, std::string FileType::*part) const;
  void problem(const std::string& text);
  // The open panel, or null with a problem noted for the operation.
  Panel* known(VHPanelID id, const char* operation);
  void apply_hints(Panel& p, const VHPanelToken* tokens);
  // Hints of the panel and its layout; the others go to apply_control_hint,
  // which answers false for a tag it does not know.
  void apply_hint(Panel& p, uint32_t tag, const std::vector<VHPanelToken>& fixed,
                  const std::vector<VHPanelToken>& list);
  bool apply_control_hint(Panel& p, uint32_t tag, const std::string& what,
                          const std::vector<VHPanelToken>& fixed);
  // A token as a 32-bit number; one that was not sign-extended is noted.
  int32_t hint_number(const std::string& what, VHPanelToken t);
  // The control a token names when it is of one of the classes (any class when none are given).
  Control* hint_control(Panel& p, const std::string& what, VHPanelToken t,
                        std::initializer_list<ControlClass> classes);
  std::vector<std::string> choice_texts(const std::string& what, const char* const* texts);
  void describe(Panel& p, const VHPanelValue* values, VHPanelGetFunc get, VHPanelSetFunc set);
  Panel* create(int kind, const VHPanelControl* controls);
  void destroy(Panel& p);
  void paint(Panel& p, Control& c);
  void rgb_pixel(VHDrawArea area, int x, int y, int r, int g, int b);
  int request_file(const char* title, char* name, char* folder, char* full, int length);

  std::thread::id owner;
  std::vector<std::unique_ptr<Panel>> live;
  // Panels destroyed while a call into the plug-in was under way; freed when it ends.
  std::vector<std::unique_ptr<Panel>> graveyard;
  int depth = 0;
  Raster* painting = nullptr;
  VHPanelDrawFuncs draw_funcs{};
  VHPanelFuncs funcs{};
  VHFileRequestFuncs file_request{};
  VHFileTypeFuncs file_pattern{}, directory_info{};
};

// Every operation that may reach the plug-in runs inside one: on the
// toolkit's thread only; panels destroyed during it are freed when the
// outermost one ends.
class CallScope {
public:
  explicit CallScope(PanelToolkit& kit);
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;
  ~CallScope();

private:
  PanelToolkit& kit;
};

// Shared by the toolkit's sources: a control's value given by pointer as the
// plug-in hands it (null: none), and an identifier in hexadecimal.
void store_value(Control& c, const void* p);
std::string hex_id(uint32_t id);

// Runs the interface activation of a library's image filter for one instance
// and returns its result; the record is as the plug-in left it.
int activate_interface(const PluginLibrary& library, const std::string& server, VHInstance instance,
                       VHInterface& record, int version = VH_INTERFACE_VERSION);

// An image filter's interface, open for one instance while this lives; its
// values are read when it opens. Closing it runs the plug-in's destroy
// notification, so it must go before the instance and the library.
class OpenInterface {
public:
  // Throws HostError when the activation fails or makes no panel.
  OpenInterface(PanelToolkit& kit, const PluginLibrary& library, const FilterInstance& filter);
  OpenInterface(const OpenInterface&) = delete;
  OpenInterface& operator=(const OpenInterface&) = delete;
  ~OpenInterface();
  Panel& panel() { return kit.panel(id); }

private:
  PanelToolkit& kit;
  VHPanelID id = nullptr;
};

}  // namespace host
