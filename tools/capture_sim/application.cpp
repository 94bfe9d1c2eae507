#include "tools/capture_sim/application.h"

#include <algorithm>
#include <cstdio>

#include "core/frame_count_rule.h"
#include "core/unicode.h"
#include "tools/capture_sim/studio_files.h"

namespace vantle::tools {

namespace fs = std::filesystem;

namespace {

fs::path canonicalPath(const fs::path& path) {
  std::error_code error;
  fs::path result = fs::weakly_canonical(path, error);
  return error ? path.lexically_normal() : result;
}

std::string frameName(int number, const std::string& extension) {
  char stem[32];
  std::snprintf(stem, sizeof stem, "IMG_%04d.", number);
  return stem + extension;
}

// What the application imports as an image: RAW files and the usual
// rendered formats, never sidecars or anything else lying about.
bool isImageName(const std::string& name) {
  namespace Rule = core::FrameCountRule;
  if (!Rule::countsAs(name)) return false;
  if (Rule::isRaw(name)) return true;
  const std::string extension = core::lowercased(std::string(Rule::extension(name)));
  for (const char* known : {"jpg", "jpeg", "tif", "tiff", "png", "psd", "heic", "heif", "eip"}) {
    if (extension == known) return true;
  }
  return false;
}

bool isRegularFile(const fs::path& path) {
  std::error_code error;
  return fs::is_regular_file(path, error);
}

}  // namespace

Camera Camera::named(std::string name, std::optional<std::string> battery) {
  Camera camera{std::move(name), {{"ISO", "100"}, {"Shutter Speed", "1/125"}, {"Aperture", "f/8"}}};
  if (battery) camera.attributes.push_back({"Battery Level", *battery});
  camera.attributes.push_back({"White Balance", "Daylight"});
  return camera;
}

std::string Document::name() const {
  return folder.filename().string() + (kind == DocumentKind::catalog ? ".cocatalogdb" : ".cosessiondb");
}

Problem SimulatedApplication::openSession(const fs::path& folder) {
  if (!folder.is_absolute()) return "the session folder must be an absolute path: " + folder.string();
  std::error_code error;
  fs::create_directories(folder / "Capture", error);
  if (error) return "could not make " + (folder / "Capture").string() + ": " + error.message();
  open(DocumentKind::session, canonicalPath(folder));
  return std::nullopt;
}

Problem SimulatedApplication::openCatalog() {
  if (lastFolder_.empty()) return "no folder is known for a catalog: open a session first";
  std::error_code error;
  fs::create_directories(lastFolder_ / "Capture", error);
  if (error) return "could not make " + (lastFolder_ / "Capture").string() + ": " + error.message();
  open(DocumentKind::catalog, lastFolder_);
  return std::nullopt;
}

void SimulatedApplication::open(DocumentKind kind, const fs::path& folder) {
  const fs::path captures = folder / "Capture";
  document_ = Document{.kind = kind, .folder = folder, .capturesFolder = captures, .collections = {captures}};
  lastFolder_ = folder;
}

void SimulatedApplication::closeDocument() { document_.reset(); }

Problem SimulatedApplication::setCaptureFolder(const fs::path& folder) {
  if (!document_) return "no document is open";
  if (!folder.is_absolute()) return "the capture folder must be an absolute path: " + folder.string();
  std::error_code error;
  fs::create_directories(folder, error);
  if (error) return "could not make " + folder.string() + ": " + error.message();
  const fs::path captures = canonicalPath(folder);
  document_->capturesFolder = captures;
  auto& collections = document_->collections;
  if (std::find(collections.begin(), collections.end(), captures) == collections.end()) {
    collections.push_back(captures);
  }
  return std::nullopt;
}

Problem SimulatedApplication::select(const std::vector<fs::path>& files) {
  if (!document_) return "no document is open";
  std::vector<fs::path> selection;
  for (const fs::path& file : files) {
    const fs::path path = canonicalPath(file.is_absolute() ? file : document_->capturesFolder / file);
    if (!isRegularFile(path)) return "no such file: " + path.string();
    selection.push_back(path);
  }
  document_->selection = std::move(selection);
  return std::nullopt;
}

std::variant<fs::path, std::string> SimulatedApplication::shoot(const std::string& extension) {
  if (!document_) return std::string("no document is open");
  if (extension.empty() || extension.find('/') != std::string::npos || extension.front() == '.') {
    return "not a file extension: " + extension;
  }
  const fs::path folder = document_->capturesFolder;
  int number = nextFrame_;
  std::error_code error;
  while (fs::exists(folder / frameName(number, extension), error)) ++number;
  nextFrame_ = number + 1;

  const std::string name = frameName(number, extension);
  const StudioFiles::Bytes picture = StudioFiles::framePicture(number);
  if (picture.empty() || !StudioFiles::writeWhole(folder / name, picture)) {
    return "could not write " + (folder / name).string();
  }
  // The application makes the thumbnail once it has the frame.
  const auto thumbnail = StudioFiles::cacheThumbnail(picture);
  const fs::path cache = folder / "CaptureOne" / "Cache" / "Thumbnails" / (name + ".cot");
  if (!thumbnail || !StudioFiles::writeWhole(cache, *thumbnail)) return "could not write " + cache.string();
  return folder / name;
}

void SimulatedApplication::prepareRecipe(const fs::path& rootFolder) {
  if (document_) document_->recipe = Recipe{.rootFolder = rootFolder, .jpegQuality = 88};
}

std::optional<fs::path> SimulatedApplication::imageAt(const std::string& path) const {
  if (!document_) return std::nullopt;
  const fs::path image(path);
  if (!image.is_absolute() || !isImageName(image.filename().string())) return std::nullopt;
  const auto& collections = document_->collections;
  if (std::find(collections.begin(), collections.end(), image.parent_path()) == collections.end()) return std::nullopt;
  if (!isRegularFile(image)) return std::nullopt;
  return image;
}

std::string SimulatedApplication::startJob(std::vector<fs::path> images) {
  // A random identifier in UUID form (version 4), as the application hands out.
  const uint64_t high = (random_() & ~0xF000ull) | 0x4000ull;
  const uint64_t low = (random_() & ~(3ull << 62)) | (2ull << 62);
  char identifier[40];
  std::snprintf(identifier, sizeof identifier, "%08llX-%04llX-%04llX-%04llX-%012llX",
                static_cast<unsigned long long>(high >> 32), static_cast<unsigned long long>((high >> 16) & 0xFFFF),
                static_cast<unsigned long long>(high & 0xFFFF), static_cast<unsigned long long>(low >> 48),
                static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFull));
  jobs_[identifier] = Job{.images = std::move(images), .recipe = document_ ? document_->recipe.value_or(Recipe{}) : Recipe{}};
  return identifier;
}

void SimulatedApplication::finishJob(const std::string& identifier) {
  const auto job = jobs_.find(identifier);
  if (job == jobs_.end()) return;
  for (const fs::path& image : job->second.images) {
    // "[Image Name]": the image's name without its extension.
    const auto rendered = StudioFiles::proof(image, job->second.recipe.jpegQuality);
    if (rendered) StudioFiles::writeWhole(job->second.recipe.rootFolder / (image.stem().string() + ".jpg"), *rendered);
  }
  jobs_.erase(job);
}

}  // namespace vantle::tools
