// What the stand-in renderer holds is bounded, so that a flood of streams cannot take its
// memory or make its answers too large to read:
//  - a scene group's name is held (and answered) cut to kMaxNameBytes, at a character
//    boundary; two names that agree that far are one model set;
//  - at most kMaxModelSets model sets are held: a stream that would bring more is refused;
//  - the parsed scene held stays within a memory budget (ServerOptions::memoryBudget): a
//    stream whose parse would pass it is refused. A stream's parse is reckoned from its
//    bytes before it is parsed (see parsedEstimate), the scene held is measured after.
// A refusal is the stream's answer ("TAVRIN-RECEIVED <bytes> error 0 <why>"), so the sender
// knows; the scene held stays as it was.
#pragma once

#include "SceneReader.h"
#include "scene_state.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace standin::limits {

inline constexpr size_t kMaxNameBytes = 1024;
inline constexpr size_t kMaxModelSets = 256;
inline constexpr uint64_t kDefaultMemoryBudget = uint64_t(2) << 30;

// The name as held: cut to kMaxNameBytes without splitting a character.
std::string heldName(std::string_view name);

// Cuts the names of the document's top-level scene groups as heldName does, before the
// scene takes them in.
void capGroupNames(orv::qrf::Document& doc);

// Bytes the parsed statements take in memory: their values' arrays and texts, and the
// statements themselves. A block reached twice (shared by a merge) counts once.
uint64_t parsedBytes(const std::vector<const orv::qrf::Statement*>& top);

// What parsing a stream will take at most, from its bytes: a binary run's numbers and a
// quoted name take their own size, while other text may take up to kTextFactor times its
// size (a one-digit number in a list becomes a string of its own).
inline constexpr uint64_t kTextFactor = 20;
inline uint64_t parsedEstimate(uint64_t bytes, uint64_t binaryBytes, uint64_t quotedBytes)
{
    const uint64_t plain = bytes > binaryBytes + quotedBytes ? bytes - binaryBytes - quotedBytes : 0;
    return binaryBytes + quotedBytes + plain * kTextFactor;
}

// Why a stream must be refused, or "" when it may be taken in: it brings `newSets` model
// sets to the `heldSets` held, and its parse (estimated) to the `heldBytes` of the budget
// that stay (those of the sets it replaces left out).
std::string refusal(size_t heldSets, size_t newSets, uint64_t heldBytes, uint64_t estimate, uint64_t budget);

} // namespace standin::limits
