// What `qelmoctl doctor` found, one finding per line, as text for people or as JSON.
#pragma once

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "json.h"

namespace qelmoctl {

enum class FindingStatus { kOk, kProblem, kInfo };

struct Finding {
    std::string check;  // short dotted name, e.g. "service.image_path"
    FindingStatus status = FindingStatus::kInfo;
    std::string detail;  // UTF-8
};

class Findings {
public:
    void Ok(std::string check, std::string detail) { Add(FindingStatus::kOk, check, detail); }
    void Problem(std::string check, std::string detail) {
        Add(FindingStatus::kProblem, check, detail);
    }
    void Info(std::string check, std::string detail) { Add(FindingStatus::kInfo, check, detail); }
    void Add(FindingStatus status, std::string check, std::string detail);

    const std::vector<Finding>& All() const { return items_; }
    int ProblemCount() const;

private:
    std::vector<Finding> items_;
};

// "ok", "problem" or "info".
const char* StatusName(FindingStatus status);

// "[ok]  check: detail" lines and a closing count; or a JSON array of
// {"check","status","detail"} objects.
void PrintFindings(const Findings& findings, bool json, FILE* out);

}  // namespace qelmoctl
