// Camera RAW files through LibRaw: the preview the camera embedded, or the
// mosaic itself developed into pixels.
//
// Both refuse a file that ends before the data they need (a frame still
// being written), so that a caller retrying later gets the whole picture.
// Neither throws; failures are absent results. Any thread: each call has
// its own decoder.
#pragma once

#include <optional>

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

// What a call made of a file: whether LibRaw knows it as a RAW at all, and
// the picture when it could make one.
struct Outcome {
  bool recognised = false;
  std::optional<Picture> picture;
};

// The preview embedded in the RAW file (the largest one LibRaw picks).
Outcome embeddedPreview(const ImageSource& source);

// The mosaic demosaiced to 8-bit sRGB, upright. `atLeast` is the longer side
// the caller needs: the decoder works at half size when that still covers it.
Outcome develop(const ImageSource& source, int atLeast);

}  // namespace vantle::agent::RawDecoder
