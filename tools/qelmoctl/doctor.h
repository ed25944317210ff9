// `qelmoctl doctor`: a read-only look at the driver's whole footprint on this machine (service,
// driver file, service key values, deployed modules, restart-time file operations, safety net,
// Parameters values, debug switch). It calls no plug-in export and changes nothing: it opens the
// service manager for connect and query, registry keys for query and files for their attributes
// and version resources only.
#pragma once

#include <string>

#include "findings.h"

namespace qelmoctl {

// `package`, when not empty, is the package folder the installed driver came from: the recorded
// modules are then checked against its module versions.
Findings RunDoctorChecks(const std::wstring& package = std::wstring());

}  // namespace qelmoctl
