// The channel between the agent and the capture application on Linux: the
// D-Bus session bus. The application (or its stand-in, vantle-capture-sim)
// owns `busName` and serves `interfaceName` at `objectPath`:
//
//   Get(as specifier) -> v
//       Reads one property. The specifier is the path of four-character codes
//       from the application: ["Cudo","pnam"] is the current document's name,
//       ["Cudo","COco","CCPr#2","CPva"] the value of the camera's second
//       attribute (elements are "CODE#N", counted from 1). Strings come back
//       as s, booleans as b, enumerations as their four-character code in s,
//       file references as a path text in s (POSIX, or the colon-separated
//       volume form). An object or property that does not exist (no current
//       document, no camera) is the error `noSuchObjectError`.
//   Count(as specifier) -> u
//       The number of elements named by the last code (for "CCPr").
//   RunScript(s source) -> (b ok, v result, i errorNumber, s errorMessage)
//       Runs one of the five script texts of CaptureOneScript, placeholders
//       filled. ok false carries the script's error number and message;
//       `syntaxError` means the text could not be compiled at all.
//
// Refusals are D-Bus errors that map to the application's own error numbers:
// `accessDeniedError` (the user did not allow the agent) -1743,
// `consentRequiredError` -1744; no owner of the bus name (the application is
// not running) -600; a broken connection or the 10-second call time-out -609.
#pragma once

#include <string_view>

namespace vantle::agent::CaptureOneChannel {

inline constexpr std::string_view busName = "com.captureone.captureone16";
inline constexpr std::string_view objectPath = "/com/captureone/Application";
inline constexpr std::string_view interfaceName = "com.captureone.Scripting";

inline constexpr std::string_view accessDeniedError = "org.freedesktop.DBus.Error.AccessDenied";
inline constexpr std::string_view consentRequiredError = "com.captureone.Error.ConsentRequired";
inline constexpr std::string_view noSuchObjectError = "com.captureone.Error.NoSuchObject";

// The application's error numbers the agent acts on.
inline constexpr int notAllowed = -1743;
inline constexpr int needsConsent = -1744;
inline constexpr int notRunning = -600;
inline constexpr int connectionInvalid = -609;
inline constexpr int noSuchObject = -1728;
inline constexpr int syntaxError = -2741;

// Seconds one call may take before it counts as a broken connection.
inline constexpr double callTimeoutSeconds = 10;

// The four-character codes of the properties and elements the agent reads.
namespace Code {
inline constexpr std::string_view currentDocument = "Cudo";
inline constexpr std::string_view name = "pnam";
inline constexpr std::string_view documentKind = "COdk";
inline constexpr std::string_view catalogKind = "COct";  // the catalog value of documentKind
inline constexpr std::string_view sessionKind = "COsd";  // the session value of documentKind
inline constexpr std::string_view capturesFolder = "COcf";
inline constexpr std::string_view documentFolder = "COdf";
inline constexpr std::string_view camera = "COco";
inline constexpr std::string_view cameraAttributes = "CCPr";
inline constexpr std::string_view attributeValue = "CPva";
}  // namespace Code

}  // namespace vantle::agent::CaptureOneChannel
