#include "result_names.h"

#include <qelmo_plugin.h>

#include <cstdio>

namespace qelmoctl {

const char* ResultName(uint32_t code) {
    switch (code) {
        case DRV_OK:
            return "DRV_OK";
        case DRV_OK_PENDING:
            return "DRV_OK_PENDING";
        case DRV_STATE_RUNNING:
            return "DRV_STATE_RUNNING";
        case DRV_STATE_NOT_RUNNING:
            return "DRV_STATE_NOT_RUNNING";
        case DRV_STATE_UNKNOWN:
            return "DRV_STATE_UNKNOWN";
        case DRV_ERR_FAILED:
            return "DRV_ERR_FAILED";
        case DRV_ERR_ROLLED_BACK:
            return "DRV_ERR_ROLLED_BACK";
        case DRV_ERR_ABORT:
            return "DRV_ERR_ABORT";
        case DRV_ERR_ROLLBACK_FAILED:
            return "DRV_ERR_ROLLBACK_FAILED";
        case DRV_ERR_STOP_FAILED:
            return "DRV_ERR_STOP_FAILED";
        default:
            return "UNKNOWN";
    }
}

std::string DescribeResult(uint32_t code) {
    char text[64];
    snprintf(text, sizeof text, "%s (0x%08x)", ResultName(code), static_cast<unsigned>(code));
    return text;
}

}  // namespace qelmoctl
