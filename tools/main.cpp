// vantrel-stars: star catalogues to star databases, and a look inside databases.
//
//   vantrel-stars convert INPUT -o OUT.stars [--format kstars|hyg|csv] [--v1|--v2]
//                 [--mag-limit M] [--epoch YEAR] [--strict]
//   vantrel-stars info FILE
#include <CLI/CLI.hpp>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <new>

#include "tools/catalog.h"

namespace {

struct ConvertOptions {
  std::string input, output, format;  // empty: guessed from the input's name
  bool v1 = false, v2 = false, strict = false, quiet = false;
  double mag_limit = 1e9, epoch = std::nan("");
};

void check_options(const ConvertOptions& o, stars::Format format) {
  if (std::isnan(o.mag_limit)) throw stars::CatalogError("--mag-limit expects a magnitude");
  const double base = stars::catalog_epoch(format);
  if (!std::isnan(o.epoch) && !(std::fabs(o.epoch - base) <= stars::kMaxEpochYears))
    throw stars::CatalogError("--epoch expects a year within " +
                              std::to_string(static_cast<long>(stars::kMaxEpochYears)) +
                              " years of the catalogue's " +
                              std::to_string(static_cast<long>(base)));
}

void report_malformed(const std::string& input, const stars::ReadReport& report) {
  if (!report.malformed) return;
  fprintf(stderr, "%s: skipped %ld malformed line%s:\n", input.c_str(), report.malformed,
          report.malformed == 1 ? "" : "s");
  for (const std::string& p : report.first_problems) fprintf(stderr, "  %s\n", p.c_str());
  if (report.malformed > static_cast<long>(report.first_problems.size()))
    fprintf(stderr, "  ...\n");
}

// The format a catalogue's name suggests: KStars' stars.dat, the HYG
// database's CSV, or another CSV.
std::string format_for_name(const std::string& input) {
  std::string name = input.substr(input.find_last_of('/') + 1);
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  auto ends = [&](const std::string& tail) {
    return name.size() >= tail.size() &&
           name.compare(name.size() - tail.size(), tail.size(), tail) == 0;
  };
  if (ends(".dat")) return "kstars";
  if (ends(".csv")) return name.find("hyg") != std::string::npos ? "hyg" : "csv";
  throw stars::CatalogError("cannot tell the catalogue format of " + input +
                            " from its name: name it with --format kstars, hyg or csv");
}

int convert(const ConvertOptions& o) {
  const std::string format_name = o.format.empty() ? format_for_name(o.input) : o.format;
  const stars::Format format = stars::format_from_name(format_name);
  if (o.format.empty() && !o.quiet)
    fprintf(stderr, "%s: read as %s, as its name suggests (--format names another)\n",
            o.input.c_str(), format_name.c_str());
  check_options(o, format);
  // A pipe is a fine catalogue; a folder or a device is none.
  const host::InputFile kind(o.input, true);
  if (!kind.is_open()) throw stars::CatalogError("cannot read " + o.input + ": " + kind.reason());
  std::ifstream in(o.input, std::ios::binary);
  if (!in) throw stars::CatalogError("cannot read " + o.input + ": " + strerror(errno));
  stars::ReadReport report;
  std::vector<stars::CatalogStar> list;
  try {
    list = stars::read_catalog(in, format, report, o.strict);
  } catch (const stars::CatalogError& e) {
    throw stars::CatalogError(o.input + ": " + e.what());
  }
  report_malformed(o.input, report);
  std::vector<stars::CatalogStar> kept;
  bool any_distance = false;
  for (stars::CatalogStar& s : list) {
    if (s.mag > o.mag_limit) continue;
    if (!std::isnan(o.epoch)) stars::apply_proper_motion(s, o.epoch - stars::catalog_epoch(format));
    any_distance = any_distance || s.distance > 0;
    kept.push_back(s);
  }
  // A database without stars renders an empty sky without a word: not written.
  if (kept.empty())
    throw stars::CatalogError(
        o.input + ": no stars to write (" + std::to_string(report.lines) + " lines, " +
        std::to_string(report.malformed) + " malformed" +
        (list.empty() ? "" : ", " + std::to_string(list.size()) + " fainter than --mag-limit") +
        "; read as " + format_name + ")");
  const bool version2 = o.v2 || (!o.v1 && any_distance);
  stars::write_database(o.output, kept, version2);
  if (!o.quiet)
    fprintf(stderr, "%s: %zu stars (of %zu read) as VANTREL%d\n", o.output.c_str(), kept.size(),
            list.size(), version2 ? 2 : 1);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"vantrel-stars: star catalogues to Vantrel star databases"};
  app.require_subcommand(1);
  ConvertOptions o;
  std::string file;
  CLI::App* c = app.add_subcommand("convert", "convert a catalogue to a star database");
  c->add_option("input", o.input, "catalogue file")->required();
  c->add_option("-o,--output", o.output, "star database to write")->required();
  c->add_option("--format", o.format,
                "kstars (stars.dat), hyg (HYG CSV) or csv (ra_deg, dec_deg, mag, ...), in any "
                "case (default: as the input's name suggests, .dat kstars, .csv csv or hyg)");
  auto* o1 = c->add_flag("--v1", o.v1, "write VANTREL1: no distances");
  auto* o2 = c->add_flag("--v2", o.v2, "write VANTREL2 even without distances");
  o1->excludes(o2);
  c->add_option("--mag-limit", o.mag_limit, "leave out stars fainter than this magnitude");
  c->add_option("--epoch", o.epoch, "move stars along their proper motion to this year");
  c->add_flag("--strict", o.strict, "stop at the first malformed line");
  c->add_flag("--quiet,-q", o.quiet, "no summary");
  CLI::App* i = app.add_subcommand("info", "describe a star database");
  i->add_option("file", file, "star database")->required();
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // --help and --version print and succeed; a usage error is one line and status 2.
    if (e.get_exit_code() == 0) return app.exit(e);
    fprintf(stderr, "vantrel-stars: %s (see --help)\n", host::printable(e.what()).c_str());
    return 2;
  }
  try {
    if (*c) return convert(o);
    fputs(stars::describe(stars::inspect_database(file), file).c_str(), stdout);
    return 0;
  } catch (const std::bad_alloc&) {
    fprintf(stderr, "vantrel-stars: out of memory\n");
    return 1;
  } catch (const std::exception& e) {
    fprintf(stderr, "vantrel-stars: %s\n", e.what());
    return 1;
  }
}
