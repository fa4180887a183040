// The text scene file writer: the scene API back end that turns every call into a fixed
// piece of text on an open stdio stream, so the file is a transcript of the calls.
// Large numeric lists go out as raw binary runs when binary lists are on.
//
// The writer never closes its stream and never reports write errors itself; it records
// the first failed write (short fwrite, failed fputs/vfprintf) so that its owner can
// report the file as broken when closing it, even if a later write succeeded.
//
// While a writer exists the process's numeric locale is "C"; the locale in force before
// construction is restored by the destructor.
#pragma once

#include "orvScene_api.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace orv {

// The text of an inline shader (what a ShaderHandle of this writer points at). It is
// built while the shader is open and copied wherever the shader is used.
class ShaderText {
public:
    const char* data() const { return text.data(); }
    size_t length() const { return text.size(); }
    // True once raw bytes (a binary run, a hex-encoded name) were appended: the text must
    // then be copied by its length, never up to a NUL.
    bool isBinary() const { return binary; }
    const std::string& str() const { return text; }

private:
    friend class orvScene_api_file;
    void append(const char* bytes, size_t n);

    std::string text;
    bool binary = false;
};

class orvScene_api_file : public orvScene_api {
public:
    // Bit 22 of the format flags: set means no indentation (the default).
    static constexpr uint32_t NoIndent = 0x400000;
    // Bit 1 of the format flags: lists go out as binary runs.
    static constexpr uint32_t BinaryLists = 0x2;

    orvScene_api_file(FILE* output, bool binaryArrays);
    ~orvScene_api_file() override;
    orvScene_api_file(const orvScene_api_file&) = delete;
    orvScene_api_file& operator=(const orvScene_api_file&) = delete;

    void reserved1() override;
    bool connect(const char* host, unsigned port, int mode) override;
    int disconnect() override;
    int reserved2() override;
    bool beginGroup(const char* name, int immediate) override;
    void endGroup() override;
    bool beginObject(const char* name, int immediate) override;
    void endObject() override;
    bool beginGeometry(const char* kind) override;
    void endGeometry() override;
    bool beginAnimation(const char* name, const char* kind) override;
    int endAnimation() override;
    bool beginLoad(const char* name) override;
    void endLoad() override;
    bool beginOptions() override;
    void endOptions() override;
    bool beginCamera(const char* name) override;
    void endCamera() override;
    bool beginImage() override;
    void endImage() override;
    bool beginOutput(const char* a, const char* b, const char* c) override;
    void endOutput() override;
    bool beginLight(const char* name) override;
    void endLight() override;
    bool beginAccel(const char* name) override;
    void endAccel() override;
    void transform(const double m[16]) override;
    void setTransform(const double m[16]) override;
    void scale(const double& x, const double& y, const double& z) override;
    void rotate(const double& x, const double& y, const double& z) override;
    void translate(const double& x, const double& y, const double& z) override;
    bool beginMatrix(const char* name) override;
    void endMatrix() override;
    bool beginMaterial(const char* name, int immediate) override;
    bool useMaterial(const char* name) override;
    void endMaterial() override;
    void materialShaderId(int channel, int shaderId) override;
    bool beginShaderId(const char* kind, unsigned id) override;
    void endShader() override;
    void materialShader(int channel, ShaderHandle shader) override;
    bool beginShader(const char* name, const char* kind) override;
    ShaderHandle currentShader() override;
    void pushShader() override;
    void popShader() override;
    bool attribute(const char* name, int type, const void* value) override;
    bool shaderAttribute(const char* name, ShaderHandle shader) override;
    bool shaderIdAttribute(const char* name, unsigned shaderId) override;
    bool beginArray(const char* name) override;
    void endArray() override;
    void arrayValue(int type, const void* value) override;
    int reserved3() override;
    int reserved4() override;
    int reserved5() override;
    void fileAttribute(const char* key, const char* value) override;
    ORV_PRINTF(2, 3) void printRaw(const char* format, ...) override;
    void setFormatFlags(int flags) override;
    void version(int version) override;
    void reserved6() override;
    void progress(const char* message, float fraction) override;
    void icon(const unsigned char* data, unsigned length) override;
    void blob(const char* key, const unsigned char* data, unsigned length) override;
    void id(unsigned id) override;
    void flags(unsigned flags) override;
    int reserved7() override;
    bool render() override;
    ORV_PRINTF(2, 3) void print(const char* format, ...) override;
    ORV_PRINTF(2, 3) void error(const char* format, ...) override;

