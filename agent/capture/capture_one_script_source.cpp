#include "agent/capture/capture_one_script_source.h"

#include <filesystem>

#include "core/frame_count_rule.h"
#include "core/trimmed.h"
#include "core/unicode.h"

namespace vantle::agent {

using core::AgentStatus;
using core::DocumentKind;

CaptureOneScriptSource::CaptureOneScriptSource(CaptureOneBridge& bridge) : bridge_(bridge) {}

DesignationReading CaptureOneScriptSource::currentReading() const {
  std::lock_guard lock(mutex_);
  return cached_;
}

void CaptureOneScriptSource::setOnDesignationChanged(DesignationHandler handler) {
  std::lock_guard lock(mutex_);
  onChange_ = std::move(handler);
}

std::string CaptureOneScriptSource::sessionName(std::string_view documentName) {
  std::string name(core::trimmed(documentName));
  const std::string lower = core::lowercased(name);
  for (std::string_view suffix : core::FrameCountRule::documentPackageSuffixes()) {
    if (lower.ends_with(suffix) && name.size() >= suffix.size()) {
      name.resize(name.size() - suffix.size());
      break;
    }
  }
  return name;
}

DesignationReading CaptureOneScriptSource::readingFrom(const std::optional<CaptureOneBridge::Reading>& reading) {
  DesignationReading out;  // not running, designation
  if (!reading) {
    bridge_.openQuietWindow();
    return out;
  }
  if (reading->permissionDenied) {
    out.status = AgentStatus::permissionDenied;
    return out;
  }
  if (!reading->documentName) {
    out.status = AgentStatus::noDocument;
    return out;
  }
  out.sessionName = sessionName(*reading->documentName);
  if (reading->isCatalog) {
    out.status = AgentStatus::catalogNotSupported;
    out.documentKind = DocumentKind::catalog;
    return out;
  }
  out.documentKind = DocumentKind::session;
  const auto designated = reading->capturePath ? bridge_.posixPath(*reading->capturePath) : std::nullopt;
  if (!designated || designated->empty()) {
    out.status = AgentStatus::noDocument;
    return out;
  }
  out.status = AgentStatus::ok;
  out.designatedPath = designated;
  auto root = reading->sessionRoot ? bridge_.posixPath(*reading->sessionRoot) : std::nullopt;
  if (!root) root = std::filesystem::path(*designated).parent_path().string();
  out.sessionRoot = root;
  out.isCameraConnected = reading->cameraConnected;
  out.cameraBattery = reading->cameraBattery;
  return out;
}

DesignationReading CaptureOneScriptSource::refresh() {
  DesignationReading next;
  if (bridge_.isRunning()) next = readingFrom(bridge_.read());
  DesignationHandler onChange;
  {
    std::lock_guard lock(mutex_);
    if (next.designatedPath != cached_.designatedPath) onChange = onChange_;
    cached_ = next;
  }
  if (onChange) onChange(next);
  return next;
}

}  // namespace vantle::agent
