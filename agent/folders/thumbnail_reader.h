// JPEG pictures of frames: 512-pixel thumbnails for the newest-frame feed
// and for requests, 1200-pixel previews for image pulls.
//
// Thumbnails come from the capture application's cache (capture_cache.h)
// when it has one, else from the frame file. Folders that other tethering
// tools fill (gphoto2, Entangle, darktable) have no such cache: for them the
// feed's reader falls back to the frame file itself, a RAW's embedded
// preview where it has one, and only once the file is complete.
//
// A value with no state; every call runs on the caller's thread. Nothing
// throws: any file-system or decoding failure is an absent result.
#pragma once

#include <optional>
#include <string>

#include "agent/folders/image_encoder.h"
#include "agent/folders/image_source.h"
#include "core/vantle_coding.h"

namespace vantle::agent {

class ThumbnailReader {
 public:
  static constexpr int thumbnailSize = 512;
  static constexpr int previewSize = 1200;

  // The cache thumbnail of `fileName` in `directory`, used only when it is a
  // whole JPEG stream (one still being written is not), re-encoded at 512.
  std::optional<core::Bytes> latestThumbnail(const std::string& directory, const std::string& fileName) const;

  // The newest-frame feed's reader. Where the folder has a capture cache,
  // exactly latestThumbnail. Without one, the frame file at 512 (its
  // embedded preview if it is a RAW), provided the file decodes completely.
  std::optional<core::Bytes> newestFrameThumbnail(const std::string& directory, const std::string& fileName) const;

  // A 512-pixel thumbnail of `fileName`: its cache thumbnail, else its file.
  // When neither exists (or without a file name), the cache thumbnail with
  // the greatest name, else the frame file with the greatest name.
  std::optional<core::Bytes> thumbnail(const std::string& directory,
                                       const std::optional<std::string>& fileName) const;

  // A 1200-pixel preview of the frame file `fileName` (else the one with the
  // greatest name). "eip" packages are opened and the RAW inside them is
  // rendered from its embedded preview where it has a large enough one.
  std::optional<core::Bytes> preview(const std::string& directory, const std::optional<std::string>& fileName) const;

  // The shared JPEG encoder; see image_encoder.h.
  static std::optional<core::Bytes> encode(const ImageSource& source, int maxPixelSize, bool preferEmbedded) {
    return encodeJpeg(source, maxPixelSize, preferEmbedded);
  }
};

}  // namespace vantle::agent
