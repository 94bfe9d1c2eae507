// The browser page, built into the program: a studio network may have no
// internet, so nothing is fetched from anywhere else. The files live in
// web/page/ and are embedded at build time.
#pragma once

#include <string_view>

namespace vantle::web {

struct PageAsset {
  std::string_view path;         // "/", "/app.js", …
  std::string_view contentType;  // with its charset where it has one
  std::string_view body;
};

// The asset served at `path`, or null.
const PageAsset* findPageAsset(std::string_view path);

}  // namespace vantle::web
