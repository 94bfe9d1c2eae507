// Encoding and decoding the records that travel most: snapshots (several a
// second) and segments carrying a thumbnail and a preview. Bytes per second
// are of JSON text.
#include <benchmark/benchmark.h>

#include "bench/landing_frames.h"
#include "core/message.h"

namespace {

using namespace vantle::core;
using vantle::bench::randomBytes;

const Instant kNow = instantFromUnix(1740837909);

VantleMessage segmentMessage() {
  const ShotSegmentRecord r{"/Volumes/Shoots/Spring Catalogue/Capture/Look 31", kNow, kNow, 100, 148,
                            "IMG_0148.CR3", kNow, kNow, 0, 95, 12};
  return {.t = VantleMessage::Kind::segment,
          .segment = WireSegment::fromRecord(412, r, false, "shoot", "Spring Catalogue", "session", "agent",
                                             randomBytes(40 * 1024, 1), randomBytes(250 * 1024, 2))};
}

VantleMessage snapshotMessage() {
  return {.t = VantleMessage::Kind::snapshot, .snapshot = vantle::bench::busySnapshot(148)};
}

void encode(benchmark::State& state, const VantleMessage& m) {
  for (auto _ : state) {
    std::string text = m.encodeText();
    benchmark::DoNotOptimize(text);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * m.encodeText().size()));
}

void decode(benchmark::State& state, const VantleMessage& m) {
  const std::string text = m.encodeText();
  for (auto _ : state) {
    auto decoded = VantleMessage::decodeText(text, kNow);
    if (!decoded) state.SkipWithError("did not decode");
    benchmark::DoNotOptimize(decoded);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_SnapshotEncode(benchmark::State& state) { encode(state, snapshotMessage()); }
void BM_SnapshotDecode(benchmark::State& state) { decode(state, snapshotMessage()); }
void BM_SegmentWithImagesEncode(benchmark::State& state) { encode(state, segmentMessage()); }
void BM_SegmentWithImagesDecode(benchmark::State& state) { decode(state, segmentMessage()); }

BENCHMARK(BM_SnapshotEncode);
BENCHMARK(BM_SnapshotDecode);
BENCHMARK(BM_SegmentWithImagesEncode);
BENCHMARK(BM_SegmentWithImagesDecode);

}  // namespace

BENCHMARK_MAIN();
