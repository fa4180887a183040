// Text scene file writer: the records, blocks and the output path. Each scene API operation
// becomes a fixed piece of text (the text of names, values and lists is in
// orvScene_api_file_values.cpp); see the class comment in orvScene_api_file.h for the error
// and locale rules.
#include "orvScene_api_file.h"

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstring>
#include <functional>

namespace orv {

namespace {

constexpr size_t ScratchSize = 1u << 20;
inline const char* orEmpty(const char* s) { return s ? s : ""; }

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

// A record's keyword (`lead`, at the start of a line; null when written already) with its
// quoted name and kind, and its block opened: " {", a new line, one level in.
void orvScene_api_file::openRecord(const char* lead, const char* name, const char* kind)
{
    if (lead) formatted(true, "%s", lead);
    quoted(name, false);
    if (kind) {
        formatted(false, " ");
        quoted(kind, false);
    }
    formatted(false, " {\n");
    openBlock();
}

// One level out and the record's closing brace on a line of its own.
void orvScene_api_file::closeRecord()
{
    closeBlock();
    formatted(true, "}\n");
}

bool orvScene_api_file::beginGroup(const char* name, int immediate)
{
    openRecord(immediate ? "\ngroup " : "\n#define group ", name);
    enterSyntax(true);
    return true;
}

void orvScene_api_file::endGroup()
{
    closeRecord();
    leaveSyntax();
}

bool orvScene_api_file::beginObject(const char* name, int immediate)
{
    openRecord(immediate ? "object " : "#define object ", name);
    enterSyntax(true);
    section = 4;
    return true;
}

void orvScene_api_file::endObject()
{
    leaveSyntax();
    section = 0;
    closeRecord();
}

bool orvScene_api_file::beginGeometry(const char* kind)
{
    openRecord("geometry ", kind);
    enterSyntax(false);
    return true;
}

void orvScene_api_file::endGeometry()
{
    closeRecord();
    leaveSyntax();
}

bool orvScene_api_file::beginAnimation(const char* name, const char* kind)
{
    openRecord("animation ", name, kind);
    enterSyntax(false);
    return true;
}

int orvScene_api_file::endAnimation()
{
    closeRecord();
    leaveSyntax();
    return 0;
}

bool orvScene_api_file::beginLoad(const char* name)
{
    openRecord("load ", name);
    return true;
}

void orvScene_api_file::endLoad()
{
    closeRecord();
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
    if (section == which)
        closeRecord();
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
    openRecord(nullptr, b, c);
    plainSyntax = false;
    return true;
}

void orvScene_api_file::endOutput()
{
    plainSyntax = true;
    closeRecord();
}

bool orvScene_api_file::beginLight(const char* name)
{
    openRecord("\nlight ", name);
    return true;
}

void orvScene_api_file::endLight()
{
    closeRecord();
}

bool orvScene_api_file::beginAccel(const char* name)
{
    openRecord("\naccel ", name);
    enterSyntax(false);
    return true;
}

void orvScene_api_file::endAccel()
{
    closeRecord();
    leaveSyntax();
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
    openRecord("#define matrix ", name);
    return true;
}

void orvScene_api_file::endMatrix()
{
    closeRecord();
}

// ---------------------------------------------------------------------------------------
// Materials and shaders

bool orvScene_api_file::beginMaterial(const char* name, int immediate)
{
    openRecord(immediate ? "material " : "\n#define material ", name);
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
    closeRecord();
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
    enterSyntax(false);
    buffering = false;
    formatted(true, "#define shader %d %s {\n", static_cast<int>(id), orEmpty(kind));
    openBlock();
    return true;
}

bool orvScene_api_file::beginShader(const char* name, const char* kind)
{
    bufferingStack.push(buffering);
    shaderSaveStack.push(current);
    enterSyntax(false);
    if (name) {
        buffering = false;
        openRecord("#define shader ", name, kind);
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
    leaveSyntax();
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
