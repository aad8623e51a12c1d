// Shared by the fuzz targets: a failed property stops the run with the input
// that broke it, which libFuzzer then keeps as a crash artifact.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

inline void require(bool property, const char* what, const std::string& detail = "") {
  if (property) return;
  fprintf(stderr, "property broken: %s\n%s\n", what, detail.c_str());
  abort();
}
