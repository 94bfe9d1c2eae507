// The facts each hook is given, as VANTLE_* environment variables. Every
// hook gets VANTLE_EVENT (its own name) and, when known, VANTLE_SHOOT_ID.
//
//   frame-landed  VANTLE_FILE (the newest frame, a full path), VANTLE_FOLDER
//                 (its folder), VANTLE_FRAMES (frames now counted there),
//                 VANTLE_SHOT (the shot's folder name)
//   shot-closed   VANTLE_SEQ, VANTLE_FOLDER, VANTLE_SHOT, VANTLE_FRAMES (added
//                 in this shot), VANTLE_FOLDER_FRAMES (in the folder at its
//                 end), VANTLE_FILE (its last frame), VANTLE_OPENED_AT and
//                 VANTLE_CLOSED_AT (ISO 8601), VANTLE_DURATION (seconds),
//                 VANTLE_SESSION
//   shoot-ended   VANTLE_FOLDERS (folders read), VANTLE_FRAMES (this shoot's
//                 frames in them)
//
// Pure functions of the records.
#pragma once

#include <string>

#include "app/hooks/hook_runner.h"
#include "core/snapshot.h"
#include "core/verification.h"
#include "core/wire_segment.h"

namespace vantle::app {

HookRunner::Variables frameLandedVariables(const std::string& file, const core::VantleSnapshot& snapshot);
HookRunner::Variables shotClosedVariables(const core::WireSegment& segment);
HookRunner::Variables shootEndedVariables(const core::ShootVerification& verification);

}  // namespace vantle::app
