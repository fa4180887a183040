// Feeds arbitrary bytes to the scene file reader (parsing and checking alike), then to the
// listing and the counts that qrfdump builds from what was read. Any crash, overread, leak or hang is a finding.
#include "QrfText.h"
#include "SceneReader.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    orv::qrf::Document document;
    orv::qrf::ParseError error;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const bool parsed = orv::qrf::parse(input, document, error);
    // Checking without building must come to the same verdict at the same spot.
    orv::qrf::ParseError checked;
    if (orv::qrf::check(input, checked) != parsed || checked.offset != error.offset ||
        checked.message != error.message || checked.truncated != error.truncated)
        __builtin_trap();
    if (!parsed) {
        if (error.offset > size) __builtin_trap(); // offsets always lie inside the input
        return 0;
    }
    (void)orv::qrf::computeStats(document, size);
    size_t listed = 0;
    orv::qrf::dumpDocument(document, [&](std::string_view piece) { listed += piece.size(); });
    return 0;
}
