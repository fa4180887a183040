// Helpers shared by the files of the simulated host; not part of its public interface.
#pragma once

#include "sim_document.h"
#include "sim_long_arrays.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// Seconds of a host time; 0 when the denominator is 0.
double seconds(const Time& t);
// A track's parameter 904 as the host answers it: 1 unless the document sets it.
int32_t trackParameterOn(const Track& t);
// The track's value at a time in seconds: 0 without a curve or keys, the keys' values held
// before the first and after the last key, linear in between.
double trackValueAt(const Track& t, double secondsTime);

// Products of host matrices (offset and axes, column vectors: a * b applies b first).
Matrix multiply(const Matrix& a, const Matrix& b);
// The rotation matrix of a rotation vector for a host rotation order.
Matrix rotation(const Vec3& v, int32_t order);

// A host-allocated copy (malloc) of a text; null for an empty one.
char* copyText(const std::string& s);
// The part of a path after its last '/'.
std::string leafOf(const std::string& path);
// Sets the host table's entries for the session with the user and the plug-in: memory,
// registration, dialogs, console, status bar, report, strings and file names.
void fillSessionFunctions(c4d_host_table& t);
// Forgets every hair lock (when the host state is cleared).
void clearHairLocks();

// documentJson with every long array of finite numbers left out: a placeholder stands in
// its place and the array is listed in `arrays` (packDocument, sim_document_pack.h).
std::string packedDocumentJson(const Document& doc, std::vector<PackedArray>& arrays);

// Decodes a PNG file; false when it is missing or not a valid PNG.
bool decodePng(const std::string& path, int32_t& width, int32_t& height,
               std::vector<uint8_t>& rgba);

} // namespace sim
