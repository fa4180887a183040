// Editor and render visibility down the object tree: a polygon object is written as a mesh
// only when it is visible both in the editor and in the render, each flag taken from the
// object's own setting (0 shown, 1 hidden) or, with 2, from its parent's.
#include "scene_fixture.h"

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

using namespace scenetest;

namespace {

struct Node {
    const char* name;
    int editor, render; // 901 and 902: 0 shown, 1 hidden, 2 as the parent
    std::vector<Node> children;
};

void write(std::ostringstream& json, const Node& n)
{
    json << R"({"type": "polygon", "name": ")" << n.name
         << R"(", "points": [[0, 0, 0], [1, 0, 0], [0, 1, 0]], "polygons": [[0, 1, 2]], "params": {"visibility_editor": )"
         << n.editor << R"(, "visibility_render": )" << n.render << R"(}, "children": [)";
    for (size_t i = 0; i < n.children.size(); ++i) {
        json << (i ? ", " : "");
        write(json, n.children[i]);
    }
    json << "]}";
}

} // namespace

TEST(RenderVisibility, EachFlagIsInheritedOnItsOwn)
{
    // Names end in "+" when the object is written as a mesh.
    const std::vector<Node> tree = {
        // Shown in the editor, hidden in the render: children that follow the parent are
        // hidden in the render too, however they are set for the editor.
        {"RenderOff", 0, 1, {
            {"RenderOff/Inherits", 2, 2, {
                {"RenderOff/Inherits/Inherits", 2, 2, {}},
                {"RenderOff/Inherits/RenderOn+", 2, 0, {}}}},
            {"RenderOff/EditorOn", 0, 2, {}},
            {"RenderOff/RenderOn+", 2, 0, {}},
            {"RenderOff/EditorOff", 1, 0, {}}}},
        // The mirror image: hidden in the editor, shown in the render.
        {"EditorOff", 1, 0, {
            {"EditorOff/Inherits", 2, 2, {
                {"EditorOff/Inherits/EditorOn+", 0, 2, {}}}},
            {"EditorOff/EditorOn+", 0, 2, {}},
            {"EditorOff/RenderOff", 0, 1, {}}}},
        // Top-level objects start out visible.
        {"Default+", 2, 2, {{"Default/Inherits+", 2, 2, {}}, {"Default/RenderOff", 2, 1, {}}}},
    };
    std::ostringstream json;
    json << R"({"objects": [)";
    std::vector<std::string> meshes;
    const auto expect = [&](auto&& self, const Node& n) -> void {
        const std::string name = n.name;
        if (name.back() == '+')
            meshes.push_back(name);
        for (const Node& c : n.children)
            self(self, c);
    };
    for (size_t i = 0; i < tree.size(); ++i) {
        json << (i ? ", " : "");
        write(json, tree[i]);
        expect(expect, tree[i]);
    }
    json << "]}";

    const Scene scene = exportJson(json.str());
    std::vector<std::string> written;
    for (const Statement* o : scene.top().allDeep("object"))
        written.push_back(o->name());
    std::sort(written.begin(), written.end());
    std::sort(meshes.begin(), meshes.end());
    EXPECT_EQ(written, meshes);
    // Every object keeps its group, mesh or not.
    EXPECT_EQ(scene.top().allDeep("group").size(), 1u + 15u); // the document's group and one per object
}
