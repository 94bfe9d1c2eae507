// Runs one of the agent's five scripts against the simulated application
// and answers what the real application would.
//
// Every script answers "NODOC" without a document ("NOTRUNNING" cannot
// happen: the stand-in is running when it answers). Beyond that:
//
// - selectedPaths: with a selection, its first form succeeds: each file's
//   path followed by a line break, in selection order. With nothing
//   selected every form fails: the first and the last two count no
//   variants and fail with "none"; with nothing selected there is no
//   primary variant either, so the two primary-variant forms fail asking
//   a missing value for its parent image. The answer is "ERROR: " with the
//   five texts. The single path without a line break never comes back.
// - prepareRecipe: makes the recipe when missing, points it at the folder
//   and answers "OK"; "ERROR: " when the folder is not an absolute path.
// - processSelection: "JOB:" and the identifier of a job over the
//   selection. An empty selection is not an error to read, so the fallback
//   forms never run and the answer is "ERROR: No images selected".
// - processPath: as processSelection for the one image with exactly that
//   path; "NOTFOUND" when the document has no such image.
// - jobStatus: "PENDING" while the job exists, "DONE" after.
//
// Processing without the recipe answers "ERROR: " with the application's
// message. Runs on the server's loop, like every use of the application.
#pragma once

#include <optional>
#include <string>

#include "tools/capture_sim/application.h"
#include "tools/capture_sim/script_text.h"

namespace vantle::tools {

inline constexpr std::string_view recipeName = "Orvane Live QuickProof";

struct ScriptAnswer {
  std::string text;
  std::optional<std::string> startedJob;  // the job the script queued, for the caller to finish
};

ScriptAnswer runScript(SimulatedApplication& application, const RecognizedScript& script);

}  // namespace vantle::tools
