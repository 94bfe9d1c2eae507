#include "agent/capture/capture_one_pulls.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "agent/capture/capture_one_script.h"
#include "agent/folders/capture_cache.h"
#include "agent/folders/eip_package.h"
#include "agent/folders/image_encoder.h"
#include "agent/folders/image_source.h"
#include "agent/storage/scratch_folder.h"
#include "core/trimmed.h"
#include "core/unicode.h"
#include "support/console.h"

namespace vantle::agent {

namespace fs = std::filesystem;
using core::ImagePullOutcome;
using core::ImageUnavailable;
using support::printLine;

namespace {

constexpr const char* kNotRunning = "Capture One is not running on the Mac.";
constexpr const char* kNoDocument = "No session is open in Capture One.";
constexpr const char* kNothingSelected = "Nothing is selected in Capture One.";

std::string replaced(std::string_view text, std::string_view placeholder, std::string_view value) {
  std::string out(text);
  const size_t at = out.find(placeholder);
  if (at != std::string::npos) out.replace(at, placeholder.size(), value);
  return out;
}

// The sentence for an answer of the selection script, or none when the
// answer holds paths.
std::optional<std::string> selectionMessage(const std::optional<std::string>& answer) {
  const std::string text(answer ? core::trimmed(*answer) : std::string_view());
  if (text.empty()) return kNothingSelected;
  if (text == "NODOC") return kNoDocument;
  if (text == "NOTRUNNING") return kNotRunning;
  if (text.starts_with("ERROR:")) return kNothingSelected;
  return std::nullopt;
}

void sleepFor(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

std::string stemJpeg(const fs::path& frame) { return frame.stem().string() + ".jpg"; }

}  // namespace

CaptureOnePulls::CaptureOnePulls(CaptureOneBridge& bridge, const AgentStorage& storage)
    : CaptureOnePulls(bridge, storage, Timing{}) {}

CaptureOnePulls::CaptureOnePulls(CaptureOneBridge& bridge, const AgentStorage& storage, Timing timing)
    : bridge_(bridge), storage_(storage), outputFolder_(storage.storageRoot() / "quickproof"), timing_(timing) {}

std::string CaptureOnePulls::escapedForScript(std::string_view path) {
  std::string out;
  for (char c : path) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else {
      out += c;
    }
  }
  return out;
}

ImagePullOutcome CaptureOnePulls::fetchSelectedImage(bool highRes) {
  if (!bridge_.isRunning()) return ImageUnavailable{kNotRunning};
  const auto answer = bridge_.run(CaptureOneScript::selectedPaths);
  if (!answer.result) return ImageUnavailable{"The agent could not ask Capture One what is selected."};
  if (auto message = selectionMessage(answer.result)) return ImageUnavailable{*message};

  if (highRes) return quickProof(std::string(CaptureOneScript::processSelection));

  // The answer already holds the paths: asking again could only race a
  // change of selection.
  core::ImagesPulled pulled;
  for (const std::string& path : pathsIn(*answer.result)) {
    if (auto image = quickImage(path)) pulled.images.push_back(std::move(*image));
  }
  if (pulled.images.empty()) return ImageUnavailable{"The selected image could not be read."};
  return pulled;
}

ImagePullOutcome CaptureOnePulls::quickProofForRaw(const std::string& path) {
  if (!bridge_.isRunning()) return ImageUnavailable{kNotRunning};
  return quickProof(replaced(CaptureOneScript::processPath, "%PATH%", escapedForScript(path)));
}

std::vector<std::string> CaptureOnePulls::pathsIn(std::string_view answer) {
  const std::string text(core::trimmed(answer));
  std::vector<std::string> paths;
  size_t start = 0;
  while (start <= text.size()) {
    const size_t end = text.find_first_of("\r\n", start);
    const std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!line.empty()) paths.push_back(line);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return paths;
}

std::optional<core::PulledImage> CaptureOnePulls::quickImage(const std::string& path) const {
  const fs::path frame(path);
  const std::string folder = frame.parent_path().string();
  const std::string name = frame.filename().string();
  // The application's own cache thumbnail, when it has one, as it is.
  if (auto cached = CaptureCache::thumbnailFor(folder, name)) {
    if (auto bytes = CaptureCache::readFile(*cached)) {
      printLine("Fetched image path: " + path);
      return core::PulledImage{std::move(*bytes), stemJpeg(frame)};
    }
  }
  std::optional<ImageSource> source;
  if (core::lowercased(frame.extension().string()) == ".eip") {
    source = EipPackage::image(path);
  } else {
    source = ImageSource::file(path);
  }
  if (!source) return std::nullopt;
  // A RAW's embedded preview is preferred: decoding the sensor data would
  // take seconds for no visible gain at this size.
  auto jpeg = encodeJpeg(*source, quickImageSize, /*preferEmbedded=*/true);
  if (!jpeg) return std::nullopt;
  return core::PulledImage{std::move(*jpeg), stemJpeg(frame)};
}

std::vector<fs::path> CaptureOnePulls::outputFiles(const Descriptor& folder, fs::file_time_type notBefore) const {
  std::vector<fs::path> files;
  for (const std::string& name : ScratchFolder::regularFiles(folder)) {
    const std::string ext = core::lowercased(fs::path(name).extension().string());
    if (ext != ".jpg" && ext != ".jpeg") continue;
    std::error_code e;
    const fs::directory_entry entry(outputFolder_ / name, e);
    if (e || entry.last_write_time(e) < notBefore || e) continue;
    files.push_back(entry.path());
  }
  return files;
}

ImagePullOutcome CaptureOnePulls::quickProof(const std::string& processScript) {
  if (!bridge_.isRunning()) return ImageUnavailable{kNotRunning};
  // Opened once, without following links: what is emptied and read is this folder.
  const std::optional<Descriptor> folder = ScratchFolder::open(storage_.storageRoot(), "quickproof", true);
  if (!folder) return ImageUnavailable{"The agent has nowhere safe to put the file."};
  ScratchFolder::empty(*folder);

  // Escaped like any path put into a script string: a storage root with a
  // quote or a backslash in its name must not break the script.
  const auto prepared =
      bridge_.run(replaced(CaptureOneScript::prepareRecipe, "%OUTPUT%", escapedForScript(outputFolder_.string())));
  if (prepared.error) printLine("AppleScript error: " + prepared.error->message);
  if (prepared.result != std::optional<std::string>("OK")) {
    printLine("QuickProof recipe could not be prepared: " + prepared.result.value_or("no result"));
    if (prepared.result == "NODOC") return ImageUnavailable{kNoDocument};
    if (prepared.result == "NOTRUNNING") return ImageUnavailable{kNotRunning};
    return ImageUnavailable{"The agent could not set up its recipe in Capture One."};
  }

  // A second of slack for file systems that keep whole seconds.
  const auto notBefore = fs::file_time_type::clock::now() - std::chrono::seconds(1);
  const auto processed = bridge_.run(processScript);
  if (!processed.result) {
    return ImageUnavailable{"The agent is not allowed to control Capture One. Check Automation in System Settings."};
  }
  const std::string& answer = *processed.result;
  if (!answer.starts_with("JOB:")) {
    printLine("QuickProof was not queued: " + answer);
    if (answer == "NODOC") return ImageUnavailable{kNoDocument};
    if (answer == "NOTRUNNING") return ImageUnavailable{kNotRunning};
    if (answer == "NOTFOUND") return ImageUnavailable{"Capture One does not have that frame in the open session."};
    return ImageUnavailable{kNothingSelected};
  }
  const std::string job = answer.substr(4);
  printLine("QuickProof job " + job + " queued; waiting for Capture One");

  using Clock = std::chrono::steady_clock;
  const auto seconds = [](double s) { return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s)); };
  const auto jobDeadline = Clock::now() + seconds(timing_.jobDeadline);
  while (true) {
    const auto status = bridge_.run(replaced(CaptureOneScript::jobStatus, "%JOB%", job));
    if (status.error) printLine("AppleScript caught error inside Capture One: " + status.error->message);
    if (status.result == "DONE") break;
    if (status.result != "PENDING" || Clock::now() >= jobDeadline) break;
    sleepFor(timing_.statusPoll);
  }

  const auto collectDeadline = Clock::now() + seconds(timing_.collectDeadline);
  std::vector<fs::path> files = outputFiles(*folder, notBefore);
  while (files.empty() && Clock::now() < collectDeadline) {
    sleepFor(timing_.filePoll);
    files = outputFiles(*folder, notBefore);
  }
  if (!files.empty()) {
    // Wait until no file grew since the previous look: the files are whole.
    const auto sizes = [&](const std::vector<fs::path>& list) {
      std::vector<std::pair<fs::path, uintmax_t>> out;
      for (const auto& f : list) {
        std::error_code e;
        out.emplace_back(f, fs::file_size(f, e));
      }
      return out;
    };
    auto previous = sizes(files);
    while (Clock::now() < collectDeadline) {
      sleepFor(timing_.settlePoll);
      auto now = sizes(outputFiles(*folder, notBefore));
      if (now == previous) break;
      previous = std::move(now);
    }
    files = outputFiles(*folder, notBefore);
  }

  core::ImagesPulled pulled;
  for (const fs::path& file : files) {
    auto bytes = CaptureCache::readFile(file);
    if (!bytes) continue;
    const std::string name = file.filename().string();
    printLine("QuickProof delivered " + name + " (" + std::to_string(bytes->size()) + " bytes)");
    pulled.images.push_back({std::move(*bytes), name});
  }
  ScratchFolder::empty(*folder);
  if (pulled.images.empty()) return ImageUnavailable{"QuickProof produced no files before the deadline"};
  return pulled;
}

}  // namespace vantle::agent
