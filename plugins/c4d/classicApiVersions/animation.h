// Sampling of position, rotation and scale tracks into matrix animations.
#pragma once

#include "Animation.h"
#include "c4d_host.h"

#include <memory>
#include <string>
#include <vector>

struct TranslationContext;

std::vector<std::shared_ptr<orv::FBXAnimation>>
sampleTracks(TranslationContext& context, const std::string& objectName,
             std::vector<host::Track> tracks, const std::string& channelName, int rotationOrder,
             const host::Vec3& staticPosition, const host::Vec3& staticRotation,
             const host::Vec3& staticScale, bool isCamera);
