// The shared UTF-8/UTF-16 conversion, under the tool's namespace.
#pragma once

#include "common/utf.h"

namespace qelmoctl {
using qelmo::Narrow;
using qelmo::Widen;
}  // namespace qelmoctl
