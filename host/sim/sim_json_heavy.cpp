// The fast pass of the document loader (see sim_json_heavy.h). simdjson's on-demand reader
// walks the document once, forward, through the places sim_json_layout.h names: the objects
// (with their children and caches), their tags and hair, and reads the long arrays found
// there into vectors sized in advance. Any
// surprise ends the pass; the thorough reading then gives the exact message.
#include "sim_json_heavy.h"

#include "sim_json_layout.h"

#include <simdjson.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace sim {

namespace {

namespace od = simdjson::ondemand;
using Kind = HeavyArrays::Kind;

// Something the fast pass leaves to the thorough reading.
struct Surprise {};

// A coordinate as the thorough reading takes it. -0 written as an integer reads as +0
// there; the rare negative zero is left to it rather than told apart here.
double number(simdjson::simdjson_result<od::value> v)
{
    const double d = v.get_double();
    if (d == 0 && std::signbit(d))
        throw Surprise{};
    return d;
}

int32_t integer(simdjson::simdjson_result<od::value> v)
{
    const int64_t i = v.get_int64();
    if (i < INT32_MIN || i > INT32_MAX)
        throw Surprise{};
    return static_cast<int32_t>(i);
}

// The items of a short array, each taken by `read`, at most `max` of them; their count.
template <auto read, typename T>
size_t items(simdjson::simdjson_result<od::value> v, T* out, size_t max)
{
    size_t n = 0;
    for (auto item : v.get_array()) {
        if (n == max)
            throw Surprise{};
        out[n++] = read(item);
    }
    return n;
}

Vec3 vec3(simdjson::simdjson_result<od::value> v)
{
    double c[3];
    if (items<number>(v, c, 3) != 3)
        throw Surprise{};
    return Vec3{c[0], c[1], c[2]};
}

// [u, v] or [u, v, w]
Vec3 uvw(simdjson::simdjson_result<od::value> v)
{
    double c[3];
    const size_t n = items<number>(v, c, 3);
    if (n < 2)
        throw Surprise{};
    return Vec3{c[0], c[1], n == 3 ? c[2] : 0.0};
}

class Walker {
public:
    Walker(const char* text, HeavyArrays& out) : copied_(text), out_(out) {}

    void document(od::document& doc)
    {
        for (auto field : doc.get_object()) {
            od::field f = std::move(field);
            if (f.unescaped_key().value() == layout::kObjects)
                objectList(f.value(), 0);
        }
    }

    // Copies the text after the last array read and pads it for the parser.
    void finish(const char* end)
    {
        if (out_.entries.empty())
            return;
        out_.reduced.append(copied_, static_cast<size_t>(end - copied_));
        out_.reducedSize = out_.reduced.size();
        out_.reduced.append(simdjson::SIMDJSON_PADDING, '\0');
    }

private:
    const char* copied_; // the text up to here is in the reduced text
    HeavyArrays& out_;

    void objectList(od::value v, int depth)
    {
        for (auto item : v.get_array())
            object(item.value(), depth);
    }

    // An object `depth` levels below the top. Past the loader's limit the thorough reading
    // takes over and names where the document goes too deep.
    void object(od::value v, int depth)
    {
        if (depth > kMaxObjectDepth)
            throw Surprise{};
        for (auto field : v.get_object()) {
            od::field f = std::move(field);
            const std::string_view key = f.unescaped_key().value();
            od::value& value = f.value();
            if (key == layout::kPoints)
                heavy(value, Kind::Points);
            else if (key == layout::kPolygons)
                heavy(value, Kind::Polygons);
            else if (key == layout::kPhongNormals)
                heavy(value, Kind::Normals);
            else if (key == layout::kChildren)
                objectList(value, depth + 1);
            else if (key == layout::kCache || key == layout::kDeformCache)
                object(value, depth + 1);
            else if (key == layout::kTags)
                for (auto tag : value.get_array())
                    members(tag.value(), layout::kUvw, Kind::Uvw, layout::kSegments, Kind::Segments);
            else if (key == layout::kHair)
                members(value, layout::kHairPoints, Kind::HairPoints, layout::kRootUV, Kind::RootUV);
        }
    }

    // An object whose two named members are heavy arrays.
    void members(od::value v, std::string_view key1, Kind kind1, std::string_view key2, Kind kind2)
    {
        for (auto field : v.get_object()) {
            od::field f = std::move(field);
            const std::string_view key = f.unescaped_key().value();
            if (key == key1)
                heavy(f.value(), kind1);
            else if (key == key2)
                heavy(f.value(), kind2);
        }
    }

