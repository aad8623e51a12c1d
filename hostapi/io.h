/* Load and save states: the host's tagged-block streams, handed to plug-ins
 * for scenes and opened for them by the "File IO 2" service. Each operation
 * takes the state's own data pointer first. */
#ifndef VANTREL_HOSTAPI_IO_H
#define VANTREL_HOSTAPI_IO_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A block identifier: four characters, the first in the most significant
 * byte, and its keyword. Tables end with an entry whose id is 0. */
typedef struct VHBlockID {
  uint32_t id;
  const char* token;
} VHBlockID;

#define VH_BLOCK_ID(a, b, c, d) \
  (((uint32_t)(a) << 24) | ((uint32_t)(b) << 16) | ((uint32_t)(c) << 8) | (uint32_t)(d))

/* Stream modes. */
enum { VH_IO_BINARY = 0, VH_IO_TEXT = 1 };

typedef struct st_LWLoadState {
  int mode;
  void* data;
  /* Raw bytes: in binary mode the file's bytes, inside a block its content.
   * Returns the count read, 0 at the end, -1 on an error. */
  int (*read)(void* data, char* buffer, int length);
  /* Enters the next block whose id is in the table, skipping others at this
   * depth; 0 when no such block follows before the enclosing block ends. */
  uint32_t (*find_block)(void* data, const VHBlockID* table);
  /* Leaves the current block, skipping what is left of it. */
  void (*end_block)(void* data);
  int (*depth)(void* data);
  /* Values of the current block in order; each returns the count read. */
  int (*read_i4)(void* data, int32_t* values, int count);
  int (*read_fp)(void* data, float* values, int count);
  /* At most max - 1 bytes and a NUL; returns the length, -1 when no string follows. */
  int (*read_str)(void* data, char* buffer, int max);
} st_LWLoadState;

typedef struct st_LWSaveState {
  int mode;
  void* data;
  void (*write)(void* data, const char* buffer, int length);
  void (*begin_block)(void* data, const VHBlockID* id, int leaf);
  void (*end_block)(void* data);
  int (*depth)(void* data);
  void (*write_i4)(void* data, const int32_t* values, int count);
  void (*write_fp)(void* data, const float* values, int count);
  void (*write_str)(void* data, const char* text);
} st_LWSaveState;

#ifdef __cplusplus
}
#endif

#endif
