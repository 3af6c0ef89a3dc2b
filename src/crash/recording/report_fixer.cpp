#include "crash/recording/report_fixer.h"

#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "crash/async_safe/json_decoder.h"
#include "crash/async_safe/json_encoder.h"
#include "util/log.h"

namespace skald::crash {

namespace {

using namespace skald::crash::json;

constexpr int kStringBufferSize = 150000;

struct Fixer {
    EncodeContext encoder;
    std::string output;
    /// Names of the open containers, from the root.
    std::vector<std::string> path;
};

int appendOutput(const char* data, int length, void* userData) {
    static_cast<std::string*>(userData)->append(data, static_cast<size_t>(length));
    return OK;
}

bool isTimestampPath(const Fixer& fixer, const char* name) {
    if (name == nullptr || std::strcmp(name, "timestamp") != 0) return false;
    const auto& path = fixer.path;
    // path[0] is the nameless root object.
    if (path.size() == 2 && path[1] == "report") return true;
    return path.size() == 3 && path[1] == "recrash_report" && path[2] == "report";
}

int onBoolean(const char* name, bool value, void* data) {
    return addBooleanElement(&static_cast<Fixer*>(data)->encoder, name, value);
}
int onFloat(const char* name, double value, void* data) {
    return addFloatingPointElement(&static_cast<Fixer*>(data)->encoder, name, value);
}
int onInteger(const char* name, int64_t value, void* data) {
    auto* fixer = static_cast<Fixer*>(data);
    if (isTimestampPath(*fixer, name)) {
        const time_t seconds = static_cast<time_t>(value);
        struct tm utc {};
        ::gmtime_r(&seconds, &utc);
        char text[64];
        std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", utc.tm_year + 1900,
                      utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
        return addStringElement(&fixer->encoder, name, text, -1);
    }
    return addIntegerElement(&fixer->encoder, name, value);
}
int onUnsigned(const char* name, uint64_t value, void* data) {
    return addUIntegerElement(&static_cast<Fixer*>(data)->encoder, name, value);
}
int onNull(const char* name, void* data) {
    return addNullElement(&static_cast<Fixer*>(data)->encoder, name);
}
int onString(const char* name, const char* value, int length, void* data) {
    return addStringElement(&static_cast<Fixer*>(data)->encoder, name, value, length);
}
int onBeginObject(const char* name, void* data) {
    auto* fixer = static_cast<Fixer*>(data);
    fixer->path.emplace_back(name != nullptr ? name : "");
    return beginObject(&fixer->encoder, name);
}
int onBeginArray(const char* name, void* data) {
    auto* fixer = static_cast<Fixer*>(data);
    fixer->path.emplace_back(name != nullptr ? name : "");
    return beginArray(&fixer->encoder, name);
}
int onEndContainer(void* data) {
    auto* fixer = static_cast<Fixer*>(data);
    if (!fixer->path.empty()) fixer->path.pop_back();
    return endContainer(&fixer->encoder);
}
int onEndData(void* data) {
    return endEncode(&static_cast<Fixer*>(data)->encoder);
}

const DecodeCallbacks kCallbacks = {onBoolean,      onFloat,  onInteger,     onUnsigned,
                                    onNull,         onString, onBeginObject, onBeginArray,
                                    onEndContainer, onEndData};

}  // namespace

char* fixupCrashReport(const char* report) {
    if (report == nullptr) return nullptr;
    std::vector<char> stringBuffer;
    try {
        stringBuffer.resize(kStringBufferSize);
    } catch (const std::bad_alloc&) {
        SKALD_LOG_ERROR("Failed to allocate string buffer of size %ul", kStringBufferSize);
        return nullptr;
    }
    const int length = static_cast<int>(std::strlen(report));
    Fixer fixer;
    // The output grows as needed; 1.5 times the input is where it starts.
    fixer.output.reserve(static_cast<size_t>(length) * 3 / 2);
    beginEncode(&fixer.encoder, true, appendOutput, &fixer.output);
    int errorOffset = 0;
    const int result = decode(report, length, stringBuffer.data(), kStringBufferSize, &kCallbacks,
                              &fixer, &errorOffset);
    if (result != OK) {
        SKALD_LOG_ERROR("Could not decode report: %s (offset %d)", stringForError(result),
                        errorOffset);
        // A report cut short (the process was killed while writing) still
        // holds whole sections: keep them rather than lose the crash.
        if (fixer.output.empty()) return nullptr;
        endEncode(&fixer.encoder);
    }
    auto* fixed = static_cast<char*>(std::malloc(fixer.output.size() + 1));
    if (fixed == nullptr) {
        SKALD_LOG_ERROR("Failed to allocate fixed report buffer of size %ld",
                        static_cast<long>(fixer.output.size() + 1));
        return nullptr;
    }
    std::memcpy(fixed, fixer.output.data(), fixer.output.size() + 1);
    return fixed;
}

}  // namespace skald::crash
