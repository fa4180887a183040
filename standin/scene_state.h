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
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace standin {

struct ModelSet {
    std::string name;
    size_t objects = 0;
    size_t groups = 0;
    int stream = 0;   // number of the stream that brought it
    unsigned id = 0;  // the id the sender gave with its connection
    orv::qrf::Statement group; // the received group, merged with what was held (shares the parsed blocks)
    std::shared_ptr<const std::string> text; // the text of the stream that sent the group, when kept
};

// The text a stream arrived in, kept while the held scene uses its statements (null when
// the caller keeps no texts: the held scene can then not be written out).
using StreamText = std::shared_ptr<const std::string>;

class SceneState {
public:
    // Takes in a parsed stream: every top-level scene group (not a definition) becomes the
    // active model set of its name, replacing an earlier one of the same name; a group that
    // carries the mark of a Live update (live_update_marks.h) is merged into the model set
    // of its name instead (see mergeGroup). Returns the names taken in, in stream order.
    // text, when given, is the stream's text (doc was parsed from it), kept for heldText.
    std::vector<std::string> receive(const orv::qrf::Document& doc, int stream, unsigned id = 0,
                                     StreamText text = nullptr);

    const std::vector<ModelSet>& modelSets() const { return sets_; }

    // What a preview draws: the camera sections held, then every active model set's group.
    // A stream's cameras replace the held ones when its import options ask to adjust the
    // camera, or when none are held yet.
    std::vector<const orv::qrf::Statement*> drawable() const;

    std::string sceneXml(int64_t processId, int major) const;

    // The whole scene held now as one scene file: a comment, the version record, the held
    // cameras and every active model set, each statement in the bytes it arrived in. False
    // when a held part came without its text.
    bool heldText(std::string& out) const;

private:
    // The texts of a merged block's statements, one per statement, and the block itself,
    // kept alive so that its address is not reused while it is listed.
    struct MergedBlock {
        std::shared_ptr<orv::qrf::Block> block;
        std::vector<StreamText> texts;
    };

    // The merge of an update group into the held group of the same path: the fresh
    // group's statements in their order (its transform, flags, attributes, animation,
    // progress records), its child groups merged with the held children of the same name
    // and index among same-named siblings, and as content (object records) the fresh
    // group's when it carries any or the "content replaced" mark, else the held group's;
    // with the "looks" mark, fresh objects without geometry keep the held geometry.
    // Held children the fresh group does not re-send are dropped.
    orv::qrf::Statement mergeGroup(const orv::qrf::Statement& held, const StreamText& heldText,
                                   const orv::qrf::Statement& fresh, const StreamText& freshText);
    // A held object with the materials of a fresh one that carries no geometry.
    orv::qrf::Statement withLooks(const orv::qrf::Statement& held, const StreamText& heldText,
                                  const orv::qrf::Statement& fresh, const StreamText& freshText);
    // The text of statement i of a block: its own when merged, else the owner's.
    const StreamText& textOf(const orv::qrf::Block* block, size_t i, const StreamText& owner) const;
    // Forgets merged blocks that no held model set reaches any more.
    void pruneMerged();
    bool appendHeld(const orv::qrf::Statement& s, const StreamText& text, std::string& out) const;

    std::vector<ModelSet> sets_;
    std::vector<orv::qrf::Statement> cameras_;
    StreamText camerasText_;
    std::unordered_map<const orv::qrf::Block*, MergedBlock> merged_;
};

// The instance element answered to an instance query.
std::string instanceXml(int major, int64_t processId, int port);

// Escapes text for an XML attribute or element: markup characters and control bytes
// become references; bytes that do not form valid UTF-8 become U+FFFD.
std::string xmlEscape(std::string_view text);

} // namespace standin
