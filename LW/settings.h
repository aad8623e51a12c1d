// An instance's settings as tagged blocks: in scenes (with the parent item)
// and in settings files of their own (without it).
#pragma once

#include "LW/vantrel.h"
#include "hostapi/io.h"

// The identifier table, in the order of writing, ended by an entry with id 0.
extern const VHBlockID vantrel_block_ids[22];

// Raises "unknown projection" for a projection other than 0, 1 and 2.
void vantrel_save(const vantrel* v, const st_LWSaveState* state, bool scene);
// Reads blocks until the end marker or the end of the data; version 1 and 2 forms.
void vantrel_load(vantrel* v, const st_LWLoadState* state);

// Raise "error saving settings file" / "error opening settings file" when the
// file cannot be opened (or, saving, not written); failures while writing or
// reading the blocks are reported and the file is still closed.
void vantrel_save_to_file(const vantrel* v, const char* path);
void vantrel_load_from_file(vantrel* v, const char* path);
