// Camera RAW files: the preview the camera embedded (through Exiv2, which
// knows current bodies, else LibRaw), or the mosaic itself developed into
// pixels through LibRaw.
//
// Both refuse a file that ends before the data they need (a frame still
// being written), so that a caller retrying later gets the whole picture.
// Neither throws; failures are absent results. Any thread: each call has
// its own decoder.
#pragma once

#include <optional>
#include <string>

#include "agent/folders/image_source.h"
#include "core/vantle_coding.h"

namespace vantle::agent::RawDecoder {

// Decoded or compressed pixels as LibRaw hands them out.
struct Picture {
  bool isJpeg = false;  // `data` is a JPEG stream; else interleaved samples
  core::Bytes data;
  int width = 0;
  int height = 0;
  int bands = 0;           // samples: 1 or 3
  int bitsPerSample = 8;   // samples: 8 or 16
  int orientation = 1;     // EXIF orientation still to apply; 1 is upright
};

// What a call made of a file: whether it is known as a RAW at all (LibRaw
// knows it, or Exiv2 read its preview), the camera model when the file names
// it, and the picture when it could make one.
struct Outcome {
  bool recognised = false;
  std::optional<std::string> model;
  std::optional<Picture> picture;
};

// A preview embedded in the RAW file: the smallest whose longer side
// reaches `atLeast` (else the largest) of those Exiv2 finds; failing that,
// the one LibRaw picks.
Outcome embeddedPreview(const ImageSource& source, int atLeast);

// The mosaic demosaiced to 8-bit sRGB, upright. `atLeast` is the longer side
// the caller needs: the decoder works at half size when that still covers it.
Outcome develop(const ImageSource& source, int atLeast);

}  // namespace vantle::agent::RawDecoder
