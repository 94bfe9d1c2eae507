// Newest-frame pictures: a 512-pixel thumbnail of a 24-megapixel JPEG
// against `vipsthumbnail -s 512` run as a process on the same file (the
// thumbnail should take no more than 1.2 times as long), and a 1200-pixel
// preview of a 24-megapixel RAW from its embedded preview against
// developing the RAW itself. The fixtures are made here: the JPEG with the
// `vips` command, the RAW as a DNG around that JPEG. Beside them, the same
// 1200-pixel preview from a real Canon EOS R6 CR3, a body Debian's LibRaw
// does not know, through its embedded previews (target: at most 0.25 times
// the half-size develop).
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>

#include "agent/folders/raw_decoder.h"
#include "agent/folders/thumbnail_reader.h"
#include "bench/landing_frames.h"
#include "tests/agent/folders/fixtures/dng_writer.h"
#include "tests/agent/folders/fixtures/timing_report.h"

extern char** environ;

namespace {

using vantle::agent::ImageSource;
using vantle::agent::ThumbnailReader;

std::unique_ptr<vantle::testing::TempFolder> folder;
std::string jpegPath, rawPath;

// Runs a program (no shell); whether it exited with status 0.
bool run(const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  int status = 0;
  return posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) == 0 && waitpid(pid, &status, 0) == pid &&
         WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A 6000 × 4000 picture with smooth shapes and fine grain, so that it
// compresses like a photograph rather than like a flat test card.
bool makeFixtures() {
  folder = std::make_unique<vantle::testing::TempFolder>();
  const auto at = [](const char* name) { return (*folder / name).string(); };
  const std::vector<std::vector<std::string>> steps{
      {"vips", "perlin", at("shape.v"), "6000", "4000", "--cell-size", "380"},
      {"vips", "gaussnoise", at("grain.v"), "6000", "4000", "--sigma", "14", "--mean", "0"},
      {"vips", "linear", at("shape.v"), at("base.v"), "95", "128"},
      {"vips", "add", at("base.v"), at("grain.v"), at("luma.v")},
      {"vips", "linear", at("luma.v"), at("red.v"), "1.1", "4"},
      {"vips", "linear", at("luma.v"), at("blue.v"), "0.8", "30"},
      {"vips", "bandjoin", at("red.v") + " " + at("luma.v") + " " + at("blue.v"), at("rgb.v")},
      {"vips", "cast", at("rgb.v"), at("rgb8.v"), "uchar"},
      {"vips", "jpegsave", at("rgb8.v"), at("IMG_0001.JPG"), "--Q", "92"},
  };
  for (const auto& step : steps) {
    if (!run(step)) {
      std::fprintf(stderr, "fixture step failed: %s %s\n", step[0].c_str(), step[1].c_str());
      return false;
    }
  }
  jpegPath = at("IMG_0001.JPG");
  const auto jpeg = vantle::testing::readAll(jpegPath);
  // A full-size embedded preview, as most cameras write, over a 16-bit mosaic.
  const auto dng = vantle::testing::makeDng(
      {.previewJpeg = jpeg, .previewWidth = 6000, .previewHeight = 4000, .rawWidth = 6000, .rawHeight = 4000});
  rawPath = folder->write("IMG_0001.DNG", dng).string();
  std::printf("fixtures: 24 MP JPEG of %.1f MB, DNG of %.1f MB\n", jpeg.size() / 1e6, dng.size() / 1e6);
  return true;
}

// A picture of `path` at most `size` pixels long, from its embedded preview or developed.
void thumbnail(benchmark::State& state, const std::string& path, int size, bool embedded) {
  for (auto _ : state) {
    auto jpeg = ThumbnailReader::encode(ImageSource::file(path), size, embedded);
    if (!jpeg) state.SkipWithError("no thumbnail");
    benchmark::DoNotOptimize(jpeg);
  }
}

void BM_Jpeg512_ThumbnailReader(benchmark::State& state) { thumbnail(state, jpegPath, 512, false); }
void BM_Raw1200_EmbeddedPreview(benchmark::State& state) { thumbnail(state, rawPath, 1200, true); }
void BM_Raw1200_Developed(benchmark::State& state) { thumbnail(state, rawPath, 1200, false); }
void BM_CanonR6Cr3_1200_EmbeddedPreview(benchmark::State& state) {
  thumbnail(state, std::string(VANTLE_CAMERA_FILES) + "/canon-r6-pruned.cr3", 1200, true);
}

void BM_Jpeg512_VipsthumbnailProcess(benchmark::State& state) {
  const std::string out = (*folder / "tn_%s.jpg").string();
  for (auto _ : state) {
    if (!run({"vipsthumbnail", "-s", "512", "-o", out, jpegPath})) state.SkipWithError("vipsthumbnail failed");
  }
}

void BM_Raw_FullSizeDecode(benchmark::State& state) {
  for (auto _ : state) {
    auto developed = vantle::agent::RawDecoder::develop(ImageSource::file(rawPath), 1 << 30);
    if (!developed.picture) state.SkipWithError("no decode");
    benchmark::DoNotOptimize(developed);
  }
}

BENCHMARK(BM_Jpeg512_ThumbnailReader)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_Jpeg512_VipsthumbnailProcess)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_Raw1200_EmbeddedPreview)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_Raw1200_Developed)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_CanonR6Cr3_1200_EmbeddedPreview)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_Raw_FullSizeDecode)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (!makeFixtures()) return 1;
  vantle::testing::TimingReport report;
  benchmark::RunSpecifiedBenchmarks(&report);
  report.ratio("512-px thumbnail of a 24 MP JPEG vs vipsthumbnail -s 512", "BM_Jpeg512_ThumbnailReader",
               "BM_Jpeg512_VipsthumbnailProcess", 1.2);
  report.ratio("1200-px RAW preview, embedded vs developed at half size", "BM_Raw1200_EmbeddedPreview",
               "BM_Raw1200_Developed", 0.5);
  report.ratio("1200-px preview of a Canon EOS R6 CR3 (embedded) vs a DNG developed at half size",
               "BM_CanonR6Cr3_1200_EmbeddedPreview", "BM_Raw1200_Developed", 0.25);
  report.ratio("1200-px RAW preview, embedded vs a full-size decode", "BM_Raw1200_EmbeddedPreview",
               "BM_Raw_FullSizeDecode", 0.5);
  folder.reset();
  benchmark::Shutdown();
}
