// SPDX-License-Identifier: Apache-2.0
// What the pictures cost: a full redraw of the bundled scene in each program (the
// work of one frame once the pile has started again within it), the same drawn face
// by face as filled polygons for comparison, and the receiver's handling of one
// received chunk when every chunk places kelbos.
//   build with -DKELBOS_BUILD_BENCH=ON, run build/bench/picture_bench
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QPainter>

#include "core/scene.h"
#include "receiver/app/receiver_picture.h"
#include "receiver/counting/kelbo_counting.h"
#include "receiver/records/colour_slots.h"
#include "receiver/records/connection_records.h"
#include "shell/kelbo_canvas.h"
#include "transmitter/app/kelbo_picture.h"

namespace kelbos {
namespace {

constexpr QSize PICTURE(900, 640);

Scene bundled_scene() {
    Scene scene;
    if (!read_init_file(scene, KELBOS_SCENES_DIR "/kelbostx.init").ok()) std::abort();
    scene.scene_loaded = true;
    return scene;
}

// Every kelbo of the scene in the image, face by face.
void BM_FullRedrawAsPolygons(benchmark::State& state) {
    const Scene scene = bundled_scene();
    QImage image(PICTURE, QImage::Format_RGB32);
    KelboBrushes brushes;
    make_kelbo_brushes(brushes);
    for (auto _ : state) {
        QPainter painter(&image);
        painter.fillRect(image.rect(), Qt::black);
        painter.setPen(QPen(Qt::black, 0));
        for (int i = 0; i < scene.point_count; ++i) {
            const KelboFaces faces = kelbo_faces(scene.shape, kelbo_origin(scene.points[i], PICTURE.height()));
            KelboCanvas::draw_faces(painter, faces, brushes.dark, brushes.base, brushes.light);
        }
    }
    state.counters["kelbos/s"] =
        benchmark::Counter(static_cast<double>(scene.point_count), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_FullRedrawAsPolygons)->Unit(benchmark::kMillisecond);

// The transmitter's full pile, as its canvas redraws it.
void BM_TransmitterFullRedraw(benchmark::State& state) {
    Scene scene = bundled_scene();
    scene.kelbo_countdown = scene.point_count - 1;
    KelboBrushes brushes;
    make_kelbo_brushes(brushes);
    KelboCanvas canvas;
    canvas.resize(PICTURE);
    canvas.set_paint_handler(
        [&](QPainter& p, const QRect& r) { paint_scene(p, r, scene, canvas.client_bottom(), brushes); });
    for (auto _ : state) {
        canvas.invalidate_all();
        canvas.flush();
    }
    state.counters["kelbos/s"] =
        benchmark::Counter(static_cast<double>(scene.point_count), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_TransmitterFullRedraw)->Unit(benchmark::kMillisecond);

// The receiver's full picture with kelbos of three links in turn.
void BM_ReceiverFullRedraw(benchmark::State& state) {
    Scene scene = bundled_scene();
    ColourSlots colour_slots;
    colour_slots.set_default();
    const int ids[] = {colour_slots.alloc_colour_slot("#FF0000"), colour_slots.alloc_colour_slot("#00FF00"),
                       colour_slots.alloc_colour_slot("#0000FF")};
    for (int i = 0; i < scene.point_count; ++i) scene.points[i].slot = ids[i % 3];
    scene.next_point = scene.point_count;
    ReceiverPicture picture(scene, colour_slots);
    KelboCanvas canvas;
    canvas.resize(PICTURE);
    picture.set_canvas(&canvas);
    for (auto _ : state) {
        canvas.invalidate_all();
        canvas.flush();
    }
    state.counters["kelbos/s"] =
        benchmark::Counter(static_cast<double>(scene.point_count), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_ReceiverFullRedraw)->Unit(benchmark::kMillisecond);

// One 150000-byte chunk on a link of 100000-bit kelbos: counted, twelve kelbos placed
// and their area marked; the frame that draws them is not part of it.
void BM_ReceiverChunk(benchmark::State& state) {
    Scene scene = bundled_scene();
    ColourSlots colour_slots;
    colour_slots.set_default();
    ConnectionTable table;
    table[1].kelbo_bytes = 100000 / 8;
    table[1].colour_slot = colour_slots.alloc_colour_slot("#FF0000");
    ReceiverPicture picture(scene, colour_slots);
    KelboCanvas canvas;
    canvas.resize(PICTURE);
    picture.set_canvas(&canvas);
    for (auto _ : state) picture.place(count_bytes(table, 1, 150000), table[1].colour_slot);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 150000);
}
BENCHMARK(BM_ReceiverChunk);

}  // namespace
}  // namespace kelbos

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
