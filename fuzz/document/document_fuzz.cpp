// Feeds arbitrary bytes to the JSON document loader, whose fast pass must agree with its
// thorough reading; whatever it accepts is then read back through the plug-in's view of
// the host, the way the translators read a document.
#include "c4d_host.h"
#include "sim_host.h"
#include "sim_json_heavy.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

volatile double g_sink = 0;

void readObject(const host::Document& doc, const host::Object& o, int depth)
{
    if (!o || depth > 300)
        return;
    host::Matrix m{};
    o.mg(m);
    g_sink = g_sink + m.off.x + static_cast<double>(o.key()) + static_cast<double>(o.name().size());
    int32_t nPoints = 0, nPolygons = 0;
    const host::Vec3* points = o.points(nPoints);
    const host::CPolygon* polygons = o.polygons(nPolygons);
    for (int32_t i = 0; i < nPolygons; ++i) {
        const host::CPolygon& p = polygons[i];
        for (int32_t index : {p.a, p.b, p.c, p.d})
            if (index >= 0 && index < nPoints)
                g_sink = g_sink + points[index].x;
    }
    host::PhongNormals normals = o.phongNormals();
    for (int32_t i = 0; i < normals.count(); ++i)
        g_sink = g_sink + normals.data()[i].z;
    for (host::Tag t = o.firstTag(); t; t = t.next()) {
        host::UVWStruct uvw{};
        for (int32_t i = -1; i <= nPolygons && i < 1000; ++i)
            if (t.uvw(i, uvw))
                g_sink = g_sink + uvw.a.x;
        host::Selection s = t.selection();
        for (int32_t seg = -1; seg <= s.segments() && seg < 1000; ++seg) {
            int32_t first = 0, last = 0;
            if (s.range(seg, nPolygons, first, last))
                g_sink = g_sink + first + last;
        }
        host::Material mat = t.material();
        for (host::Shader sh = mat.firstShader(); sh; sh = sh.next()) {
            std::string full, leaf;
            host::Vec3 colour{};
            sh.getFilename(1000, full, leaf);
            sh.getGradientKnot0(1007, colour);
        }
        host::Element target;
        t.getLink(1000, doc, target);
    }
    for (host::Track tr = o.firstTrack(); tr; tr = tr.next()) {
        host::Curve c = tr.curve();
        host::Time t;
        for (int32_t k = 0; k < c.keyCount() && k < 1000; ++k)
            if (c.keyTime(k, t))
                g_sink = g_sink + tr.value(doc, t, 30);
    }
    {
        host::HairLock lock(o, doc);
        host::HairGuides g = lock.generate();
        int32_t count = 0;
        const host::Vec3* p = g.points(count);
        if (p && count > 0)
            g_sink = g_sink + p[count - 1].y + g.strandCount() + g.segmentCount();
    }
    host::Layer layer = o.layer(doc);
    int32_t on = 0;
    layer.getInt(1002, on);
    readObject(doc, o.deformCache(), depth + 1);
    readObject(doc, o.cache(), depth + 1);
    for (host::Object c = o.down(); c; c = c.next())
        readObject(doc, c, depth + 1);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string error;
    auto model = sim::parseDocument(text, "/fuzz", error);
    // The fast pass over the long arrays must read exactly what the thorough reading reads.
    std::string thoroughError;
    auto thorough = sim::parseDocumentThoroughly(text, "/fuzz", thoroughError);
    if (!model != !thorough || error != thoroughError || (model && !sim::sameHeavyArrays(*model, *thorough)))
        std::abort();
    if (!model)
        return 0;
    host::bind(sim::hostTable());
    host::Document doc(sim::handle(model.get()));
    doc.executePasses();
    bool ok = false;
    for (const host::Element& e : doc.selection(ok))
        g_sink = g_sink + static_cast<double>(e.key());
    for (host::Object o = doc.firstObject(); o; o = o.next())
        readObject(doc, o, 0);
    host::unbind();
    return 0;
}
