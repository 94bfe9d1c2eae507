// Fresh counts of folders against what the stored segments recorded there:
// the readings of a shoot's verification and of a companion's audit.
//
// Runs on the caller's thread: it lists each folder once with the reader it
// is given (one reader per thread) and reads nothing else from disk but the
// folders' own canonical forms. Never throws; a missing or unreadable folder
// is a reading that says so.
#pragma once

#include <string>
#include <vector>

#include "agent/folders/safe_directory_reader.h"
#include "core/frame_count_rule.h"
#include "core/verification.h"
#include "core/wire_segment.h"

namespace vantle::agent::FolderCount {

// One reading per path, in the order given. `shootFrames` is the number of
// frames the folder gained during the shoot of its latest segment: the count
// now less the start count of that shoot's first visit, never below 0;
// absent when the folder has no segment among `segments`, when that segment
// belongs to no shoot, or when the folder could not be read.
std::vector<core::FolderReading> readings(const std::vector<std::string>& paths,
                                          const std::vector<core::WireSegment>& segments,
                                          SafeDirectoryReader& reader, core::FrameCountRule::CountingMode counting);

}  // namespace vantle::agent::FolderCount
