// The two marks an update stream of the Live session writes with fileAttribute, and that a
// renderer reads to merge the stream into the scene it holds (the rule is in the stand-in's
// README):
//   in the scene group:  attribute "live update" "merge"
//       the stream re-sends the whole group tree; a group that carries no content keeps the
//       content the renderer holds for it, and groups it does not re-send are removed;
//   in an object's group: attribute "live content" "replaced"
//       this group's content is exactly what the stream carries for it, none meaning gone;
//   or: attribute "live content" "looks"
//       only the materials changed: each object of the group's content replaces the held
//       one at its place, and one that carries no geometry keeps the held one's geometry.
#pragma once

namespace orv::live {

inline constexpr const char* kUpdateKey = "live update";
inline constexpr const char* kUpdateMerge = "merge";
inline constexpr const char* kContentKey = "live content";
inline constexpr const char* kContentReplaced = "replaced";
inline constexpr const char* kContentLooks = "looks";

} // namespace orv::live
