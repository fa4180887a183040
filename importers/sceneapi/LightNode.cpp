// Scene node base and the import options module.
#include "LightNode.h"

#include "orvSceneapi_oo.h"

namespace orv {

// The wrapper's entry for a node: the node writes itself. Defined with the nodes, so that
// the wrapper needs to know no node type.
int orvSceneapi_oo::writeNode(LightNode& node) { return node.write(*this); }

// One load block named after the module, holding its settings. The result of beginLoad
// is not looked at: the settings are written in any case.
int LightModule::write(orvSceneapi_oo& api)
{
    if (orvScene_api* back = api.api()) back->beginLoad(name.c_str());
    writeOptions(api);
    if (orvScene_api* back = api.api()) back->endLoad();
    return 0;
}

DefaultRTModule::DefaultRTModule() : LightModule("orvrtopt.so") {}

void DefaultRTModule::writeOptions(orvSceneapi_oo& api)
{
    api.setBool("import_mode", importMode);
    api.setBool("import_merge_groups", mergeGroups);
    api.setBool("import_merge_objects", mergeObjects);
    api.setInt("import_up_vector", upVector);
    api.setFloat("meter_scale", meterScale);
    api.setBool("import_keep_original", keepOriginal);
    api.setBool("import_center_geometry", centerGeometry);
    api.setBool("import_snap_to_ground", snapToGround);
    api.setBool("import_adjust_camera", adjustCamera);
    api.setBool("import_adjust_environment", adjustEnvironment);
    if (!useCamera.empty()) api.setString(std::string("import_use_camera"), useCamera);
    api.setBool("ext", ext);
}

} // namespace orv
