// The tool's version: the component's version and the revision the build was configured from.
#pragma once

#include <string>

namespace varnel::cli {

// "git describe --always --dirty" when the build was configured, or "unknown" outside a
// git checkout (a source tarball).
const char* GitRevision();

// "varnel 3.0.0.0 (revision 1a2b3c4)"
std::string VersionText();

}  // namespace varnel::cli
