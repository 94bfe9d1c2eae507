// Helpers of the storage tests: raw file access and segments to store.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>

#include <nlohmann/json.hpp>

#include "core/vantle_coding.h"
#include "core/wire_segment.h"
#include "tests/support/instants.h"
#include "tests/support/temp_folder.h"

namespace vantle::testing {

inline void writeFile(const std::filesystem::path& file, const std::string& content, bool append = false) {
  std::ofstream(file, std::ios::binary | (append ? std::ios::app : std::ios::trunc)) << content;
}

inline core::WireSegment storedSegment(uint64_t seq, std::optional<std::string> shootID = "A", size_t imageBytes = 0) {
  core::WireSegment s;
  s.seq = seq;
  s.path = "/Shoots/Spring/Look " + std::to_string(seq);
  s.folderName = "Look " + std::to_string(seq);
  s.openedAt = at(60.0 * static_cast<double>(seq));
  s.closedAt = at(60.0 * static_cast<double>(seq) + 45);
  s.shootID = std::move(shootID);
  if (imageBytes > 0) s.thumbnail = core::Bytes(imageBytes, static_cast<uint8_t>(seq));
  return s;
}

// Segments as lines of "segments.jsonl".
inline std::string linesOf(std::initializer_list<uint64_t> seqs, const std::string& shootID = "A") {
  std::string lines;
  for (uint64_t seq : seqs) lines += core::VantleCoding::dump(storedSegment(seq, shootID).encode()) + "\n";
  return lines;
}

inline std::vector<uint64_t> seqsOf(const std::vector<core::WireSegment>& segments) {
  std::vector<uint64_t> seqs;
  for (const core::WireSegment& s : segments) seqs.push_back(s.seq);
  return seqs;
}

}  // namespace vantle::testing
