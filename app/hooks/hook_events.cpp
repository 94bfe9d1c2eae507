#include "app/hooks/hook_events.h"

#include <filesystem>

#include "core/vantle_coding.h"

namespace vantle::app {

namespace {

void addIf(HookRunner::Variables& variables, const char* name, const std::optional<std::string>& value) {
  if (value) variables.emplace_back(name, *value);
}

}  // namespace

HookRunner::Variables frameLandedVariables(const std::string& file, const core::VantleSnapshot& snapshot) {
  const std::string folder = std::filesystem::path(file).parent_path().string();
  HookRunner::Variables variables{{"VANTLE_EVENT", "frame-landed"}, {"VANTLE_FILE", file}, {"VANTLE_FOLDER", folder}};
  // The count is that of the folder the snapshot describes.
  if (snapshot.designatedPath == folder) variables.emplace_back("VANTLE_FRAMES", std::to_string(snapshot.frameCount));
  addIf(variables, "VANTLE_SHOT", snapshot.shotName);
  addIf(variables, "VANTLE_SHOOT_ID", snapshot.shootID);
  return variables;
}

HookRunner::Variables shotClosedVariables(const core::WireSegment& segment) {
  HookRunner::Variables variables{
      {"VANTLE_EVENT", "shot-closed"},
      {"VANTLE_SEQ", std::to_string(segment.seq)},
      {"VANTLE_FOLDER", segment.path},
      {"VANTLE_SHOT", segment.folderName},
      {"VANTLE_FRAMES", std::to_string(segment.framesAdded)},
      {"VANTLE_FOLDER_FRAMES", std::to_string(segment.endFrameCount)},
      {"VANTLE_OPENED_AT", core::VantleCoding::formatInstant(segment.openedAt)},
      {"VANTLE_CLOSED_AT", core::VantleCoding::formatInstant(segment.closedAt)},
      {"VANTLE_DURATION", std::to_string(static_cast<int64_t>(segment.duration))},
  };
  if (segment.lastFileName) variables.emplace_back("VANTLE_FILE", segment.path + "/" + *segment.lastFileName);
  addIf(variables, "VANTLE_SESSION", segment.sessionName);
  addIf(variables, "VANTLE_SHOOT_ID", segment.shootID);
  return variables;
}

HookRunner::Variables shootEndedVariables(const core::ShootVerification& verification) {
  int64_t frames = 0;
  for (const core::FolderReading& reading : verification.readings) frames += reading.shootFrames.value_or(0);
  return {{"VANTLE_EVENT", "shoot-ended"},
          {"VANTLE_SHOOT_ID", verification.shootID},
          {"VANTLE_FOLDERS", std::to_string(verification.readings.size())},
          {"VANTLE_FRAMES", std::to_string(frames)}};
}

}  // namespace vantle::app
