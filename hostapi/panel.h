/* The host's panel toolkit and file requester services. */
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
/* Hint lists are pointer-sized tokens; 32-bit numbers are sign-extended. */
typedef intptr_t VHPanelToken;

/* Panel kinds. */
enum { VH_PANEL_VIEW = 1, VH_PANEL_FORM = 2 };

/* Refresh requests answered by a set operation. */
enum { VH_REFRESH_NONE = 0, VH_REFRESH_REDRAW = 2, VH_REFRESH_ALL = 3 };

typedef struct VHPanelControl {
  uint32_t id; /* 0 ends the table */
  const char* label;
  const char* control_class; /* "float", "integer", "color", "iChoice", ... */
} VHPanelControl;

typedef struct VHPanelValue {
  uint32_t id; /* 0 ends the table */
  const char* name;
  const char* value_type; /* "float", "integer", "string" */
} VHPanelValue;

typedef void* (*VHPanelGetFunc)(void* instance, uint32_t value_id);
typedef int (*VHPanelSetFunc)(void* instance, uint32_t value_id, void* value);

typedef struct VHPanelDrawFuncs {
  void (*draw_rgb_pixel)(VHPanelID panel, uint32_t control, int x, int y, int r, int g, int b);
} VHPanelDrawFuncs;

typedef struct VHPanelFuncs VHPanelFuncs;
struct VHPanelFuncs {
  void* host;
  const VHPanelDrawFuncs* draw;
  VHPanelID (*create)(const VHPanelFuncs* self, int kind, const VHPanelControl* controls);
  void (*destroy)(const VHPanelFuncs* self, VHPanelID panel);
  void (*describe)(const VHPanelFuncs* self, VHPanelID panel, const VHPanelValue* values,
                   VHPanelGetFunc get, VHPanelSetFunc set);
  void (*hint)(const VHPanelFuncs* self, VHPanelID panel, uint32_t id, const VHPanelToken* hints);
  void* (*get_data)(const VHPanelFuncs* self, VHPanelID panel, uint32_t id);
  void (*set_data)(const VHPanelFuncs* self, VHPanelID panel, uint32_t id, void* data);
  void* (*form_get)(const VHPanelFuncs* self, VHPanelID panel, uint32_t value_id);
  void (*form_set)(const VHPanelFuncs* self, VHPanelID panel, uint32_t value_id, void* value);
  void (*bind_instance)(const VHPanelFuncs* self, VHPanelID panel, void* instance);
  void (*refresh)(const VHPanelFuncs* self, VHPanelID panel);
  /* Runs a modal panel; non-zero when the user confirmed. */
  int (*post)(const VHPanelFuncs* self, VHPanelID panel);
};

/* "File Request": non-zero when a file was chosen; full receives its path. */
typedef int (*VHFileRequestFunc)(const char* title, char* name, char* folder, char* full,
                                 int buffer_length);
/* "File Type Pattern" and "Directory Info": for a named file type such as
 * "Settings", its file name pattern and its folder. */
typedef const char* (*VHFileTypeFunc)(const char* file_type);

#ifdef __cplusplus
}
#endif

#endif
