#include "tools/capture_sim/property_reader.h"

#include <charconv>
#include <optional>

#include "agent/capture/capture_one_channel.h"

namespace vantle::tools {

namespace Channel = agent::CaptureOneChannel;
namespace Code = agent::CaptureOneChannel::Code;

namespace {

Refusal noSuchObject(std::string message) { return {std::string(Channel::noSuchObjectError), std::move(message)}; }

// Where a walk down the specifier stands.
struct Target {
  enum Kind { application, document, camera, attribute } kind = application;
  size_t index = 0;  // of the attribute, in the camera's list
};

// "CCPr#3" -> ("CCPr", 3); a plain code has no index.
std::pair<std::string_view, std::optional<size_t>> element(std::string_view code) {
  const size_t hash = code.find('#');
  if (hash == std::string_view::npos) return {code, std::nullopt};
  size_t index = 0;
  const std::string_view digits = code.substr(hash + 1);
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), index);
  if (error != std::errc() || end != digits.data() + digits.size() || index == 0) return {code, 0};
  return {code.substr(0, hash), index};
}

// Follows every code but the last, each naming an object.
std::variant<Target, Refusal> resolve(const SimulatedApplication& app, const std::vector<std::string>& specifier) {
  Target target;
  for (size_t i = 0; i + 1 < specifier.size(); ++i) {
    const auto [code, index] = element(specifier[i]);
    if (target.kind == Target::application && code == Code::currentDocument && !index) {
      if (!app.document()) return noSuchObject("Can't get current document.");
      target.kind = Target::document;
    } else if (target.kind == Target::document && code == Code::camera && !index) {
      if (!app.camera()) return noSuchObject("Can't get camera of current document.");
      target.kind = Target::camera;
    } else if (target.kind == Target::camera && code == Code::cameraAttributes && index) {
      if (*index == 0 || *index > app.camera()->attributes.size()) {
        return noSuchObject("Can't get camera property " + specifier[i].substr(code.size() + 1) + " of camera.");
      }
      target = {Target::attribute, *index - 1};
    } else {
      return noSuchObject("Can't get " + specifier[i] + ".");
    }
  }
  return target;
}

std::optional<std::string> property(const SimulatedApplication& app, const Target& target, std::string_view code) {
  switch (target.kind) {
    case Target::document: {
      const Document& document = *app.document();
      if (code == Code::name) return document.name();
      if (code == Code::documentKind) {
        return std::string(document.kind == DocumentKind::catalog ? Code::catalogKind : Code::sessionKind);
      }
      if (code == Code::capturesFolder) return document.capturesFolder.string();
      if (code == Code::documentFolder) return document.folder.string();
      return std::nullopt;
    }
    case Target::camera:
      if (code == Code::name) return app.camera()->name;
      return std::nullopt;
    case Target::attribute: {
      const CameraAttribute& attribute = app.camera()->attributes[target.index];
      if (code == Code::name) return attribute.name;
      if (code == Code::attributeValue) return attribute.value;
      return std::nullopt;
    }
    case Target::application:
      return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace

std::variant<std::string, Refusal> readProperty(const SimulatedApplication& application,
                                                const std::vector<std::string>& specifier) {
  if (specifier.empty()) return noSuchObject("Nothing to get.");
  auto resolved = resolve(application, specifier);
  if (auto* refusal = std::get_if<Refusal>(&resolved)) return std::move(*refusal);
  if (auto value = property(application, std::get<Target>(resolved), specifier.back())) return std::move(*value);
  return noSuchObject("Can't get " + specifier.back() + ".");
}

std::variant<uint32_t, Refusal> countElements(const SimulatedApplication& application,
                                              const std::vector<std::string>& specifier) {
  if (specifier.empty()) return noSuchObject("Nothing to count.");
  auto resolved = resolve(application, specifier);
  if (auto* refusal = std::get_if<Refusal>(&resolved)) return std::move(*refusal);
  if (std::get<Target>(resolved).kind == Target::camera && specifier.back() == Code::cameraAttributes) {
    return static_cast<uint32_t>(application.camera()->attributes.size());
  }
  return noSuchObject("Can't count " + specifier.back() + ".");
}

}  // namespace vantle::tools
