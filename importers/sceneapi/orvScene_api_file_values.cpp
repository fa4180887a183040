// The text scene file writer's names, blobs, values and lists: the quoted and escaped
// names, hex blobs, the text of each value type and of value lists (written as text or as
// binary runs), as the records in orvScene_api_file.cpp write them.
#include "orvScene_api_file.h"

#include "number_text.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace orv {

namespace {

constexpr double LargestFloat = 3.4028234663852886e38;

// Values outside the float range (and NaN) are written as -1: the renderer reads them as
// floats and would otherwise get infinities.
inline double clampFloat(double v)
{
    return (v > -LargestFloat && v < LargestFloat) ? v : -1.0;
}

template <class T> inline T load(const void* p)
{
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <class T, size_t N> inline void loadN(T (&out)[N], const void* p)
{
    std::memcpy(out, p, sizeof out);
}

inline const char* orEmpty(const char* s) { return s ? s : ""; }

// True when the name can be written between double quotes as it stands.
bool plainName(const char* s)
{
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(s); *p; ++p) {
        if (*p == '\n' || *p == '\r' || *p == '"' || *p >= 128) return false;
    }
    return true;
}

const char hexDigits[] = "0123456789abcdef";

} // namespace

// ---------------------------------------------------------------------------------------
// Names, blobs, values

void orvScene_api_file::quoted(const char* name, bool lineStart)
{
    const char* s = orEmpty(name);
    if (plainName(s)) {
        formatted(lineStart, "\"%s\"", s);
        return;
    }
    if (lineStart) writeIndent();
    char buf[514];
    buf[0] = 'x';
    buf[1] = 'X';
    size_t used = 2;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(s); *p; ++p) {
        if (used + 2 > sizeof buf) {
            raw(buf, used);
            used = 0;
        }
        buf[used++] = hexDigits[*p >> 4];
        buf[used++] = hexDigits[*p & 15];
    }
    raw(buf, used);
}

void orvScene_api_file::hexBlob(const unsigned char* data, size_t length)
{
    char buf[4096];
    buf[0] = 'b';
    buf[1] = 'X';
    size_t used = 2;
    for (size_t i = 0; i < length; ++i) {
        if (used + 2 > sizeof buf) {
            raw(buf, used);
            used = 0;
        }
        buf[used++] = hexDigits[data[i] >> 4];
        buf[used++] = hexDigits[data[i] & 15];
    }
    raw(buf, used);
}

void orvScene_api_file::shaderText(const ShaderText* shader)
{
    if (!shader) return;
    if (shader->isBinary())
        raw(shader->data(), shader->length());
    else
        formatted(false, "%s", shader->str().c_str());
}

void orvScene_api_file::value(int type, const void* v)
{
    if (!v) return;
    if (type & orvType::ArrayFlag && type != orvType::ShaderRef) {
        list(type, load<AttributeArray>(v));
        return;
    }
    switch (type) {
    case orvType::Float3: {
        float f[3];
        loadN(f, v);
        formatted(false, "%g %g %g", f[0], f[1], f[2]);
        break;
    }
    case orvType::Float4:
    case orvType::Float4b: {
        float f[4];
        loadN(f, v);
        formatted(false, "%g %g %g %g", f[0], f[1], f[2], f[3]);
        break;
    }
    case orvType::Float2: {
        float f[2];
        loadN(f, v);
        formatted(false, "%g %g", f[0], f[1]);
        break;
    }
    case orvType::Float:
        formatted(false, "%g", clampFloat(load<float>(v)));
        break;
    case orvType::Double:
        formatted(false, "%16.16f", load<double>(v));
        break;
    case orvType::Double3: {
        double d[3];
        loadN(d, v);
        formatted(false, "%g %g %g", d[0], d[1], d[2]);
        break;
    }
    case orvType::Int:
    case orvType::Intb:
        formatted(false, "%d", load<int32_t>(v));
        break;
    case orvType::Int2: {
        int32_t i[2];
        loadN(i, v);
        formatted(false, "%d %d", i[0], i[1]);
        break;
    }
    case orvType::Int3: {
        int32_t i[3];
        loadN(i, v);
        formatted(false, "%d %d %d", i[0], i[1], i[2]);
        break;
    }
    case orvType::Int4: {
        int32_t i[4];
        loadN(i, v);
        formatted(false, "%d %d %d %d", i[0], i[1], i[2], i[3]);
        break;
    }
    case orvType::Bool:
        formatted(false, "%s", load<int32_t>(v) ? "on" : "off");
        break;
    case orvType::Matrix16: {
        double d[16];
        loadN(d, v);
        double f[16];
        for (int i = 0; i < 16; ++i) f[i] = static_cast<float>(d[i]);
        formatted(false, "%g %g %g %g %g %g %g %g %g %g %g %g %g %g %g %g", f[0], f[1], f[2], f[3],
                  f[4], f[5], f[6], f[7], f[8], f[9], f[10], f[11], f[12], f[13], f[14], f[15]);
        break;
    }
    case orvType::String:
        quoted(static_cast<const char*>(v), false);
        break;
    case orvType::StringRef:
        quoted(load<const char*>(v), false);
        break;
    case orvType::ShaderRef: {
        int saved = indentLevel;
        indentLevel = 2;
        shaderText(static_cast<const ShaderText*>(load<ShaderHandle>(v)));
        indentLevel = saved;
        break;
    }
    default:
        break; // codes without a value
    }
}

