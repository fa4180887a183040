// The drawing process's side: a copy of the held scene, made when the server forked it, kept
// up to date with every stream the server passes on (taken in by the same rule, so both
// hold the same scene), and a preview::Drawing that keeps its state from one picture to the
// next. Streams that arrive while a picture is drawn are all taken in before the next one:
// that picture shows the scene as it then stands, and no queue of stale pictures builds up.
#pragma once

#include "Preview.h"
#include "drawing_messages.h"
#include "scene_state.h"

#include <optional>

namespace standin::drawing {

struct Settings {
    preview::Options options;
    bool quick = false; // a quick picture at a third of the size first when every pixel is traced again
};

// Where the quick picture for a picture at `png` goes: beside it, "-quick" before ".png".
std::string quickPath(const std::string& png);

// Serves the server on `socket` until it is gone; `first`, when given, is a stream already
// in `scene` whose picture is to be drawn first. Never returns by an exception.
void serve(int socket, SceneState& scene, const Settings& settings, std::optional<StreamMessage> first);

} // namespace standin::drawing