    void heavy(od::value& v, Kind kind)
    {
        const char* start = v.raw_json_token().data();
        od::array list = v.get_array();
        const size_t count = list.count_elements();
        HeavyArrays::Entry e{kind, {}, {}, {}, {}, {}};
        switch (kind) {
        case Kind::Points:
        case Kind::HairPoints:
            e.vec3.reserve(count);
            for (auto item : list)
                e.vec3.push_back(vec3(item));
            break;
        case Kind::RootUV:
            e.vec3.reserve(count);
            for (auto item : list)
                e.vec3.push_back(uvw(item));
            break;
        case Kind::Normals:
            e.normals.reserve(count);
            for (auto item : list) {
                const Vec3 n = vec3(item);
                e.normals.push_back({static_cast<float>(n.x), static_cast<float>(n.y), static_cast<float>(n.z)});
            }
            break;
        case Kind::Polygons:
            e.polygons.reserve(count);
            for (auto item : list) {
                int32_t i[4];
                const size_t n = items<integer>(item, i, 4);
                if (n < 3)
                    throw Surprise{};
                e.polygons.push_back({i[0], i[1], i[2], n == 4 ? i[3] : i[2]});
            }
            break;
        case Kind::Uvw:
            e.uvw.reserve(count);
            for (auto item : list) {
                Vec3 c[4];
                const size_t n = items<uvw>(item, c, 4);
                if (n < 3)
                    throw Surprise{};
                e.uvw.push_back({c[0], c[1], c[2], n == 4 ? c[3] : c[2]});
            }
            break;
        case Kind::Segments:
            e.segments.reserve(count);
            for (auto item : list) {
                int32_t i[2];
                if (items<integer>(item, i, 2) != 2)
                    throw Surprise{};
                e.segments.emplace_back(i[0], i[1]);
            }
            break;
        }
        // The array ends before the next structural character (a comma or a brace).
        const char* end = v.current_location().value();
        out_.reduced.append(copied_, static_cast<size_t>(start - copied_));
        out_.reduced += "\"\\u0000H";
        out_.reduced += std::to_string(out_.entries.size());
        out_.reduced += '"';
        copied_ = end;
        out_.entries.push_back(std::move(e));
    }
};

} // namespace

std::string HeavyArrays::placeholder(size_t index)
{
    return std::string("\0H", 2) + std::to_string(index);
}

HeavyArrays::Entry* HeavyArrays::take(std::string_view text, Kind kind)
{
    if (text.size() < 3 || text[0] != '\0' || text[1] != 'H')
        return nullptr;
    size_t id = 0;
    const auto [end, ec] = std::from_chars(text.data() + 2, text.data() + text.size(), id);
    if (ec != std::errc() || end != text.data() + text.size() || id >= entries.size() || entries[id].kind != kind)
        return nullptr;
    return &entries[id];
}

bool readHeavyArrays(const char* text, size_t size, HeavyArrays& out)
{
    try {
        od::parser parser;
        if (parser.allocate(size, kMaxJsonDepth))
            return false;
        od::document doc = parser.iterate(text, size, size + simdjson::SIMDJSON_PADDING);
        Walker walker(text, out);
        walker.document(doc);
        walker.finish(text + size);
        return true;
    } catch (const Surprise&) {
    } catch (const std::exception&) {
    }
    out = HeavyArrays{};
    return false;
}

namespace {

template <typename T>
bool sameBits(const std::vector<T>& a, const std::vector<T>& b)
{
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

bool sameObjects(const Object* a, const Object* b);

bool sameObjectLists(const std::vector<std::unique_ptr<Object>>& a, const std::vector<std::unique_ptr<Object>>& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (!sameObjects(a[i].get(), b[i].get()))
            return false;
    return true;
}

bool sameObjects(const Object* a, const Object* b)
{
    if (!a || !b)
        return a == b;
    if (!sameBits(a->points, b->points) || !sameBits(a->polygons, b->polygons) ||
        a->hasPointTag != b->hasPointTag || a->hasPolygonTag != b->hasPolygonTag ||
        a->phongNormals.has_value() != b->phongNormals.has_value() ||
        (a->phongNormals && !sameBits(*a->phongNormals, *b->phongNormals)) ||
        !sameBits(a->hair.points, b->hair.points) || !sameBits(a->hair.rootUV, b->hair.rootUV) ||
        a->hair.strandCount != b->hair.strandCount || a->hair.segmentCount != b->hair.segmentCount ||
        a->tags.size() != b->tags.size())
        return false;
    for (size_t i = 0; i < a->tags.size(); ++i)
        if (!sameBits(a->tags[i]->uvw, b->tags[i]->uvw) || !sameBits(a->tags[i]->segments, b->tags[i]->segments))
            return false;
    return sameObjects(a->cache.get(), b->cache.get()) && sameObjects(a->deformCache.get(), b->deformCache.get()) &&
           sameObjectLists(a->children, b->children);
}

} // namespace

bool sameHeavyArrays(const Document& a, const Document& b)
{
    return sameObjectLists(a.objects, b.objects);
}

} // namespace sim
