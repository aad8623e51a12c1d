/* The host's panel toolkit ("LWXPanel"), its drawing functions, and the file
 * requester, file type pattern and directory info services.
 *
 * A plug-in creates a panel from a control table, describes its values with
 * a value table (for a view, with get and set operations that reach the
 * instance the view is bound to; for a form, without them: the toolkit holds
 * the values), and adds hints: a list of pointer-sized tokens closed by a 0
 * token. Each hint is a tag followed by tokens: the tag's low 7 bits give the
 * number of fixed tokens after it, and bit 0x80 means that a further list of
 * tokens follows, closed by a 0 token. A 32-bit number travels sign-extended
 * to the token width. The toolkit calls the plug-in back (get, set, button,
 * drawing, popup and destroy operations) on one thread. */
#ifndef VANTREL_HOSTAPI_PANEL_H
#define VANTREL_HOSTAPI_PANEL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define VH_PANEL "LWXPanel"
#define VH_FILE_REQUEST "File Request"
#define VH_FILE_TYPE_PATTERN "File Type Pattern"
#define VH_DIRECTORY_INFO "Directory Info"

typedef void* VHPanelID;
/* One drawing area while the toolkit has a drawing operation paint it. */
typedef void* VHDrawArea;
typedef intptr_t VHPanelToken;

/* A token from a 32-bit number (sign-extended), a pointer or a function. */
#define VH_TOKEN_NUM(n) ((VHPanelToken)(int32_t)(n))
#define VH_TOKEN_PTR(p) ((VHPanelToken)(p))

/* Panel kinds. */
enum { VH_PANEL_VIEW = 1, VH_PANEL_FORM = 2 };

/* Refresh requests answered by a set operation. */
enum { VH_REFRESH_NONE = 0, VH_REFRESH_REDRAW = 2, VH_REFRESH_ALL = 3 };

/* Hint tags. The number of fixed tokens is the tag's low 7 bits. */
#define VH_HINT_FIXED(tag) ((int)((tag)&0x7F))
#define VH_HINT_HAS_LIST(tag) (((tag)&0x80) != 0)
enum {
  /* id (0: the panel itself), text, 0: the panel's title or a control's label */
  VH_HINT_LABEL = 0x3D000B03,
  /* control: the one that takes the first keyboard focus */
  VH_HINT_FOCUS = 0x3D001201,
  /* destroy operation, 0: called when the panel is destroyed */
  VH_HINT_DESTROY = 0x3D001302,
  /* control, minimum, maximum, step */
  VH_HINT_RANGE = 0x3D014304,
  /* control, parameter: a number field's own setting; the toolkit may ignore it */
  VH_HINT_NUMERIC = 0x3D014402,
  /* control, array of texts closed by null, 0: a choice control's choices */
  VH_HINT_CHOICES = 0x3D014503,
  /* control, button operation */
  VH_HINT_BUTTON = 0x3D015F02,
  /* control, count operation, name operation: a popup's entries */
  VH_HINT_POPUP = 0x3D016203,
  /* control, drawing operation */
  VH_HINT_DRAW = 0x3D016502,
  /* control, two numbers: a drawing area's configuration; the toolkit may ignore it */
  VH_HINT_AREA = 0x3D017403,
  /* control, mode (0 open, 1 save), title, file type (null: any), 0: an sFileName's requester */
  VH_HINT_FILE = 0x3D019105,
  /* list of controls: each one shares a row with the control after it */
  VH_HINT_ROW = 0x3D021280,
  /* control, then a list of further controls: a divider after each of them */
  VH_HINT_DIVIDER = 0x3D021481,
  /* the form's buttons: 2 is confirm and cancel */
  VH_HINT_BUTTONS = 0x3D02BD01
};

/* Control and value tables end with an entry whose id is 0. Control classes:
 * "float" (a double), "integer" (a 32-bit integer), "color" (three doubles,
 * red first), "iChoice" and "iPopChoice" (the chosen index), "iBoolean" (0 or
 * 1), "sFileName" (a NUL-terminated path), "vButton" and "dThumbnail" (none). */
