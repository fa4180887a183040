// Placeholder until the animation sampling lands: no track produces a node.
#include "animation.h"
std::vector<std::shared_ptr<orv::FBXAnimation>>
sampleTracks(TranslationContext&, const std::string&, std::vector<host::Track>, const std::string&, int,
             const host::Vec3&, const host::Vec3&, const host::Vec3&, bool)
{
    return {};
}
