// The translation driver: one document into scene API calls.
#pragma once

#include "c4d_host.h"

#include <string>
#include <vector>

struct TranslationContext;

void translateDocument(TranslationContext& context, host::Document document);
void collectCameras(const host::Object& object, std::vector<host::Object>& list);
// "untitled", or the document's name up to its last ".".
std::string sceneNameOf(const host::Document& document);
