#include "tools/capture_sim/script_runner.h"

namespace vantle::tools {

namespace fs = std::filesystem;

namespace {

std::string selectedPaths(const Document& document) {
  if (document.selection.empty()) {
    const std::string noPrimary = "Can't get parent image of missing value.";
    return "ERROR: 1:none | 2:" + noPrimary + " | 3:" + noPrimary + " | 4:none | 5:none";
  }
  std::string paths;
  for (const fs::path& file : document.selection) paths += file.string() + "\n";
  return paths;
}

ScriptAnswer process(SimulatedApplication& application, std::vector<fs::path> images) {
  if (!application.document()->recipe) {
    return {"ERROR: Can't get recipe \"" + std::string(recipeName) + "\" of document \"" +
            application.document()->name() + "\"."};
  }
  std::string job = application.startJob(std::move(images));
  return {"JOB:" + job, job};
}

}  // namespace

ScriptAnswer runScript(SimulatedApplication& application, const RecognizedScript& script) {
  if (!application.document()) return {"NODOC"};
  const Document& document = *application.document();
  switch (script.kind) {
    case ScriptKind::selectedPaths:
      return {selectedPaths(document)};
    case ScriptKind::prepareRecipe: {
      const fs::path folder(script.argument);
      if (!folder.is_absolute()) return {"ERROR: Can't make \"" + script.argument + "\" into type file."};
      application.prepareRecipe(folder);
      return {"OK"};
    }
    case ScriptKind::processSelection:
      if (document.selection.empty()) return {"ERROR: No images selected"};
      return process(application, document.selection);
    case ScriptKind::processPath: {
      const auto image = application.imageAt(script.argument);
      if (!image) return {"NOTFOUND"};
      return process(application, {*image});
    }
    case ScriptKind::jobStatus:
      return {application.hasJob(script.argument) ? "PENDING" : "DONE"};
  }
  return {"ERROR: unknown script"};
}

}  // namespace vantle::tools