typedef struct VHPanelControl {
  uint32_t id;
  const char* label;
  const char* control_class;
} VHPanelControl;

/* Value types: "float", "integer", "string". */
typedef struct VHPanelValue {
  uint32_t id;
  const char* name;
  const char* value_type;
} VHPanelValue;

/* A view's value: a pointer to it, null for a value the plug-in does not serve. */
typedef void* (*VHPanelGetFunc)(void* instance, uint32_t value_id);
/* Stores a new value given by pointer; answers a VH_REFRESH_ request. */
typedef int (*VHPanelSetFunc)(void* instance, uint32_t value_id, void* value);
typedef void (*VHPanelButtonFunc)(VHPanelID panel, uint32_t control);
typedef void (*VHPanelDrawFunc)(VHPanelID panel, uint32_t control, VHDrawArea area, int width,
                                int height);
/* Receives the instance a view is bound to (a form: its user data 0). */
typedef void (*VHPanelDestroyFunc)(void* instance);
/* A popup's entries; data is the panel's user data 0. */
typedef int (*VHPanelCountFunc)(void* data);
typedef const char* (*VHPanelNameFunc)(void* data, int index);

typedef struct VHPanelDrawFuncs VHPanelDrawFuncs;
struct VHPanelDrawFuncs {
  void* host;
  /* Paints pixel (x, y) of the area; components 0 to 255; x = 0 is the left
   * column, y = 0 the top row. */
  void (*rgb_pixel)(const VHPanelDrawFuncs* self, VHDrawArea area, int x, int y, int r, int g,
                    int b);
};

typedef struct VHPanelFuncs VHPanelFuncs;
struct VHPanelFuncs {
  void* host;
  const VHPanelDrawFuncs* draw;
  /* Null when the toolkit cannot make the panel. */
  VHPanelID (*create)(const VHPanelFuncs* self, int kind, const VHPanelControl* controls);
  void (*destroy)(const VHPanelFuncs* self, VHPanelID panel);
  /* get and set are null for a form. */
  void (*describe)(const VHPanelFuncs* self, VHPanelID panel, const VHPanelValue* values,
                   VHPanelGetFunc get, VHPanelSetFunc set);
  /* id 0: hints of the panel as a whole. */
  void (*hint)(const VHPanelFuncs* self, VHPanelID panel, uint32_t id, const VHPanelToken* hints);
  void* (*get_data)(const VHPanelFuncs* self, VHPanelID panel, uint32_t id);
  void (*set_data)(const VHPanelFuncs* self, VHPanelID panel, uint32_t id, void* data);
  /* A form's value by pointer, valid until the value changes; null when it has none. */
  void* (*form_get)(const VHPanelFuncs* self, VHPanelID panel, uint32_t value_id);
  void (*form_set)(const VHPanelFuncs* self, VHPanelID panel, uint32_t value_id, void* value);
  void (*bind_instance)(const VHPanelFuncs* self, VHPanelID panel, void* instance);
  /* Reads every control of a view again from its instance. */
  void (*refresh)(const VHPanelFuncs* self, VHPanelID panel);
  /* Shows a form modally; non-zero when the user confirmed. */
  int (*post)(const VHPanelFuncs* self, VHPanelID panel);
};

/* "File Request": shows the requester. name holds a mark ('<' open, '>'
 * save) and a file name pattern; folder the folder to start in. Non-zero when
 * a file was chosen: full then holds its path, name and folder its parts.
 * Each buffer holds length bytes. */
typedef struct VHFileRequestFuncs VHFileRequestFuncs;
struct VHFileRequestFuncs {
  void* host;
  int (*request)(const VHFileRequestFuncs* self, const char* title, char* name, char* folder,
                 char* full, int length);
};

/* "File Type Pattern" and "Directory Info": the file name pattern, or the
 * folder, of a named file type such as "Settings"; null for an unknown type. */
typedef struct VHFileTypeFuncs VHFileTypeFuncs;
struct VHFileTypeFuncs {
  void* host;
  const char* (*answer)(const VHFileTypeFuncs* self, const char* file_type);
};

#ifdef __cplusplus
}
#endif

#endif
