// The object hierarchy walk, the tag visitor and the track classifier.
#pragma once

#include "c4d_host.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace orv {
class FBXAnimation;
}
struct TranslationContext;

using TextureTagList = std::vector<host::Tag>; // entries may be null (display colour)
using SelectionTagMap = std::map<std::string, host::Tag>;

void walkObject(TranslationContext& context, host::Object object, TextureTagList textureTags,
                bool editorVisible, bool renderVisible, bool included, float weight);

// Sorts one tag into the outputs given (null pointers are skipped).
void visitTag(const host::Tag& tag, host::Tag* uvwTag, host::Tag* normalTag,
              SelectionTagMap* selectionTags, TextureTagList& textureTags);

// Appends an animated position, rotation or scale track to its list. A track ignored for
// its keys or because it is muted is reported to the context's report when one is given.
void classifyTrack(const host::Track& track, std::vector<host::Track>& scaleTracks,
                   std::vector<host::Track>& rotationTracks,
                   std::vector<host::Track>& positionTracks, TranslationContext* context = nullptr);

void emitChannelAnimation(TranslationContext& context, const std::string& objectName,
                          const std::vector<host::Track>& tracks, const std::string& channelName,
                          int rotationOrder, bool isCamera, const host::Vec3& position,
                          const host::Vec3& rotation, const host::Vec3& scale);

// Copies a UTF-8 text into a fixed buffer of the given size, cut at a character boundary.
void copyUtf8Bounded(const std::string& text, char* buffer, size_t size);
