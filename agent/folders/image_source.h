// Where an image's bytes come from: a file, or bytes already in memory (an
// entry of an "eip" package) with a type hint taken from its name. A plain
// value; any thread.
#pragma once

#include <string>

#include "core/vantle_coding.h"

namespace vantle::agent {

struct ImageSource {
  std::string path;      // a file; empty for bytes in memory
  core::Bytes data;      // the bytes when `path` is empty
  std::string typeHint;  // lower-case extension: "cr3", "jpg"

  static ImageSource file(std::string path);
  static ImageSource bytes(core::Bytes data, std::string typeHint);

  // Whether the type hint names a RAW format (FrameCountRule::isRaw).
  bool isRaw() const;
};

}  // namespace vantle::agent
