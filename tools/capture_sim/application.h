// The simulated capture application: at most one open document, a tethered
// camera, the selection, the output recipe and the processing jobs.
//
// A plain object without threads: the server owns it and calls it from its
// event loop only. Like the real application it writes files: frames and
// their cache thumbnails when the camera shoots, proofs when a job finishes.
// It never removes anything. Folders it is given are kept in canonical form,
// so the paths it reports match the ones the agent computes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <variant>
#include <vector>

namespace vantle::tools {

struct CameraAttribute {
  std::string name;
  std::string value;
};

struct Camera {
  std::string name;
  std::vector<CameraAttribute> attributes;  // in the order the application lists them

  // A camera with the usual exposure attributes; with `battery`, a "Battery
  // Level" attribute among them (not the first, so readers must walk).
  static Camera named(std::string name, std::optional<std::string> battery);
};

enum class DocumentKind { session, catalog };

// "Orvane Live QuickProof" as the prepare script leaves it.
struct Recipe {
  std::filesystem::path rootFolder;
  int jpegQuality = 88;
};

struct Document {
  DocumentKind kind = DocumentKind::session;
  std::filesystem::path folder;          // the session folder
  std::filesystem::path capturesFolder;  // where the camera's frames land
  // Every folder the document has captured into, first the first: the frame
  // files in them are the document's images.
  std::vector<std::filesystem::path> collections;
  std::vector<std::filesystem::path> selection;  // selected variants' files, in order
  std::optional<Recipe> recipe;

  // The folder's name followed by ".cosessiondb" or ".cocatalogdb".
  std::string name() const;
};

// A processing job: it exists until the server finishes it.
struct Job {
  std::vector<std::filesystem::path> images;
  Recipe recipe;
};

enum class Denial { none, accessDenied, consentRequired };

// A control command's outcome: nothing, or the reason it was refused.
using Problem = std::optional<std::string>;

class SimulatedApplication {
 public:
  const std::optional<Document>& document() const { return document_; }
  const std::optional<Camera>& camera() const { return camera_; }
  Denial denial() const { return denial_; }

  // Control. Folders must be absolute; missing ones are created.
  Problem openSession(const std::filesystem::path& folder);
  // A catalog in the folder of the last document (or of the serve command).
  Problem openCatalog();
  void closeDocument();
  Problem setCaptureFolder(const std::filesystem::path& folder);
  // Replaces the selection; each file must exist (relative names are taken
  // inside the captures folder). An empty list clears it.
  Problem select(const std::vector<std::filesystem::path>& files);
  void setCamera(std::optional<Camera> camera) { camera_ = std::move(camera); }
  void setDenial(Denial denial) { denial_ = denial; }

  // The camera fires once: a frame named IMG_nnnn.<extension> (the first
  // free number) in the captures folder, and its cache thumbnail
  // CaptureOne/Cache/Thumbnails/<frame>.cot beside it. Returns the frame's
  // path, or why nothing was written.
  std::variant<std::filesystem::path, std::string> shoot(const std::string& extension);

  // Scripting.
  void prepareRecipe(const std::filesystem::path& rootFolder);
  // The image of the document whose path is exactly `path`, if any.
  std::optional<std::filesystem::path> imageAt(const std::string& path) const;
  // Queues the images for processing with the recipe; the job's identifier.
  // The document must have the recipe.
  std::string startJob(std::vector<std::filesystem::path> images);
  bool hasJob(const std::string& identifier) const { return jobs_.contains(identifier); }
  // Writes one JPEG per image that can still be read into the recipe's
  // folder, named after the image without its extension, then ends the job.
  void finishJob(const std::string& identifier);

 private:
  void open(DocumentKind kind, const std::filesystem::path& folder);

  std::optional<Document> document_;
  std::filesystem::path lastFolder_;
  std::optional<Camera> camera_;
  Denial denial_ = Denial::none;
  std::map<std::string, Job> jobs_;
  int nextFrame_ = 1;
  std::mt19937_64 random_{std::random_device{}()};
};

}  // namespace vantle::tools
