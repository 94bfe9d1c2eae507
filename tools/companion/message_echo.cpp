#include "tools/companion/message_echo.h"

namespace vantle::tools {

using core::VantleMessage;
using Kind = VantleMessage::Kind;

void echoMessages(net::VantleClient& client, std::function<void(const VantleMessage&)> sink) {
  client.onSnapshot = [sink](const core::VantleSnapshot& snapshot) {
    sink(VantleMessage{.t = Kind::snapshot, .snapshot = snapshot});
  };
  client.onSegment = [sink](const core::WireSegment& segment) {
    sink(VantleMessage{.t = Kind::segment, .segment = segment});
  };
  client.onAudit = [sink](const std::vector<core::FolderReading>& readings) {
    sink(VantleMessage{.t = Kind::audited, .readings = readings});
  };
  client.onVerification = [sink](const core::ShootVerification& verification) {
    sink(VantleMessage{.t = Kind::verified, .verification = verification});
  };
  client.onSelectedImageData = [sink](const core::Bytes& data, const std::optional<std::string>& fileName) {
    sink(VantleMessage{.t = Kind::selectedImageData, .imageData = data, .imageFileName = fileName});
  };
  client.onSelectedImageUnavailable = [sink](const std::string& reason) {
    sink(VantleMessage{.t = Kind::selectedImageUnavailable, .reason = reason});
  };
  client.onFrameThumbnail = [sink](const core::Bytes& data, const std::string& fileName, const std::string& path) {
    sink(VantleMessage{.t = Kind::frameThumbnail, .imageData = data, .imageFileName = fileName, .imagePath = path});
  };
  client.onFrameCleared = [sink] { sink(VantleMessage{.t = Kind::frameThumbnail}); };
}

}  // namespace vantle::tools
