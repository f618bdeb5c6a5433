// The type library as .idl text and the version resource as .rc text, both printed from the
// automation table (control/automation.h). Portable: no operating-system headers.
#pragma once

#include <string>

namespace varnel::ocx {

// The committed ocx/Varnel.idl is this text; a test keeps the two equal.
std::string PrintIdl();

// A VERSIONINFO resource statement with the component's version data.
std::string PrintVersionResource();

}  // namespace varnel::ocx
