// The application's answers to property reads (Get) and element counts
// (Count), over the simulated application's state.
//
// A specifier is the path of four-character codes from the application to
// the property, elements written "CODE#N" counted from 1:
// ["Cudo","pnam"], ["Cudo","COco","CCPr#2","CPva"]. Every property the
// stand-in has is text (kinds as their four-character code, folders as
// POSIX paths). Anything that does not exist, from the current document
// down, is refused with the no-such-object error. Pure functions of the
// state; refusals for denied access are the caller's.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "tools/capture_sim/application.h"

namespace vantle::tools {

struct Refusal {
  std::string errorName;  // a D-Bus error name
  std::string message;
};

std::variant<std::string, Refusal> readProperty(const SimulatedApplication& application,
                                                const std::vector<std::string>& specifier);

std::variant<uint32_t, Refusal> countElements(const SimulatedApplication& application,
                                              const std::vector<std::string>& specifier);

}  // namespace vantle::tools