    // Not part of the scene API: "#modify " followed by a camera section. Writes nothing
    // and returns false when the camera section would be refused.
    virtual bool modifyCamera(const char* name);

    // True once any write to the stream failed; errno of that failure.
    bool writeFailed() const { return failed; }
    int writeErrno() const { return failedErrno; }
    // Bytes handed to the stream (buffered shader text counts once it goes out).
    uint64_t bytesWritten() const { return written; }

private:
    // Output paths. formatted: expanded, indented when indentation is on (lineStart says
    // whether the text begins a line), then into the current shader or the stream.
    void formatted(bool lineStart, const char* format, ...) ORV_PRINTF(3, 4);
    void vformatted(bool lineStart, const char* format, va_list args) ORV_PRINTF(3, 0);
    // Unindented: into the current shader or straight to the stream.
    void vunindented(const char* format, va_list args) ORV_PRINTF(2, 0);
    // Raw bytes, exactly n of them; a shader receiving them becomes binary.
    void raw(const void* bytes, size_t n);
    // Text already expanded: into the current shader (as text) or the stream.
    void emitText(const char* text, size_t n);
    void noteFailure();

    bool indenting() const { return (formatFlags & NoIndent) == 0; }
    void writeIndent();
    void openBlock() { ++indentLevel; }
    void closeBlock() { --indentLevel; }
    // Writes a record's keyword, its quoted name and, when given, its quoted kind, and opens
    // its block; closeRecord closes it.
    void openRecord(const char* lead, const char* name, const char* kind = nullptr);
    void closeRecord();
    // Enters a block written in plain syntax (attributes as "name value") or not ("name"
    // value,); leaveSyntax returns to the syntax of the enclosing block.
    void enterSyntax(bool plain)
    {
        plainStack.push(plainSyntax);
        plainSyntax = plain;
    }
    void leaveSyntax() { plainSyntax = plainStack.pop(); }
    size_t expand(const char* format, va_list args) ORV_PRINTF(2, 0);

    void quoted(const char* name, bool lineStart);
    void hexBlob(const unsigned char* data, size_t length);
    void value(int type, const void* value);
    void list(int type, const AttributeArray& array);
    void matrixRows(const unsigned char* base, int32_t count);
    void binaryRun(char kind, const void* data, uint64_t scalars, size_t scalarSize);
    void shaderText(const ShaderText* shader);
    bool beginSection(int which, const char* header, const char* name, bool named);
    void endSection(int which);
    void materialChannel(int channel, bool trailingBlank);

    template <class T> struct Stack {
        std::vector<T> items;
        Stack() { items.reserve(32); }
        void push(const T& v) { items.push_back(v); }
        T pop()
        {
            if (items.empty()) return T{};
            T v = items.back();
            items.pop_back();
            return v;
        }
    };

    FILE* output;
    bool binaryArrays;
    uint32_t formatFlags = 0x400001;
    int indentLevel = 0;
    bool plainSyntax = false;
    int section = 0;
    bool buffering = false;
    ShaderText* current = nullptr;

    Stack<bool> plainStack;
    Stack<bool> bufferingStack;
    Stack<int> indentStack;
    Stack<ShaderText*> shaderSaveStack;
    std::vector<std::unique_ptr<ShaderText>> shaderTexts;

    int arrayElementCount = 0;
    std::vector<uint32_t> binaryValues;
    char binaryKind = 0;

    // Scratch buffers for one record and its indented copy; grown when a record needs more.
    std::vector<char> scratch;
    std::vector<char> indented;

    std::string savedNumericLocale;
    bool failed = false;
    int failedErrno = 0;
    uint64_t written = 0;
};

} // namespace orv