void orvScene_api_file::binaryRun(char kind, const void* data, uint64_t scalars, size_t scalarSize)
{
    const unsigned char tag[4] = {1, 2, 3, static_cast<unsigned char>(kind)};
    raw(tag, sizeof tag);
    if (scalars > UINT32_MAX) {
        // The count field cannot hold it: write an empty run and fail the file rather
        // than a count that disagrees with the data.
        errno = EOVERFLOW;
        if (output) noteFailure();
        scalars = 0;
    }
    const uint32_t count = static_cast<uint32_t>(scalars);
    const unsigned char countBytes[4] = {static_cast<unsigned char>(count), static_cast<unsigned char>(count >> 8),
                                         static_cast<unsigned char>(count >> 16), static_cast<unsigned char>(count >> 24)};
    raw(countBytes, sizeof countBytes);
    const size_t bytes = static_cast<size_t>(scalars) * scalarSize;
    if constexpr (std::endian::native == std::endian::little) {
        raw(data, bytes);
    } else {
        unsigned char chunk[4096];
        const unsigned char* in = static_cast<const unsigned char*>(data);
        for (size_t done = 0; done < bytes;) {
            size_t n = bytes - done < sizeof chunk ? bytes - done : sizeof chunk;
            for (size_t i = 0; i < n; i += scalarSize)
                for (size_t b = 0; b < scalarSize; ++b) chunk[i + b] = in[done + i + scalarSize - 1 - b];
            raw(chunk, n);
            done += n;
        }
    }
}

