// vantrel-stars: star catalogues to star databases, and a look inside databases.
//
//   vantrel-stars convert INPUT... -o OUT.stars [--format kstars|hyg|csv|tycho2|gaia]
//                 [--v1|--v2] [--mag-limit M] [--epoch YEAR] [--min-parallax-snr R] [--strict]
//   vantrel-stars merge A.stars B.stars ... -o C.stars
//   vantrel-stars index DB.stars [-o OUT.stars]
//   vantrel-stars synth --stars N [--seed S] [--fainter-than M] -o OUT.stars
//   vantrel-stars info FILE
#include <unistd.h>
#include <CLI/CLI.hpp>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <istream>
#include <new>

#include "tools/catalog.h"
#include "tools/gz_input.h"
#include "tools/sky_db.h"

namespace {

struct ConvertOptions {
  std::vector<std::string> inputs;
  std::string output, format;  // empty: guessed from the inputs
  bool v1 = false, v2 = false, quiet = false;
  stars::ReadOptions read;
  double mag_limit = 1e9, epoch = std::nan("");
  stars::WriterOptions writer;
};

void check_options(const ConvertOptions& o, stars::Format format) {
  if (std::isnan(o.mag_limit)) throw stars::CatalogError("--mag-limit expects a magnitude");
  const double base = stars::catalog_epoch(format);
  if (!std::isnan(o.epoch) && !(std::fabs(o.epoch - base) <= stars::kMaxEpochYears))
    throw stars::CatalogError("--epoch expects a year within " +
                              std::to_string(static_cast<long>(stars::kMaxEpochYears)) +
                              " years of the catalogue's " +
                              std::to_string(static_cast<long>(base)));
  if (std::isnan(o.read.min_parallax_snr))
    throw stars::CatalogError("--min-parallax-snr expects a number");
}

void report_malformed(const std::string& input, const stars::ReadReport& report) {
  if (!report.malformed) return;
  fprintf(stderr, "%s: skipped %ld malformed line%s:\n", input.c_str(), report.malformed,
          report.malformed == 1 ? "" : "s");
  for (const std::string& p : report.first_problems) fprintf(stderr, "  %s\n", p.c_str());
  if (report.malformed > static_cast<long>(report.first_problems.size()))
    fprintf(stderr, "  ...\n");
}

// Counts of one input, a line on a terminal now and then: a Gaia subset may
// run to 10^8 lines.
struct Progress {
  bool on;
  const stars::GzInput& in;
  const std::string& name;
  void show(long lines, uint64_t kept, bool last) const {
    if (!on || (!last && lines % (1 << 20) != 0)) return;
    const uint64_t size = in.raw_size();
    fprintf(stderr, "\r%s: %ld lines, %llu stars kept", name.c_str(), lines,
            static_cast<unsigned long long>(kept));
    if (size) fprintf(stderr, " (%.0f%%)", 100.0 * static_cast<double>(in.raw_offset()) / size);
    if (last) fputc('\n', stderr);
  }
};

struct Totals {
  long lines = 0, malformed = 0, no_colour = 0, no_magnitude = 0;
  uint64_t read = 0, kept = 0;
  bool any_distance = false;
};

void convert_one(const std::string& input, const ConvertOptions& o, stars::Format format,
                 stars::DatabaseWriter& out, Totals& totals) {
  stars::GzInput buffer(input);
  std::istream in(&buffer);
  stars::ReadReport report;
  const Progress progress{!o.quiet && isatty(2) == 1, buffer, input};
  const double target = std::isnan(o.epoch) ? 2000.0 : o.epoch;
  try {
    stars::read_catalog_each(in, format, report, o.read, [&](const stars::CatalogStar& read) {
      ++totals.read;
      progress.show(report.lines, totals.kept, false);
      if (read.mag > o.mag_limit) return;
      stars::CatalogStar s = read;
      if (s.epoch != target) stars::apply_proper_motion(s, target - s.epoch);
      totals.any_distance = totals.any_distance || s.distance > 0;
      out.add(reinterpret_cast<const unsigned char*>(stars::encode_record(s, !o.v1).data()));
      ++totals.kept;
    });
  } catch (const stars::CatalogError& e) {
    // A guessed format may be the wrong one: say which was tried.
    throw stars::CatalogError(
        input + ": " + e.what() +
        (o.format.empty()
             ? std::string(" (read as ") + stars::name_of(format) + ", --format names another)"
             : std::string()));
  }
  progress.show(report.lines, totals.kept, true);
  report_malformed(input, report);
  totals.lines += report.lines;
  totals.malformed += report.malformed;
  totals.no_colour += report.no_colour;
  totals.no_magnitude += report.no_magnitude;
}

// The first line of a catalogue that is neither blank nor a comment.
std::string first_data_line(const std::string& input) {
  stars::GzInput buffer(input);
  std::istream in(&buffer);
  std::string line;
  for (int i = 0; i < 1000 && std::getline(in, line); ++i) {
    const size_t start = line.find_first_not_of(" \t\r");
    if (start != std::string::npos && line[start] != '#') return line;
    if (line.size() > stars::kMaxLine) break;
  }
  return "";
}

// The format --format names, or the one every input suggests (and said).
stars::Format format_of(const ConvertOptions& o) {
  if (!o.format.empty()) return stars::format_from_name(o.format);
  const stars::Format format = stars::guess_format(o.inputs[0], first_data_line(o.inputs[0]));
  for (const std::string& input : o.inputs) {
    const stars::Format other = stars::guess_format(input, first_data_line(input));
    if (other != format)
      throw stars::CatalogError(o.inputs[0] + " reads as " + stars::name_of(format) + ", " + input +
                                " as " + stars::name_of(other) +
                                ": convert them one at a time, or name the format with --format");
  }
  if (!o.quiet)
    fprintf(stderr, "%s: read as %s (--format names another)\n",
            o.inputs.size() == 1 ? o.inputs[0].c_str() : "the inputs", stars::name_of(format));
  return format;
}

int convert(const ConvertOptions& o) {
  const stars::Format format = format_of(o);
  check_options(o, format);
  stars::DatabaseWriter out(o.output, o.writer);
  Totals t;
  for (const std::string& input : o.inputs) convert_one(input, o, format, out, t);
  // A database without stars renders an empty sky without a word: not written.
  const std::string source = o.inputs.size() == 1 ? o.inputs[0] : "the inputs";
  if (out.count() == 0)
    throw stars::CatalogError(
        source + ": no stars to write (" + std::to_string(t.lines) + " lines, " +
        std::to_string(t.malformed) + " malformed" +
        (t.read == 0 ? "" : ", " + std::to_string(t.read) + " fainter than --mag-limit") +
        "; read as " + stars::name_of(format) + ", --format names another)");
  const bool version2 = o.v2 || (!o.v1 && t.any_distance);
  out.finish(version2);
  if (o.quiet) return 0;
  if (t.no_magnitude)
    fprintf(stderr, "%s: %ld sources without a magnitude left out\n", source.c_str(),
            t.no_magnitude);
  if (t.no_colour)
    fprintf(stderr, "%s: %ld stars without a colour (drawn white)\n", source.c_str(), t.no_colour);
  fprintf(stderr, "%s: %llu stars (of %llu read) as VANTREL%d, %llu cells at level %d\n",
          o.output.c_str(), static_cast<unsigned long long>(out.count()),
          static_cast<unsigned long long>(t.read), version2 ? 2 : 1,
          static_cast<unsigned long long>(out.cells()), out.level());
  return 0;
}

struct OtherOptions {
  std::vector<std::string> inputs;
  std::string file, output;
  stars::SynthOptions synth;
  bool quiet = false;
};

int merge(const OtherOptions& o, const stars::WriterOptions& w) {
  const stars::MergeReport r = stars::merge_databases(o.inputs, o.output, w);
  if (o.quiet) return 0;
  uint64_t kept = 0;
  for (size_t i = 0; i < o.inputs.size(); ++i) {
    fprintf(stderr, "%s: %llu stars, %llu kept\n", o.inputs[i].c_str(),
            static_cast<unsigned long long>(r.read[i]), static_cast<unsigned long long>(r.kept[i]));
    kept += r.kept[i];
  }
  fprintf(stderr, "%s: %llu stars\n", o.output.c_str(), static_cast<unsigned long long>(kept));
  return 0;
}

void add_writer_options(CLI::App* app, stars::WriterOptions& w) {
  // For tests and very small memories: how many records are sorted at once.
  app->add_option("--run-stars", w.run_stars)->group("")->check(CLI::PositiveNumber);
  app->add_option("--level", w.level, "cell level (12 x 4^level cells); chosen from the count")
      ->check(CLI::Range(0, 9));
}

int info(const std::string& file) {
  fputs(stars::describe(stars::inspect_database(file), file).c_str(), stdout);
  const stars::IndexState s = stars::read_index_state(file);
  if (!s.layout.ordered)
    printf("order:       as written (no cell index)\n");
  else if (s.has_index)
    printf("order:       by cell, level %d; index of %llu cells\n", s.layout.level,
           static_cast<unsigned long long>(s.head.cells));
  else
    printf("order:       by cell, level %d; index NOT usable: %s\n", s.layout.level,
           s.problem.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"vantrel-stars: star catalogues to Vantrel star databases"};
  app.require_subcommand(1);
  ConvertOptions o;
  OtherOptions other;
  stars::WriterOptions w;
  CLI::App* c = app.add_subcommand("convert", "convert catalogues to one star database");
  c->add_option("inputs", o.inputs, "catalogue files, plain or gzip")->required();
  c->add_option("-o,--output", o.output, "star database to write")->required();
  c->add_option("--format", o.format,
                "kstars (stars.dat), hyg (HYG CSV), csv (ra_deg, dec_deg, mag, ...), tycho2 "
                "(tyc2.dat) or gaia (archive CSV), in any case (default: as the inputs' names "
                "and first lines suggest)");
  auto* o1 = c->add_flag("--v1", o.v1, "write VANTREL1: no distances");
  auto* o2 = c->add_flag("--v2", o.v2, "write VANTREL2 even without distances");
  o1->excludes(o2);
  c->add_option("--mag-limit", o.mag_limit, "leave out stars fainter than this magnitude");
  c->add_option("--epoch", o.epoch,
                "move stars along their proper motion to this year (default 2000)");
  c->add_option("--min-parallax-snr", o.read.min_parallax_snr,
                "gaia: distances only from parallaxes this many times their error (default 5)");
  c->add_flag("--strict", o.read.strict, "stop at the first malformed line");
  c->add_flag("--quiet,-q", o.quiet, "no counts");
  add_writer_options(c, o.writer);
  CLI::App* m = app.add_subcommand("merge", "merge databases, one star where they overlap");
  m->add_option("inputs", other.inputs, "databases, the first preferred")
      ->required()
      ->expected(2, -1);
  m->add_option("-o,--output", other.output, "star database to write")->required();
  m->add_flag("--quiet,-q", other.quiet, "no counts");
  add_writer_options(m, w);
  CLI::App* x = app.add_subcommand("index", "order a database on the sky and index it");
  x->add_option("file", other.file, "star database")->required();
  x->add_option("-o,--output", other.output, "write here instead of replacing the database");
  add_writer_options(x, w);
  CLI::App* s = app.add_subcommand("synth", "write a synthetic sky");
  s->add_option("--stars", other.synth.stars, "number of stars")->required();
  s->add_option("--seed", other.synth.seed, "the sky's seed (default 1)");
  s->add_option("--fainter-than", other.synth.fainter_than,
                "leave out the stars brighter than this magnitude (to go under a real catalogue)");
  s->add_option("-o,--output", other.output, "star database to write")->required();
  add_writer_options(s, w);
  CLI::App* i = app.add_subcommand("info", "describe a star database");
  i->add_option("file", other.file, "star database")->required();
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // --help and --version print and succeed; a usage error is one line and status 2.
    if (e.get_exit_code() == 0) return app.exit(e);
    fprintf(stderr, "vantrel-stars: %s (see --help)\n", host::printable(e.what()).c_str());
    return 2;
  }
  try {
    stars::stop_on_signals();
    w.progress = !other.quiet;
    o.writer.progress = !o.quiet;
    if (*c) return convert(o);
    if (*m) return merge(other, w);
    if (*x) {
      stars::index_database(other.file, other.output.empty() ? other.file : other.output, w);
      return 0;
    }
    if (*s) {
      if (other.synth.stars > 0)
        fprintf(stderr, "%s: writing %llu synthetic stars\n", other.output.c_str(),
                static_cast<unsigned long long>(other.synth.stars));
      stars::synthesize(other.synth, other.output, w);
      return 0;
    }
    return info(other.file);
  } catch (const std::bad_alloc&) {
    fprintf(stderr, "vantrel-stars: out of memory\n");
    return 1;
  } catch (const std::exception& e) {
    fprintf(stderr, "vantrel-stars: %s\n", e.what());
    return 1;
  }
}
