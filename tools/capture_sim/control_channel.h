// The stand-in's own control interface, beside the application's scripting
// interface on the same bus name and object.
//
// `vantle-capture-sim ctl` and the tests drive a running stand-in through
// these methods; the agent never calls them. A control command that cannot
// be carried out fails with `refusedError` and a sentence for the user.
//
//   SetCaptureFolder(s folder)
//   Shoot(u count, d intervalSeconds, s extension)
//   Select(as files)
//   OpenSession(s folder), OpenCatalog(), CloseDocument()
//   SetCamera(s name, b hasBattery, s battery), RemoveCamera()
//   SetDenial(s mode)            "off", "on" (access denied) or "consent"
//   Quit()                       replies, then releases the name and exits
//
// Paths arrive absolute: the caller resolves them against its own working
// directory, which the stand-in does not share.
#pragma once

#include <string_view>

namespace vantle::tools::CaptureSimControl {

inline constexpr std::string_view interfaceName = "com.orvane.vantle.CaptureSim.Control";
inline constexpr std::string_view refusedError = "com.orvane.vantle.CaptureSim.Error.Refused";

}  // namespace vantle::tools::CaptureSimControl
