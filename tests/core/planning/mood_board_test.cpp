#include "core/planning/mood_board.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <random>
#include <vector>

#include "core/planning/split_mix64.h"

namespace vantle::core {
namespace {

using namespace MoodBoardLayout;

TEST(SplitMix64, MatchesThePublishedSequence) {
  SplitMix64 random(0);
  EXPECT_EQ(random.next(), 0xE220A8397B1DCDAFULL);
  EXPECT_EQ(random.next(), 0x6E789E6AA1B965F4ULL);
}

TEST(MoodBoard, OneColumnStacksWithSpacingAndSanitisedRatios) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<double> ratios{0, -1, inf, std::nan(""), 10, 0.1, 2};
  const double heights[] = {100, 100, 100, 100, 20, 500, 50};
  for (int64_t columns : {1, 0, -4}) {
    const Board b = board(ratios, 42, columns, 100, 8);
    ASSERT_EQ(b.tiles.size(), ratios.size());
    double y = 0;
    for (const Tile& t : b.tiles) {
      EXPECT_EQ(t, (Tile{t.index, 0, y, 100, heights[t.index]}));
      y = t.maxY() + 8;
    }
    EXPECT_EQ(b.height, y - 8);
  }
}

TEST(MoodBoard, ColumnWidths) {
  std::vector<double> widths;
  for (uint64_t seed = 1; seed < 10; ++seed) {
    for (const Tile& t : board(std::vector<double>(12, 1.5), seed, 2, 1000, 10).tiles) widths.push_back(t.width);
  }
  EXPECT_TRUE(std::all_of(widths.begin(), widths.end(), [](double w) { return w == 495 || w == 1000; }));
  EXPECT_NE(std::find(widths.begin(), widths.end(), 1000), widths.end());
  EXPECT_EQ(board(std::vector<double>{1, 2}, 1, 3, 100, 60), Board{});  // no width left for columns
  // A huge column count costs nothing: every tile lands in the first row.
  for (const Tile& t : board(std::vector<double>{1, 1, 1}, 3, INT64_MAX, 1e12, 0).tiles) EXPECT_EQ(t.y, 0);
}

// Tiles inside the width and apart, the height at the lowest bottom.
void expectSound(const Board& b, double width) {
  double lowest = 0;
  for (size_t i = 0; i < b.tiles.size(); ++i) {
    const Tile& t = b.tiles[i];
    EXPECT_TRUE(t.x >= 0 && t.x + t.width <= width + 1e-9 && t.height > 0);
    lowest = std::max(lowest, t.maxY());
    for (size_t j = 0; j < i; ++j) {
      const Tile& u = b.tiles[j];
      const bool apart = t.x + t.width <= u.x + 1e-9 || u.x + u.width <= t.x + 1e-9 ||
                         t.maxY() <= u.y + 1e-9 || u.maxY() <= t.y + 1e-9;
      EXPECT_TRUE(apart) << t.index << " overlaps " << u.index;
    }
  }
  EXPECT_DOUBLE_EQ(b.height, lowest);
}

void expectEachIndexOnce(const std::vector<Tile>& tiles, size_t count) {
  std::vector<int64_t> indices;
  for (const Tile& t : tiles) indices.push_back(t.index);
  std::sort(indices.begin(), indices.end());
  for (size_t i = 0; i < count; ++i) indices[i] -= static_cast<int64_t>(i);
  EXPECT_EQ(indices, std::vector<int64_t>(count, 0));
}

TEST(MoodBoard, RandomBoardsAndPagesHoldEveryTileOnceWithoutOverlap) {
  std::mt19937_64 random(99);
  std::uniform_int_distribution<int> count(1, 40);
  std::uniform_int_distribution<int64_t> columns(1, 6);
  std::uniform_real_distribution<double> spacing(0, 20), pageHeight(150, 2000);
  std::lognormal_distribution<double> ratio(0, 0.8);
  for (int round = 0; round < 300; ++round) {
    std::vector<double> ratios(static_cast<size_t>(count(random)));
    for (double& r : ratios) r = ratio(random);
    const uint64_t seed = random();
    const int64_t c = columns(random);
    const double s = spacing(random), page = pageHeight(random);

    const Board b = board(ratios, seed, c, 1200, s);
    EXPECT_EQ(b, board(ratios, seed, c, 1200, s));
    expectEachIndexOnce(b.tiles, ratios.size());
    expectSound(b, 1200);

    std::vector<Tile> paged;
    for (const Board& p : pages(ratios, seed, c, 1200, page, s)) {
      expectSound(p, 1200);
      EXPECT_LE(p.height, page + 0.001);
      paged.insert(paged.end(), p.tiles.begin(), p.tiles.end());
    }
    expectEachIndexOnce(paged, ratios.size());
  }
}

TEST(MoodBoard, PagesNarrowTallWideTiles) {
  // Columns of 200 and spacing 10: a wide tile is 410 by 820, taller than
  // 0.8 of a 900 page, so it becomes 200 by 400 like the others.
  const std::vector<double> ratios(6, 0.5);
  uint64_t seed = 1;
  const auto hasWide = [&] {
    const auto tiles = board(ratios, seed, 2, 410, 10).tiles;
    return std::any_of(tiles.begin(), tiles.end(), [](const Tile& t) { return t.width == 410; });
  };
  while (!hasWide()) ++seed;
  for (const Board& page : pages(ratios, seed, 2, 410, 900, 10)) {
    for (const Tile& t : page.tiles) EXPECT_TRUE(t.width == 200 && t.height == 400);
  }
}

TEST(MoodBoard, PageFitPrefersFewerColumnsUnlessMoreFillPagesBetter) {
  // Four squares on 1000 x 1000 pages. One column: four full pages, scored
  // 1 - 3 x 0.25. Two columns of 495 without wide tiles: one exactly full
  // page (495 + 10 + 495), scored 1, which no other count can beat.
  const std::vector<double> squares(4, 1);
  uint64_t seed = 1;
  const auto noneWide = [&] {
    const auto tiles = board(squares, seed, 2, 1000, 10).tiles;
    return std::all_of(tiles.begin(), tiles.end(), [](const Tile& t) { return t.width == 495; });
  };
  while (!noneWide()) ++seed;
  EXPECT_EQ(pages(squares, seed, 1, 1000, 1000, 10).size(), 4u);
  const PageFit fit = pageFit(squares, seed, 1000, 1000, 10, 4);
  EXPECT_EQ(fit.columns, 2);
  ASSERT_EQ(fit.pages.size(), 1u);
  EXPECT_EQ(fit.pages[0].height, 1000);
  // One square cut to a short page fills it at every count: the fewest win.
  EXPECT_EQ(pageFit(std::vector<double>{1}, seed, 1000, 100, 10, 4).columns, 1);
}

}  // namespace
}  // namespace vantle::core
