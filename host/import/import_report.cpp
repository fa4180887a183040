#include "import_report.h"

#include <cstdint>

namespace modelimport {

namespace {

constexpr size_t kItemsListed = 1000; // as many items per reason as the plug-in lists

} // namespace

void addToReport(nlohmann::ordered_json& report, const std::vector<ImportNote>& notes, const std::string& model)
{
    if (!report.is_object())
        return;
    uint64_t added = 0;
    for (const ImportNote& note : notes) {
        if (note.reason.empty() || note.count == 0)
            continue;
        nlohmann::ordered_json& leftOut = report["left_out"];
        if (!leftOut.is_object())
            leftOut = nlohmann::ordered_json::object();
        nlohmann::ordered_json& entry = leftOut[note.reason];
        if (!entry.is_object())
            entry = {{"total", 0}, {"unlisted", 0}, {"items", nlohmann::ordered_json::array()}};
        entry["total"] = entry.value("total", uint64_t{0}) + note.count;
        nlohmann::ordered_json& items = entry["items"];
        if (items.is_array() && items.size() < kItemsListed)
            items.push_back({{"path", model}, {"detail", note.line}, {"count", note.count}});
        else
            entry["unlisted"] = entry.value("unlisted", uint64_t{0}) + note.count;
        added += note.count;
    }
    if (added > 0)
        report["left_out_total"] = report.value("left_out_total", uint64_t{0}) + added;
}

} // namespace modelimport
