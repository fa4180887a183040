// Adds what a model import left out or changed to the JSON report of the command run on the
// imported document (docs/report.md), so that the report and --strict see it as they see
// what the plug-in itself left out.
#pragma once

#include "model_import.h"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace modelimport {

// Each note with a reason becomes an item of that reason (path: the model's file name,
// detail: the note's line, count: the note's count); the reason's total and left_out_total
// grow by the count. Notes without a reason are left to the console.
void addToReport(nlohmann::ordered_json& report, const std::vector<ImportNote>& notes, const std::string& model);

} // namespace modelimport
