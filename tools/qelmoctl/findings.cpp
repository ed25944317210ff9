#include "findings.h"

#include <utility>

namespace qelmoctl {

void Findings::Add(FindingStatus status, std::string check, std::string detail) {
    items_.push_back(Finding{std::move(check), status, std::move(detail)});
}

int Findings::ProblemCount() const {
    int count = 0;
    for (const auto& f : items_)
        if (f.status == FindingStatus::kProblem) ++count;
    return count;
}

const char* StatusName(FindingStatus status) {
    switch (status) {
        case FindingStatus::kOk:
            return "ok";
        case FindingStatus::kProblem:
            return "problem";
        case FindingStatus::kInfo:
            break;
    }
    return "info";
}

namespace {
const char* Marker(FindingStatus status) {
    switch (status) {
        case FindingStatus::kOk:
            return "[ok]";
        case FindingStatus::kProblem:
            return "[!]";
        case FindingStatus::kInfo:
            break;
    }
    return "[--]";
}
}  // namespace

void PrintFindings(const Findings& findings, bool json, FILE* out) {
    const auto& all = findings.All();
    if (json) {
        fputs("[\n", out);
        for (size_t i = 0; i < all.size(); ++i) {
            const std::string object = JsonObject()
                                           .String("check", all[i].check)
                                           .String("status", StatusName(all[i].status))
                                           .String("detail", all[i].detail)
                                           .Text();
            fprintf(out, "  %s%s\n", object.c_str(), i + 1 < all.size() ? "," : "");
        }
        fputs("]\n", out);
        return;
    }
    for (const auto& f : all)
        fprintf(out, "%-4s %s: %s\n", Marker(f.status), f.check.c_str(), f.detail.c_str());
    const int problems = findings.ProblemCount();
    if (problems == 0)
        fputs("no problems found\n", out);
    else
        fprintf(out, "%d problem%s found\n", problems, problems == 1 ? "" : "s");
}

}  // namespace qelmoctl
