#include "core/planning/mood_board.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <optional>
#include <random>

#include "core/planning/split_mix64.h"

namespace vantle::core::MoodBoardLayout {
namespace {

// The column geometry shared by the board and its pages.
struct Grid {
  int64_t columns = 1;
  double spacing = 0;
  double columnWidth = 0;

  Grid(int64_t requested, double width, double requestedSpacing)
      : columns(std::max<int64_t>(1, requested)), spacing(requestedSpacing > 0 ? requestedSpacing : 0) {
    const double c = static_cast<double>(columns);
    columnWidth = (width - (c - 1) * spacing) / c;
  }

  bool isUsable() const { return columnWidth > 0 && std::isfinite(columnWidth); }
  double step() const { return columnWidth + spacing; }
};

// Column heights while tiles are placed. Each tile takes the leftmost lowest
// window and at most two columns, so n tiles never reach beyond column 2n: a
// huge column count needs no more heights than that.
class Columns {
 public:
  Columns(int64_t columns, size_t tiles)
      : heights_(static_cast<size_t>(std::min<int64_t>(columns, static_cast<int64_t>(2 * tiles))), 0) {}

  struct Window {
    size_t start = 0;
    double height = 0;
  };

  // The lowest window of `span` columns; the leftmost on a tie.
  Window lowest(size_t span) const {
    Window best{0, std::numeric_limits<double>::infinity()};
    for (size_t s = 0; s + span <= heights_.size(); ++s) {
      const double h = *std::max_element(heights_.begin() + s, heights_.begin() + s + span);
      if (h < best.height) best = {s, h};
    }
    return best;
  }

  void raise(size_t start, size_t span, double to) {
    std::fill(heights_.begin() + start, heights_.begin() + start + span, to);
  }

  double tallest() const { return *std::max_element(heights_.begin(), heights_.end()); }

 private:
  std::vector<double> heights_;
};

double usableRatio(double ratio) {
  if (!std::isfinite(ratio) || !(ratio > 0)) return 1;
  return std::clamp(ratio, 0.2, 5.0);
}

}  // namespace

uint64_t newSeed() {
  std::random_device source;
  std::uniform_int_distribution<uint64_t> draw(0, std::numeric_limits<uint64_t>::max() - 1);
  return draw(source) + 1;
}

Board board(std::span<const double> aspectRatios, uint64_t seed, int64_t columns, double width,
            double spacing) {
  const Grid grid(columns, width, spacing);
  const size_t n = aspectRatios.size();
  if (n == 0 || !grid.isUsable()) return {};

  SplitMix64 random(seed);
  std::vector<int64_t> order(n);
  std::iota(order.begin(), order.end(), 0);
  for (size_t i = n - 1; i >= 1; --i) {
    const size_t j = static_cast<size_t>(random.next() % (i + 1));
    if (j != i) std::swap(order[i], order[j]);
  }
  std::vector<bool> wide(n, false);
  if (grid.columns > 1) {
    for (size_t k = 0; k < n; ++k) wide[k] = random.nextDouble() < 0.25;
  }

  Board out;
  out.tiles.reserve(n);
  Columns heights(grid.columns, n);
  for (size_t k = 0; k < n; ++k) {
    const double ratio = usableRatio(aspectRatios[static_cast<size_t>(order[k])]);
    const size_t span = wide[k] ? 2 : 1;
    const Columns::Window window = heights.lowest(span);
    Tile tile;
    tile.index = order[k];
    tile.x = static_cast<double>(window.start) * grid.step();
    tile.y = window.height == 0 ? 0 : window.height + grid.spacing;
    tile.width = static_cast<double>(span) * grid.columnWidth + static_cast<double>(span - 1) * grid.spacing;
    tile.height = tile.width / ratio;
    heights.raise(window.start, span, tile.maxY());
    out.tiles.push_back(tile);
  }
  out.height = heights.tallest();
  return out;
}

std::vector<Board> pages(std::span<const double> aspectRatios, uint64_t seed, int64_t columns,
                         double width, double pageHeight, double spacing) {
  Board whole = board(aspectRatios, seed, columns, width, spacing);
  if (whole.tiles.empty()) return {};
  if (!(pageHeight > 0) || whole.height <= pageHeight) return {std::move(whole)};

  const Grid grid(columns, width, spacing);
  const double w = grid.columnWidth;
  std::vector<Board> out;
  std::vector<Tile> pending = std::move(whole.tiles);
  while (!pending.empty()) {
    Columns heights(grid.columns, pending.size());
    Board page;
    std::vector<Tile> overflow;
    for (const Tile& tile : pending) {
      double tileWidth = tile.width;
      double tileHeight = tile.height;
      size_t span = tileWidth > 1.5 * w ? 2 : 1;
      if (span == 2 && tileHeight > 0.8 * pageHeight) {
        tileHeight *= w / tileWidth;
        tileWidth = w;
        span = 1;
      }
      const Columns::Window window = heights.lowest(span);
      const double y = window.height == 0 ? 0 : window.height + grid.spacing;
      const double h = std::min(tileHeight, pageHeight);
      if (y + h <= pageHeight + 0.001) {
        page.tiles.push_back({tile.index, static_cast<double>(window.start) * grid.step(), y, tileWidth, h});
        heights.raise(window.start, span, y + h);
      } else {
        overflow.push_back(tile);
      }
    }
    if (page.tiles.empty()) break;
    page.height = heights.tallest();
    out.push_back(std::move(page));
    pending = std::move(overflow);
  }
  return out;
}

PageFit pageFit(std::span<const double> aspectRatios, uint64_t seed, double width,
                double pageHeight, double spacing, int64_t maxColumns) {
  PageFit best;
  std::optional<double> bestScore;
  const int64_t last = std::max<int64_t>(1, maxColumns);
  for (int64_t c = 1; c <= last; ++c) {
    std::vector<Board> laid = pages(aspectRatios, seed, c, width, pageHeight, spacing);
    if (laid.empty()) continue;
    double fill = 0;
    for (const Board& page : laid) fill += std::min(page.height / pageHeight, 1.0);
    const double score =
        fill / static_cast<double>(laid.size()) - 0.25 * static_cast<double>(laid.size() - 1);
    if (!bestScore || score > *bestScore) {
      bestScore = score;
      best = {c, std::move(laid)};
    }
    if (c == last) break;  // so that the count never steps past its largest value
  }
  return best;
}

}  // namespace vantle::core::MoodBoardLayout
