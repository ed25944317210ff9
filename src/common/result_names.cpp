#include "common/result_names.h"

#include <qelmo_plugin.h>

#include <cstdio>

namespace qelmo {

namespace {

struct NamedCode {
    uint32_t code;
    const char* name;
    bool fromAction;  // a result of the batch export (not a state of the status report)
};

constexpr NamedCode kCodes[] = {
    {DRV_OK, "DRV_OK", true},
    {DRV_OK_PENDING, "DRV_OK_PENDING", true},
    {DRV_STATE_RUNNING, "DRV_STATE_RUNNING", false},
    {DRV_STATE_NOT_RUNNING, "DRV_STATE_NOT_RUNNING", false},
    {DRV_STATE_UNKNOWN, "DRV_STATE_UNKNOWN", false},
    {DRV_ERR_FAILED, "DRV_ERR_FAILED", true},
    {DRV_ERR_ROLLED_BACK, "DRV_ERR_ROLLED_BACK", true},
    {DRV_ERR_ABORT, "DRV_ERR_ABORT", true},
    {DRV_ERR_ROLLBACK_FAILED, "DRV_ERR_ROLLBACK_FAILED", true},
    {DRV_ERR_STOP_FAILED, "DRV_ERR_STOP_FAILED", true},
    {DRV_ERR_NOT_STOPPED, "DRV_ERR_NOT_STOPPED", true},
};

const NamedCode* Find(uint32_t code) {
    for (const auto& c : kCodes)
        if (c.code == code) return &c;
    return nullptr;
}

}  // namespace

const char* ResultName(uint32_t code) {
    const NamedCode* found = Find(code);
    return found ? found->name : "UNKNOWN";
}

bool IsActionResult(uint32_t code) {
    const NamedCode* found = Find(code);
    return found && found->fromAction;
}

std::string DescribeResult(uint32_t code) {
    char text[64];
    snprintf(text, sizeof text, "%s (0x%08x)", ResultName(code), static_cast<unsigned>(code));
    return text;
}

}  // namespace qelmo
