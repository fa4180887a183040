// Feeds arbitrary bytes to the scene file reader, then to the listing and the counts that
// qrfdump builds from what was read. Any crash, overread, leak or hang is a finding.
#include "QrfText.h"
#include "SceneReader.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    orv::qrf::Document document;
    orv::qrf::ParseError error;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    if (!orv::qrf::parse(input, document, error)) {
        if (error.offset > size) __builtin_trap(); // offsets always lie inside the input
        return 0;
    }
    (void)orv::qrf::computeStats(document, size);
    size_t listed = 0;
    orv::qrf::dumpDocument(document, [&](std::string_view piece) { listed += piece.size(); });
    return 0;
}
