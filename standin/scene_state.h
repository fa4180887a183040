// What the stand-in renderer holds: one active model set per scene group it received, and
// the two XML texts it answers queries with (its instance element and its scene
// description).
//
// Scene description layout:
//   <tavrin_scene process_id=".." version_major="..">      root
//     <scene>                                              first child of the root
//       <environment/> <camera/>                           no child elements of their own
//       <modelset modelset="active" name="..">             one per received scene group
//         <objects>..</objects> <groups>..</groups> <stream>..</stream> <id>..</id>
//       </modelset>
//     </scene>
//   </tavrin_scene>
// A fresh renderer's scene counts as empty (no child of <scene> has a child element); a
// model set sits two levels below the root, so a search three or more levels deep finds
// it by name. Only model set elements carry a name attribute, so no other element can be
// mistaken for a scene of the same name.
#pragma once

#include "SceneReader.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace standin {

struct ModelSet {
    std::string name;
    size_t objects = 0;
    size_t groups = 0;
    int stream = 0;   // number of the stream that brought it
    unsigned id = 0;  // the id the sender gave with its connection
    orv::qrf::Statement group; // the received group itself (shares the parsed blocks)
};

class SceneState {
public:
    // Takes in a parsed stream: every top-level scene group (not a definition) becomes the
    // active model set of its name, replacing an earlier one of the same name. Returns the
    // names taken in, in stream order.
    std::vector<std::string> receive(const orv::qrf::Document& doc, int stream, unsigned id = 0);

    const std::vector<ModelSet>& modelSets() const { return sets_; }

    // What a preview draws: the camera sections held, then every active model set's group.
    // A stream's cameras replace the held ones when its import options ask to adjust the
    // camera, or when none are held yet.
    std::vector<const orv::qrf::Statement*> drawable() const;

    std::string sceneXml(int64_t processId, int major) const;

private:
    std::vector<ModelSet> sets_;
    std::vector<orv::qrf::Statement> cameras_;
};

// The instance element answered to an instance query.
std::string instanceXml(int major, int64_t processId, int port);

// Escapes text for an XML attribute or element: markup characters and control bytes
// become references; bytes that do not form valid UTF-8 become U+FFFD.
std::string xmlEscape(std::string_view text);

} // namespace standin
