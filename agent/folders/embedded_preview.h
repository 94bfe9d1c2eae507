// The pictures a camera embeds in its RAW file, through Exiv2's preview
// manager, which knows current bodies (Canon's CR3 among them) that the
// system's LibRaw may not.
//
// A preview that is cut short (a frame still being written) is refused, so
// that a caller retrying later gets the whole picture. Nothing throws;
// failures are absent results. Any thread: each call reads on its own.
#pragma once

#include <optional>
#include <string>

#include "agent/folders/image_source.h"
#include "core/vantle_coding.h"

namespace vantle::agent::EmbeddedPreview {

struct Found {
  bool recognised = false;           // Exiv2 could read the file's metadata
  std::optional<std::string> model;  // the camera, as its EXIF names it
  // A whole JPEG preview: the smallest whose longer side reaches the size
  // asked for, else the largest there is.
  std::optional<core::Bytes> jpeg;
  int width = 0, height = 0;
  int orientation = 1;  // the file's EXIF orientation, still to apply
};

Found read(const ImageSource& source, int atLeast);

}  // namespace vantle::agent::EmbeddedPreview
