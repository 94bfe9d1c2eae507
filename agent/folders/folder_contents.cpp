#include "agent/folders/folder_contents.h"

#include <algorithm>

namespace vantle::agent {

const std::string& FolderContents::Capture::name() const {
  const auto raw = std::find_if(files.begin(), files.end(), [](const File& file) { return file.isRaw; });
  return raw != files.end() ? raw->name : files.front().name;
}

std::optional<std::string> FolderContents::frameName(const Capture& capture, CountingMode mode) {
  if (capture.files.empty() || (mode == CountingMode::rawOnly && capture.raws == 0)) return std::nullopt;
  return capture.name();
}

void FolderContents::withdraw(const Capture& capture) {
  if (capture.files.empty()) return;
  if (capture.raws > 0) {
    rawNamed_.erase(rawNamed_.find(capture.name()));
    return;
  }
  otherNamed_.erase(otherNamed_.find(capture.name()));
  for (const File& file : capture.files) {
    const auto count = orphanExtensionFiles_.find(file.extension);
    if (--count->second == 0) orphanExtensionFiles_.erase(count);
  }
}

void FolderContents::admit(const Capture& capture) {
  if (capture.files.empty()) return;
  if (capture.raws > 0) {
    rawNamed_.insert(capture.name());
    return;
  }
  otherNamed_.insert(capture.name());
  for (const File& file : capture.files) ++orphanExtensionFiles_[file.extension];
}

std::optional<std::string> FolderContents::set(std::string_view name, bool present, CountingMode mode) {
  return present ? add(name, mode) : remove(name, mode);
}

std::optional<std::string> FolderContents::add(std::string_view name, CountingMode mode) {
  const auto candidate = core::FrameCountRule::candidate(name, scratch_);
  if (!candidate) return std::nullopt;
  auto found = captures_.find(candidate->stem);
  if (found == captures_.end()) found = captures_.emplace(std::string(candidate->stem), Capture{}).first;
  Capture& capture = found->second;
  for (File& file : capture.files) {
    if (file.name == name) {
      file.pass = pass_;
      return std::nullopt;
    }
  }
  const std::optional<std::string> before = frameName(capture, mode);
  withdraw(capture);
  capture.files.push_back({std::string(name), std::string(candidate->extension), candidate->isRaw, pass_});
  if (candidate->isRaw) ++capture.raws;
  admit(capture);
  std::optional<std::string> after = frameName(capture, mode);
  return after != before ? after : std::nullopt;
}

std::optional<std::string> FolderContents::remove(std::string_view name, CountingMode mode) {
  const auto candidate = core::FrameCountRule::candidate(name, scratch_);
  if (!candidate) return std::nullopt;
  const auto found = captures_.find(candidate->stem);
  if (found == captures_.end()) return std::nullopt;
  Capture& capture = found->second;
  const auto file = std::find_if(capture.files.begin(), capture.files.end(),
                                 [&](const File& f) { return f.name == name; });
  if (file == capture.files.end()) return std::nullopt;
  const std::optional<std::string> before = frameName(capture, mode);
  withdraw(capture);
  if (file->isRaw) --capture.raws;
  capture.files.erase(file);
  admit(capture);
  std::optional<std::string> after = frameName(capture, mode);
  if (capture.files.empty()) captures_.erase(found);
  return after != before ? after : std::nullopt;
}

std::optional<std::string> FolderContents::endListing(CountingMode mode) {
  std::vector<std::string> unseen;
  for (const auto& [stem, capture] : captures_) {
    for (const File& file : capture.files) {
      if (file.pass != pass_) unseen.push_back(file.name);
    }
  }
  std::optional<std::string> greatest;
  for (const std::string& name : unseen) {
    std::optional<std::string> appeared = remove(name, mode);
    if (appeared && (!greatest || *appeared > *greatest)) greatest = std::move(appeared);
  }
  return greatest;
}

void FolderContents::clear() {
  captures_.clear();
  rawNamed_.clear();
  otherNamed_.clear();
  orphanExtensionFiles_.clear();
}

int64_t FolderContents::frameCount(CountingMode mode) const {
  const size_t frames = mode == CountingMode::rawOnly ? rawNamed_.size() : rawNamed_.size() + otherNamed_.size();
  return static_cast<int64_t>(frames);
}

int64_t FolderContents::orphanCount(CountingMode mode) const {
  return mode == CountingMode::rawOnly ? static_cast<int64_t>(otherNamed_.size()) : 0;
}

std::vector<std::string> FolderContents::orphanExtensions(CountingMode mode) const {
  std::vector<std::string> extensions;
  if (mode != CountingMode::rawOnly) return extensions;
  for (const auto& [extension, files] : orphanExtensionFiles_) extensions.push_back(extension);
  return extensions;
}

std::optional<std::string> FolderContents::lastFileName(CountingMode mode) const {
  std::optional<std::string> last;
  if (!rawNamed_.empty()) last = *rawNamed_.rbegin();
  if (mode == CountingMode::anyImage && !otherNamed_.empty() && (!last || *otherNamed_.rbegin() > *last)) {
    last = *otherNamed_.rbegin();
  }
  return last;
}

FrameNames FolderContents::frameNames(CountingMode mode) const {
  FrameNames names;
  for (const std::string& name : rawNamed_) names.insert(name);
  if (mode == CountingMode::anyImage) {
    for (const std::string& name : otherNamed_) names.insert(name);
  }
  return names;
}

}  // namespace vantle::agent
