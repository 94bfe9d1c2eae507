// Small JPEG renditions of images, through libvips and LibRaw.
//
// The image is decoded at no more than the size needed (JPEG shrink-on-load),
// turned upright by its orientation, fitted within `maxPixelSize` on its
// longer side (never enlarged) and saved as an 8-bit sRGB or grey JPEG
// without metadata. A file that ends early (still being written) fails
// rather than giving a partly grey picture.
//
// libvips is started once per process, on first use, from whichever thread
// gets there first. Nothing here throws; every failure is an absent result.
// Any thread.
#pragma once

#include <optional>

#include "agent/folders/image_source.h"
#include "core/vantle_coding.h"

namespace vantle::agent {

// The JPEG quality fraction for a rendition: 0.75 above 512 pixels, 0.7 at or below.
double jpegQualityFraction(int maxPixelSize);

// A quality fraction (0 to 1) on libvips' Q scale (1 to 100): Q = fraction
// × 100, rounded and clamped. libvips' Q is libjpeg's quality, whose tables
// scale linearly with it, so 0.7 becomes 70 and 0.75 becomes 75.
int vipsQuality(double fraction);

// With `preferEmbedded`, a RAW file's embedded preview is used when its
// rendition reaches 0.6 × maxPixelSize; otherwise, and for every other
// image, the full image is decoded.
std::optional<core::Bytes> encodeJpeg(const ImageSource& source, int maxPixelSize, bool preferEmbedded);

}  // namespace vantle::agent