void orvScene_api_file::list(int type, const AttributeArray& array)
{
    const int32_t count = (array.data && array.count > 0) ? array.count : 0;
    const unsigned char* base = static_cast<const unsigned char*>(array.data);

    if (binaryArrays) {
        char kind = 0;
        uint64_t scalars = static_cast<uint64_t>(count);
        size_t scalarSize = 4;
        switch (type) {
        case orvType::Float3Array: kind = 'c'; scalars *= 3; break;
        case orvType::FloatArray: kind = 'f'; break;
        case orvType::DoubleArray: kind = 'r'; scalarSize = 8; break;
        case orvType::IntArray:
        case orvType::IntbArray: kind = 'i'; break;
        default: break;
        }
        if (kind) {
            formatted(false, "[ ");
            binaryRun(kind, base, scalars, scalarSize);
            formatted(false, "] ");
            return;
        }
    }

    size_t stride = 0;
    switch (type) {
    case orvType::Float3Array: stride = 12; break;
    case orvType::Float4Array: stride = 16; break;
    case orvType::FloatArray: stride = 4; break;
    case orvType::DoubleArray: stride = 8; break;
    case orvType::Double3Array: stride = 24; break;
    case orvType::IntArray:
    case orvType::IntbArray:
    case orvType::BoolArray: stride = 4; break;
    case orvType::Matrix16Array: stride = 128; break;
    case orvType::StringArray:
    case orvType::StringRefArray: stride = sizeof(const char*); break;
    default: return; // not a list this writer knows: nothing at all
    }

    formatted(false, "[ ");
    if (type == orvType::Matrix16Array) {
        matrixRows(base, count);
        formatted(false, "] ");
        return;
    }
    for (int32_t i = 0; i < count; ++i) {
        const unsigned char* e = base + static_cast<size_t>(i) * stride;
        const char sep = i < count - 1 ? ',' : ' ';
        switch (type) {
        case orvType::Float3Array: {
            float f[3];
            loadN(f, e);
            formatted(false, "%g %g %g%c", f[0], f[1], f[2], sep);
            break;
        }
        case orvType::Float4Array: {
            float f[4];
            loadN(f, e);
            formatted(false, "%g %g %g %g%c", f[0], f[1], f[2], f[3], sep);
            break;
        }
        case orvType::FloatArray:
            formatted(false, "%g%c", clampFloat(load<float>(e)), sep);
            break;
        case orvType::DoubleArray:
            formatted(false, "%16.16f%c", clampFloat(load<double>(e)), sep);
            break;
        case orvType::Double3Array: {
            double d[3];
            loadN(d, e);
            formatted(false, "%g %g %g%c", d[0], d[1], d[2], sep);
            break;
        }
        case orvType::IntArray:
        case orvType::IntbArray:
            formatted(false, "%d%c", load<int32_t>(e), sep);
            break;
        case orvType::BoolArray:
            formatted(false, "%d%c", load<int32_t>(e) ? 1 : 0, sep);
            break;
        default: { // strings
            quoted(load<const char*>(e), false);
            formatted(false, "%c\n", sep);
            continue;
        }
        }
        if (i != 0 && i % 8 == 0) {
            formatted(false, "\n");
            writeIndent();
        }
    }
    formatted(false, "] ");
}

// Animations write millions of matrix rows: the values are formatted with formatG (exactly
// what "%g" gives in the "C" locale, without a vsnprintf per value) and handed on in chunks
// of many rows rather than a write per row. One animated component leaves most entries of
// its matrices unchanged from row to row, so each column keeps the text of its last value
// and a value with the same bits reuses it.
void orvScene_api_file::matrixRows(const unsigned char* base, int32_t count)
{
    constexpr size_t kRowMax = 16 * (kFormatGMax + 1) + 2;
    constexpr size_t kChunk = 64 * 1024;
    const size_t indent = indenting() && indentLevel > 0 ? static_cast<size_t>(indentLevel) : 0;
    // Sized for the rows at hand (a short track needs far less than a chunk) and left
    // uninitialised: every byte handed on is written first.
    const size_t rowRoom = indent + kRowMax;
    const size_t room = std::min(kChunk, static_cast<size_t>(count) * rowRoom) + rowRoom;
    const auto buffer = std::make_unique_for_overwrite<char[]>(room);
    char* const chunk = buffer.get();
    char* out = chunk;
    struct Column {
        uint64_t bits = 0;
        size_t length = 0; // 0: nothing kept yet
        char text[kFormatGMax];
    };
    Column columns[16];
    for (int32_t i = 0; i < count; ++i) {
        double d[16];
        loadN(d, base + static_cast<size_t>(i) * 128);
        out = std::fill_n(out, indent, ' ');
        for (int k = 0; k < 16; ++k) {
            Column& column = columns[k];
            const uint64_t bits = std::bit_cast<uint64_t>(d[k]);
            if (column.length == 0 || column.bits != bits) {
                // Whole fixed-size copies (the chunk has room for them) cost less than exact ones.
                char* const end = formatG(out, d[k]);
                column.bits = bits;
                column.length = static_cast<size_t>(end - out);
                std::memcpy(column.text, out, kFormatGMax);
                out = end;
            } else {
                std::memcpy(out, column.text, kFormatGMax);
                out += column.length;
            }
            *out++ = ' ';
        }
        if (i < count - 1) *out++ = ',';
        *out++ = '\n';
        if (static_cast<size_t>(out - chunk) >= kChunk || i == count - 1) {
            emitText(chunk, static_cast<size_t>(out - chunk));
            out = chunk;
        }
    }
}

} // namespace orv
