// The shared result-name table, under the tool's namespace.
#pragma once

#include "common/result_names.h"

namespace qelmoctl {
using qelmo::DescribeResult;
using qelmo::IsSuccess;
using qelmo::ResultName;
}  // namespace qelmoctl
