// `qelmoctl doctor`: a read-only look at the driver's whole footprint on this machine (service,
// driver file, service key values, deployed modules, restart-time file operations, safety net,
// Parameters values, debug switch). It calls no plug-in export and changes nothing: it opens the
// service manager for connect and query, registry keys for query and files for their attributes
// and version resources only.
#pragma once

#include "findings.h"

namespace qelmoctl {

Findings RunDoctorChecks();

}  // namespace qelmoctl
