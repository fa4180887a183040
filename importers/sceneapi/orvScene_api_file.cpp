// Text scene file writer. Each scene API operation becomes a fixed piece of text; see the
// class comment in orvScene_api_file.h for the error and locale rules.
#include "orvScene_api_file.h"

#include "number_text.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <clocale>
#include <cstring>
#include <functional>

namespace orv {

namespace {

constexpr size_t ScratchSize = 1u << 20;
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

void ShaderText::append(const char* bytes, size_t n)
{
    if (n == 0) return;
    std::less<const char*> before;
    if (!text.empty() && !before(bytes, text.data()) && before(bytes, text.data() + text.size())) {
        // Appending a shader to itself: copy first, the append may move the text.
        std::string copy(bytes, n);
        text.append(copy);
        return;
    }
    if (text.size() + n + 1 > text.capacity()) text.reserve(n + 2 * text.capacity() + 512);
    text.append(bytes, n);
}

orvScene_api_file::orvScene_api_file(FILE* out, bool binary)
    : output(out), binaryArrays(binary)
{
    const char* previous = std::setlocale(LC_NUMERIC, nullptr);
    savedNumericLocale = previous ? previous : "";
    std::setlocale(LC_NUMERIC, "C");
    scratch.resize(ScratchSize);
}

orvScene_api_file::~orvScene_api_file()
{
    if (!savedNumericLocale.empty()) std::setlocale(LC_NUMERIC, savedNumericLocale.c_str());
}

// ---------------------------------------------------------------------------------------
// Output paths

void orvScene_api_file::noteFailure()
{
    if (!failed) {
        failed = true;
        failedErrno = errno ? errno : EIO;
    }
}

void orvScene_api_file::emitText(const char* text, size_t n)
{
    if (!output || n == 0) return;
    if (buffering) {
        if (current) current->append(text, n);
        return;
    }
    if (std::fwrite(text, 1, n, output) != n) noteFailure();
    else written += n;
}

void orvScene_api_file::raw(const void* bytes, size_t n)
{
    if (!output) return;
    if (buffering) {
        if (current) {
            current->append(static_cast<const char*>(bytes), n);
            current->binary = true;
        }
        return;
    }
    if (n != 0 && std::fwrite(bytes, 1, n, output) != n) noteFailure();
    else written += n;
}

size_t orvScene_api_file::expand(const char* format, va_list args)
{
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(scratch.data(), scratch.size(), format, copy);
    va_end(copy);
    if (n < 0) {
        noteFailure();
        return 0;
    }
    if (static_cast<size_t>(n) >= scratch.size()) {
        // A record longer than the buffer is written whole, never cut.
        scratch.resize(static_cast<size_t>(n) + 1);
        va_copy(copy, args);
        n = std::vsnprintf(scratch.data(), scratch.size(), format, copy);
        va_end(copy);
        if (n < 0) {
            noteFailure();
            return 0;
        }
    }
    return static_cast<size_t>(n);
}

void orvScene_api_file::vformatted(bool lineStart, const char* format, va_list args)
{
    if (!output) return;
    size_t n = expand(format, args);
    if (!indenting() || indentLevel <= 0) {
        emitText(scratch.data(), n);
        return;
    }
    const size_t indent = static_cast<size_t>(indentLevel);
    size_t lines = 1;
    for (size_t i = 0; i < n; ++i) lines += scratch[i] == '\n';
    if (indented.size() < n + lines * indent + 1) indented.resize(n + lines * indent + 1);
    char* out = indented.data();
    if (lineStart) out = static_cast<char*>(std::memset(out, ' ', indent)) + indent;
    for (size_t i = 0; i < n; ++i) {
        *out++ = scratch[i];
        if (scratch[i] == '\n' && i + 1 < n) out = static_cast<char*>(std::memset(out, ' ', indent)) + indent;
    }
    emitText(indented.data(), static_cast<size_t>(out - indented.data()));
}

void orvScene_api_file::formatted(bool lineStart, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    vformatted(lineStart, format, args);
    va_end(args);
}

void orvScene_api_file::vunindented(const char* format, va_list args)
{
    if (!output) return;
    if (buffering) {
        size_t n = expand(format, args);
        if (current) current->append(scratch.data(), n);
        return;
    }
    const int n = std::vfprintf(output, format, args);
    if (n < 0) noteFailure();
    else written += static_cast<size_t>(n);
}

void orvScene_api_file::writeIndent()
{
    if (!indenting() || indentLevel <= 0) return;
    static const char blanks[64] = {
        ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
        ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
        ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
        ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
    for (size_t left = static_cast<size_t>(indentLevel); left > 0;) {
        size_t n = left < sizeof blanks ? left : sizeof blanks;
        emitText(blanks, n);
        left -= n;
    }
}

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

// ---------------------------------------------------------------------------------------
// Operations without text

void orvScene_api_file::reserved1() {}
bool orvScene_api_file::connect(const char*, unsigned, int) { return false; }
int orvScene_api_file::disconnect() { return 0; }
int orvScene_api_file::reserved2() { return 0; }
int orvScene_api_file::reserved3() { return 10; }
int orvScene_api_file::reserved4() { return 10; }
int orvScene_api_file::reserved5() { return 0; }
void orvScene_api_file::reserved6() {}
int orvScene_api_file::reserved7() { return 0; }

// ---------------------------------------------------------------------------------------
// Blocks

bool orvScene_api_file::beginGroup(const char* name, int immediate)
{
    formatted(true, "\n%sgroup ", immediate ? "" : "#define ");
    quoted(name, false);
    formatted(false, " {\n");
    plainStack.push(plainSyntax);
    plainSyntax = true;
    openBlock();
    return true;
}

void orvScene_api_file::endGroup()
{
    closeBlock();
    formatted(true, "}\n");
    plainSyntax = plainStack.pop();
}

bool orvScene_api_file::beginObject(const char* name, int immediate)
{
    formatted(true, "%s", immediate ? "object " : "#define object ");
    quoted(name, false);
    formatted(false, " {\n");
    plainStack.push(plainSyntax);
    plainSyntax = true;
    section = 4;
    openBlock();
    return true;
}

void orvScene_api_file::endObject()
{
    plainSyntax = plainStack.pop();
    section = 0;
    closeBlock();
    formatted(true, "}\n");
}

bool orvScene_api_file::beginGeometry(const char* kind)
{
    formatted(true, "geometry ");
    quoted(kind, false);
    formatted(false, " {\n");
    plainStack.push(plainSyntax);
    plainSyntax = false;
    openBlock();
    return true;
}

void orvScene_api_file::endGeometry()
{
    closeBlock();
    formatted(true, "}\n");
    plainSyntax = plainStack.pop();
}

bool orvScene_api_file::beginAnimation(const char* name, const char* kind)
{
    formatted(true, "animation ");
    quoted(name, false);
    formatted(false, " ");
    quoted(kind, false);
    formatted(false, " {\n");
    plainStack.push(plainSyntax);
    plainSyntax = false;
    openBlock();
    return true;
}

int orvScene_api_file::endAnimation()
{
    closeBlock();
    formatted(true, "}\n");
    plainSyntax = plainStack.pop();
    return 0;
}

bool orvScene_api_file::beginLoad(const char* name)
{
    formatted(true, "load ");
    quoted(name, false);
    formatted(false, " {\n");
    openBlock();
    return true;
}

void orvScene_api_file::endLoad()
{
    closeBlock();
    formatted(true, "}\n");
}

// The three top-level sections exclude one another (and objects): a section that cannot
// open writes nothing and answers false.
bool orvScene_api_file::beginSection(int which, const char* header, const char* name, bool named)
{
    if (section != 0) return false;
    formatted(true, "%s", header);
    if (named) {
        formatted(false, " ");
        quoted(name, false);
    }
    formatted(false, " {\n");
    buffering = false;
    plainSyntax = true;
    section = which;
    openBlock();
    return true;
}

void orvScene_api_file::endSection(int which)
{
    if (section == which) {
        closeBlock();
        formatted(true, "}\n");
    }
    plainSyntax = false;
    section = 0;
}

bool orvScene_api_file::beginOptions() { return beginSection(1, "\noptions", nullptr, false); }
void orvScene_api_file::endOptions() { endSection(1); }
bool orvScene_api_file::beginCamera(const char* name) { return beginSection(2, "\ncamera", name, name != nullptr); }
void orvScene_api_file::endCamera() { endSection(2); }
bool orvScene_api_file::beginImage() { return beginSection(3, "\nimage", nullptr, false); }
void orvScene_api_file::endImage() { endSection(3); }

bool orvScene_api_file::modifyCamera(const char* name)
{
    // Checked first so that a refused section leaves no dangling "#modify " in the file.
    if (section != 0) return false;
    formatted(true, "#modify ");
    return beginCamera(name);
}

bool orvScene_api_file::beginOutput(const char* a, const char* b, const char* c)
{
    formatted(true, "output ");
    quoted(a, false);
    formatted(false, " ");
    quoted(b, false);
    formatted(false, " ");
    quoted(c, false);
    formatted(false, " {\n");
    plainSyntax = false;
    openBlock();
    return true;
}

void orvScene_api_file::endOutput()
{
    plainSyntax = true;
    closeBlock();
    formatted(true, "}\n");
}

bool orvScene_api_file::beginLight(const char* name)
{
    formatted(true, "\nlight ");
    quoted(name, false);
    formatted(false, " {\n");
    openBlock();
    return true;
}

void orvScene_api_file::endLight()
{
    closeBlock();
    formatted(true, "}\n");
}

bool orvScene_api_file::beginAccel(const char* name)
{
    formatted(true, "\naccel ");
    quoted(name, false);
    formatted(false, " {\n");
    plainStack.push(plainSyntax);
    plainSyntax = false;
    openBlock();
    return true;
}

void orvScene_api_file::endAccel()
{
    closeBlock();
    formatted(true, "}\n");
    plainSyntax = plainStack.pop();
}

// ---------------------------------------------------------------------------------------
// Transforms

void orvScene_api_file::transform(const double m[16])
{
    if (!m) return;
    double f[16];
    for (int i = 0; i < 16; ++i) f[i] = static_cast<float>(m[i]);
    formatted(true, "transform %g %g %g %g %g %g %g %g %g %g %g %g %g %g %g %g\n", f[0], f[1], f[2], f[3], f[4],
              f[5], f[6], f[7], f[8], f[9], f[10], f[11], f[12], f[13], f[14], f[15]);
}

void orvScene_api_file::setTransform(const double m[16])
{
    if (!m) return;
    double f[16];
    for (int i = 0; i < 16; ++i) f[i] = static_cast<float>(m[i]);
    formatted(true, "set transform %g %g %g %g %g %g %g %g %g %g %g %g %g %g %g %g\n", f[0], f[1], f[2], f[3],
              f[4], f[5], f[6], f[7], f[8], f[9], f[10], f[11], f[12], f[13], f[14], f[15]);
}

void orvScene_api_file::scale(const double& x, const double& y, const double& z)
{
    formatted(true, "scale %g %g %g\n", x, y, z);
}

void orvScene_api_file::rotate(const double& x, const double& y, const double& z)
{
    formatted(true, "rotate %g %g %g\n", x, y, z);
}

void orvScene_api_file::translate(const double& x, const double& y, const double& z)
{
    formatted(true, "translate %g %g %g\n", x, y, z);
}

bool orvScene_api_file::beginMatrix(const char* name)
{
    formatted(true, "#define matrix ");
    quoted(name, false);
    formatted(false, " {\n");
    openBlock();
    return true;
}

void orvScene_api_file::endMatrix()
{
    closeBlock();
    formatted(true, "}\n");
}

// ---------------------------------------------------------------------------------------
// Materials and shaders

bool orvScene_api_file::beginMaterial(const char* name, int immediate)
{
    formatted(true, "%smaterial ", immediate ? "" : "\n#define ");
    quoted(name, false);
    formatted(false, " {\n");
    openBlock();
    return true;
}

bool orvScene_api_file::useMaterial(const char* name)
{
    formatted(true, "material ");
    quoted(name, false);
    formatted(false, "\n");
    return true;
}

void orvScene_api_file::endMaterial()
{
    closeBlock();
    formatted(true, "}\n");
}

void orvScene_api_file::materialChannel(int channel, bool trailingBlank)
{
    static const char* const keywords[] = {"surface", "shadow", "volume", "reflection map"};
    if (channel < 0 || channel > 3) {
        formatted(true, "// assuming surface shader\n");
        channel = 0;
    }
    formatted(true, "%s%s", keywords[channel], trailingBlank ? " " : "");
}

void orvScene_api_file::materialShaderId(int channel, int shaderId)
{
    materialChannel(channel, false);
    formatted(false, " %d\n", shaderId);
}

void orvScene_api_file::materialShader(int channel, ShaderHandle shader)
{
    if (!shader) return;
    materialChannel(channel, true);
    shaderText(static_cast<const ShaderText*>(shader));
    formatted(false, "\n");
}

bool orvScene_api_file::beginShaderId(const char* kind, unsigned id)
{
    bufferingStack.push(buffering);
    shaderSaveStack.push(current);
    plainStack.push(plainSyntax);
    plainSyntax = false;
    buffering = false;
    formatted(true, "#define shader %d %s {\n", static_cast<int>(id), orEmpty(kind));
    openBlock();
    return true;
}

bool orvScene_api_file::beginShader(const char* name, const char* kind)
{
    bufferingStack.push(buffering);
    shaderSaveStack.push(current);
    plainStack.push(plainSyntax);
    plainSyntax = false;
    if (name) {
        buffering = false;
        formatted(true, "#define shader ");
        quoted(name, false);
        formatted(false, " ");
        quoted(kind, false);
        formatted(false, " {\n");
        openBlock();
        return true;
    }
    shaderTexts.push_back(std::make_unique<ShaderText>());
    current = shaderTexts.back().get();
    buffering = true;
    indentStack.push(indentLevel);
    indentLevel = 0;
    quoted(kind, true);
    formatted(false, " {\n");
    openBlock();
    return true;
}

void orvScene_api_file::endShader()
{
    closeBlock();
    if (buffering) {
        formatted(true, "}");
        indentLevel = indentStack.pop();
    } else {
        formatted(true, "}\n");
    }
    plainSyntax = plainStack.pop();
    shaderSaveStack.pop();
    buffering = bufferingStack.pop();
}

ShaderHandle orvScene_api_file::currentShader() { return current; }
void orvScene_api_file::pushShader() { shaderSaveStack.push(current); }
void orvScene_api_file::popShader() { current = shaderSaveStack.pop(); }

// ---------------------------------------------------------------------------------------
// Attributes and lists

bool orvScene_api_file::attribute(const char* name, int type, const void* v)
{
    if (plainSyntax) {
        formatted(true, "%s ", orEmpty(name));
        value(type, v);
        formatted(false, "\n");
    } else {
        quoted(name, true);
        formatted(false, " ");
        value(type, v);
        formatted(false, ",\n");
    }
    return true;
}

bool orvScene_api_file::shaderAttribute(const char* name, ShaderHandle shader)
{
    if (!shader) return false;
    quoted(name, true);
    formatted(false, " ! ");
    shaderText(static_cast<const ShaderText*>(shader));
    formatted(false, ",\n");
    return true;
}

bool orvScene_api_file::shaderIdAttribute(const char* name, unsigned shaderId)
{
    quoted(name, true);
    formatted(false, " ! %d,\n", static_cast<int>(shaderId));
    return true;
}

bool orvScene_api_file::beginArray(const char* name)
{
    quoted(name, true);
    formatted(false, " [\n");
    arrayElementCount = 0;
    openBlock();
    writeIndent();
    binaryValues.clear();
    return true;
}

void orvScene_api_file::arrayValue(int type, const void* v)
{
    if (binaryArrays && (type == orvType::Float3 || type == orvType::Float || type == orvType::Int)) {
        if (!v) return;
        const size_t words = type == orvType::Float3 ? 3 : 1;
        const size_t at = binaryValues.size();
        if (at + words > binaryValues.capacity()) binaryValues.reserve(at + words + 65536);
        binaryValues.resize(at + words);
        std::memcpy(binaryValues.data() + at, v, words * 4);
        binaryKind = type == orvType::Float3 ? 'c' : type == orvType::Float ? 'f' : 'i';
        return;
    }
    if (arrayElementCount > 0) {
        if (arrayElementCount % 6 == 0 || (type == orvType::Float3 && arrayElementCount % 2 == 0)) {
            formatted(false, ",\n");
            writeIndent();
        } else {
            formatted(false, ", ");
        }
    }
    value(type, v);
    ++arrayElementCount;
}

void orvScene_api_file::endArray()
{
    if (binaryArrays && !binaryValues.empty() && (binaryKind == 'c' || binaryKind == 'f' || binaryKind == 'i'))
        binaryRun(binaryKind, binaryValues.data(), binaryValues.size(), 4);
    binaryValues.clear();
    formatted(false, " ],\n");
    closeBlock();
}

// ---------------------------------------------------------------------------------------
// Scene-wide records

void orvScene_api_file::fileAttribute(const char* key, const char* v)
{
    formatted(true, "attribute ");
    quoted(key, false);
    formatted(false, " ");
    quoted(v, false);
    formatted(false, "\n");
}

void orvScene_api_file::printRaw(const char* format, ...)
{
    if (!format) return;
    va_list args;
    va_start(args, format);
    vunindented(format, args);
    va_end(args);
}

void orvScene_api_file::setFormatFlags(int flags)
{
    binaryArrays = (flags & BinaryLists) != 0;
    formatFlags = static_cast<uint32_t>(flags);
}

void orvScene_api_file::version(int v) { formatted(true, "version %d\n\n", v == -1 ? 8 : v); }

void orvScene_api_file::progress(const char* message, float fraction)
{
    formatted(true, "progress ");
    quoted(message, false);
    formatted(false, " %.3f\n\n", static_cast<double>(fraction));
}

void orvScene_api_file::icon(const unsigned char* data, unsigned length)
{
    formatted(true, "icon ");
    hexBlob(data, data ? length : 0);
    formatted(false, "\n");
}

void orvScene_api_file::blob(const char* key, const unsigned char* data, unsigned length)
{
    formatted(true, "%s ", orEmpty(key));
    hexBlob(data, data ? length : 0);
    formatted(false, "\n");
}

void orvScene_api_file::id(unsigned n) { formatted(true, "id %u\n", n); }
void orvScene_api_file::flags(unsigned n) { formatted(true, "flags %u\n", n); }

bool orvScene_api_file::render()
{
    formatted(true, "\nrender\n");
    return true;
}

void orvScene_api_file::print(const char* format, ...)
{
    formatted(true, "#print \"");
    if (format) {
        va_list args;
        va_start(args, format);
        vunindented(format, args);
        va_end(args);
    }
    formatted(false, "\"\n");
}

void orvScene_api_file::error(const char* format, ...)
{
    formatted(true, "#error \"");
    if (format) {
        va_list args;
        va_start(args, format);
        vunindented(format, args);
        va_end(args);
    }
    formatted(false, "\"\n");
}

} // namespace orv
