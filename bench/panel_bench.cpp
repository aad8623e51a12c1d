// Drawing the panel's preview. BM_Preview: one 200 x 150 area through the
// built plug-in and the host's toolkit model, as a panel redraws it after a
// change (the 200 preview stars into a float image, then one toolkit call
// per pixel through the byte tables). BM_PreviewStars: the star loop alone,
// on the plug-in's core linked in.
#include <benchmark/benchmark.h>

#include "LW/frame.h"
#include "LW/xpgui.h"
#include "libkeshimage/image.h"
#include "testsupport/test_harness.h"

namespace {

void BM_Preview(benchmark::State& state) {
  harness::PanelHarness hn;
  auto f = hn.instance("");
  harness::Harness::settings(*f).sRGBFrameBuffer = 1;
  host::OpenInterface ui(hn.kit, *hn.library, *f);
  host::Panel& p = ui.panel();
  p.set_area_size(control_id(PanelControl::Preview), 200, 150);
  p.raster(control_id(PanelControl::Preview));  // the byte tables are built at the first drawing
  for (auto _ : state) {
    p.set_area_size(control_id(PanelControl::Preview), 200, 150);  // stale: painted again
    benchmark::DoNotOptimize(p.raster(control_id(PanelControl::Preview)).rgb.data());
  }
}
BENCHMARK(BM_Preview)->Unit(benchmark::kMicrosecond);

void BM_PreviewStars(benchmark::State& state) {
  vantrel* v = static_cast<vantrel*>(vantrel_create(nullptr, nullptr, nullptr));
  Kesh::Image image(Kesh::ImageSpec(200, 150, Kesh::ImageSpec::BGRA_FLOAT));
  int drawn = 0;
  for (auto _ : state) {
    image.clear();
    drawn = draw_preview_stars(*v, star_framebuffer(image), OSAPI::clock_us).drawn;
    benchmark::DoNotOptimize(image.pixels);
  }
  state.counters["stars"] = drawn;
  vantrel_destroy(v);
}
BENCHMARK(BM_PreviewStars)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
