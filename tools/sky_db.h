// Star databases ordered on the sky with their cell index (stardb/sky_cells.h):
// writing them from a stream of records of any length in bounded memory,
// reading them back, ordering an existing one, merging several, and a
// synthetic sky for benchmarks.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/core/files.h"
#include "stardb/sky_cells.h"

namespace stars {

// From now on SIGINT and SIGTERM stop the work at the next check: the
// temporaries are removed and what was there before stays.
void stop_on_signals();
// Throws CatalogError "interrupted" once a signal has come.
void check_stopped();

struct WriterOptions {
  int level = -1;  // the cells' level; -1 picks one from the star count
  // Records sorted in memory at once; more go to sorted runs on the disk.
  size_t run_stars = size_t{1} << 21;
  bool progress = false;  // counts on the standard error stream while it is a terminal
};

// The level giving about a thousand stars a cell, at most level 9.
int level_for(uint64_t stars);

// Takes records in any order and writes them, ordered by cell and from the
// brightest down within a cell, with the sidecar index; both whole or not at
// all. Runs sorted on the disk lie beside the output until finish or failure.
class DatabaseWriter {
public:
  DatabaseWriter(const std::string& path, const WriterOptions& options);
  ~DatabaseWriter();
  DatabaseWriter(const DatabaseWriter&) = delete;
  DatabaseWriter& operator=(const DatabaseWriter&) = delete;

  void add(const unsigned char* record);
  uint64_t count() const { return total; }
  // Writes the database as VANTREL2 (or VANTREL1, whose records then carry no
  // distances) and its index.
  void finish(bool version2);
  int level() const { return chosen_level; }
  uint64_t cells() const { return cell_count; }

private:
  struct Item;
  class Runs;
  void spill();
  std::string path;
  WriterOptions options;
  std::vector<Item> items;
  std::unique_ptr<Runs> runs;
  uint64_t total = 0, cell_count = 0;
  int chosen_level = 0;
};

// A database read record by record. Throws CatalogError for a file that is
// not a whole database (a partial record at its end included).
class DatabaseReader {
public:
  explicit DatabaseReader(const std::string& path);
  int version() const { return header_version; }
  uint64_t count() const { return records; }
  const unsigned char* header() const { return head; }
  // The next record, or nullptr at the end.
  const unsigned char* next();

private:
  host::InputFile in;
  std::string path;
  unsigned char head[star_db::kRecordSize];
  int header_version = 0;
  uint64_t records = 0, done = 0;
  std::vector<unsigned char> chunk;
  size_t at = 0, filled = 0;
};

// Orders and indexes input into output (which may be the same path).
void index_database(const std::string& input, const std::string& output,
                    const WriterOptions& options);

struct MergeReport {
  std::vector<uint64_t> read, kept;  // per input
};
// One star where inputs overlap (within an arc second and half a magnitude),
// the earlier input's; the output is VANTREL2 when any input is.
MergeReport merge_databases(const std::vector<std::string>& inputs, const std::string& output,
                            const WriterOptions& options);

struct SynthOptions {
  uint64_t stars = 0;
  uint64_t seed = 1;
  // Stars of the model brighter than this magnitude are left out, so that
  // the field can go under a real catalogue's bright stars.
  double fainter_than = -100;
};
// A deterministic sky of about the real one's make-up: crowded towards the
// galactic plane, about three times as many stars per magnitude fainter,
// dwarfs' and giants' colours, distances from a spread of luminosities.
void synthesize(const SynthOptions& synth, const std::string& output, const WriterOptions& options);

// What a database's header and sidecar say about its order and index.
struct IndexState {
  star_db::Layout layout;
  bool has_index = false;  // a sidecar that matches the database
  std::string problem;     // why a sidecar present is not used; empty when none
  star_db::IndexHead head;
};
IndexState read_index_state(const std::string& path);

}  // namespace stars
