// A mood board: reference images as a masonry of tiles.
//
// Tiles fill a fixed number of columns, about a quarter of them two columns
// wide, in a shuffled order; the same ratios, seed and sizes always give the
// same board. Each tile goes to the lowest place it fits (the leftmost on a
// tie), so tiles never overlap and every image appears exactly once. Units
// are the caller's, origin top left, y growing downwards.
//
// Aspect ratios (width over height) that are not finite positive numbers are
// laid out as 1; the rest are clamped into 0.2...5. Fewer than one column
// counts as one, and a negative spacing as none. When the columns would have
// no positive width the board is empty. Everything but newSeed is pure
// arithmetic on the arguments.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace vantle::core::MoodBoardLayout {

struct Tile {
  int64_t index = 0;  // the image's position in the caller's list
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;

  bool operator==(const Tile&) const = default;

  double maxY() const { return y + height; }
};

struct Board {
  std::vector<Tile> tiles;  // in placement order
  double height = 0;        // the bottom of the lowest tile

  bool operator==(const Board&) const = default;
};

// A fresh seed from the system's random source, never 0.
uint64_t newSeed();

// Every image on one board.
Board board(std::span<const double> aspectRatios, uint64_t seed, int64_t columns, double width,
            double spacing);

// The same board cut into pages no taller than `pageHeight`. Tiles keep their
// board order and go to the first page where they fit; a wide tile taller than
// 0.8 of a page is narrowed to one column, and a tile taller than a page is
// cut to the page height. Every tile lands on exactly one page. Without a
// positive page height, or when the board fits one page, that one board (no
// pages when it is empty).
std::vector<Board> pages(std::span<const double> aspectRatios, uint64_t seed, int64_t columns,
                         double width, double pageHeight, double spacing);

struct PageFit {
  int64_t columns = 1;
  std::vector<Board> pages;

  bool operator==(const PageFit&) const = default;
};

// The column count from 1 to `maxColumns` whose pages fill best: the mean of
// each page's fill (its height over the page height, at most 1), less 0.25
// for every page beyond the first. Ties go to fewer columns. One column and no
// pages when nothing can be laid out.
PageFit pageFit(std::span<const double> aspectRatios, uint64_t seed, double width,
                double pageHeight, double spacing, int64_t maxColumns);

}  // namespace vantle::core::MoodBoardLayout
