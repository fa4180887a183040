// Captures what a writer puts on its stream, in memory.
#pragma once

#include "orvScene_api_file.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

struct Capture {
    char* buffer = nullptr;
    size_t size = 0;
    FILE* stream = open_memstream(&buffer, &size);

    Capture() = default;
    Capture(const Capture&) = delete;
    ~Capture()
    {
        std::fclose(stream);
        std::free(buffer);
    }
    std::string text()
    {
        std::fflush(stream);
        return std::string(buffer, size);
    }
};

// A writer over a captured stream.
struct WriterOnMemory {
    Capture out;
    orv::orvScene_api_file writer;
    explicit WriterOnMemory(bool binary = true) : writer(out.stream, binary) {}
    std::string text() { return out.text(); }
};

inline AttributeArray listOf(const void* data, int32_t count) { return AttributeArray{data, count}; }
