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

#include "tools/catalog.h"

namespace {

int convert(const std::string& input, const std::string& output, const std::string& format_name,
            bool v1, bool v2, double mag_limit, double epoch, bool strict, bool quiet) {
  const stars::Format format = stars::format_from_name(format_name);
  std::ifstream in(input);
  if (!in) throw stars::CatalogError("cannot read " + input + ": " + strerror(errno));
  stars::ReadReport report;
  std::vector<stars::CatalogStar> list;
  try {
    list = stars::read_catalog(in, format, report, strict);
  } catch (const stars::CatalogError& e) {
    throw stars::CatalogError(input + ": " + e.what());
  }
  if (report.malformed) {
    fprintf(stderr, "%s: skipped %ld malformed line%s:\n", input.c_str(), report.malformed,
            report.malformed == 1 ? "" : "s");
    for (const std::string& p : report.first_problems) fprintf(stderr, "  %s\n", p.c_str());
    if (report.malformed > static_cast<long>(report.first_problems.size()))
      fprintf(stderr, "  ...\n");
  }
  std::vector<stars::CatalogStar> kept;
  bool any_distance = false;
  for (stars::CatalogStar& s : list) {
    if (s.mag > mag_limit) continue;
    if (epoch == epoch) stars::apply_proper_motion(s, epoch - stars::catalog_epoch(format));
    any_distance = any_distance || s.distance > 0;
    kept.push_back(s);
  }
  const bool version2 = v2 || (!v1 && any_distance);
  stars::write_database(output, kept, version2);
  if (!quiet)
    fprintf(stderr, "%s: %zu stars (of %zu read) as VANTREL%d\n", output.c_str(), kept.size(),
            list.size(), version2 ? 2 : 1);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"vantrel-stars: star catalogues to Vantrel star databases"};
  app.require_subcommand(1);
  std::string input, output, format = "kstars", file;
  bool v1 = false, v2 = false, strict = false, quiet = false;
  double mag_limit = 1e9, epoch = std::nan("");
  CLI::App* c = app.add_subcommand("convert", "convert a catalogue to a star database");
  c->add_option("input", input, "catalogue file")->required();
  c->add_option("-o,--output", output, "star database to write")->required();
  c->add_option("--format", format,
                "kstars (stars.dat), hyg (HYG CSV) or csv (ra_deg, dec_deg, mag, ...)");
  auto* o1 = c->add_flag("--v1", v1, "write VANTREL1: no distances");
  auto* o2 = c->add_flag("--v2", v2, "write VANTREL2 even without distances");
  o1->excludes(o2);
  c->add_option("--mag-limit", mag_limit, "leave out stars fainter than this magnitude");
  c->add_option("--epoch", epoch, "move stars along their proper motion to this year");
  c->add_flag("--strict", strict, "stop at the first malformed line");
  c->add_flag("--quiet,-q", quiet, "no summary");
  CLI::App* i = app.add_subcommand("info", "describe a star database");
  i->add_option("file", file, "star database")->required();
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }
  try {
    if (*c) return convert(input, output, format, v1, v2, mag_limit, epoch, strict, quiet);
    fputs(stars::describe(stars::inspect_database(file), file).c_str(), stdout);
    return 0;
  } catch (const std::exception& e) {
    fprintf(stderr, "vantrel-stars: %s\n", e.what());
    return 1;
  }
}
