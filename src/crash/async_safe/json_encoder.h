// Async-signal-safe: streams JSON through a callback without allocating or locking.
#pragma once

#include <cstdint>

#include "crash/async_safe/json_decoder.h"

namespace skald::crash::json {

/// Receives the encoded text piece by piece; a non-zero return is an error code
/// that the failing encoder operation returns.
using AddDataCallback = int (*)(const char* data, int length, void* userData);

/// Containers that can be open at once.
constexpr int kMaxContainerDepth = 200;

struct EncodeContext {
    AddDataCallback addJSONData;
    void* userData;
    /// Open containers; 0 is the nameless top level, where names are ignored.
    int containerLevel;
    /// Whether the container at level n + 1 is an object (else an array).
    bool isObject[kMaxContainerDepth];
    bool containerFirstEntry;
    bool prettyPrint;
};

void beginEncode(EncodeContext* context, bool prettyPrint, AddDataCallback addJSONData,
                 void* userData);
/// Closes every open container.
int endEncode(EncodeContext* context);

// Every element takes a name, required inside objects (else ErrorInvalidData)
// and ignored inside arrays. An element rejected for its name or its text
// writes nothing.
int addBooleanElement(EncodeContext* context, const char* name, bool value);
/// Written with "%lg"; NaN and the infinities, which JSON cannot hold, as null.
int addFloatingPointElement(EncodeContext* context, const char* name, double value);
int addNullElement(EncodeContext* context, const char* name);
int addIntegerElement(EncodeContext* context, const char* name, int64_t value);
int addUIntegerElement(EncodeContext* context, const char* name, uint64_t value);
/// `length` -1 means NUL-terminated; a null value is written as null. Control
/// characters other than \b \t \n \f \r are ErrorInvalidCharacter.
int addStringElement(EncodeContext* context, const char* name, const char* value, int length);
int beginStringElement(EncodeContext* context, const char* name);
int appendStringElement(EncodeContext* context, const char* value, int length);
int endStringElement(EncodeContext* context);
/// Bytes as a string of upper-case hexadecimal pairs.
int addDataElement(EncodeContext* context, const char* name, const char* value, int length);
int beginDataElement(EncodeContext* context, const char* name);
int appendDataElement(EncodeContext* context, const char* value, int length);
int endDataElement(EncodeContext* context);
/// 16 bytes as "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX"; null without data.
int addUUIDElement(EncodeContext* context, const char* name, const unsigned char* value);
/// Opening more than kMaxContainerDepth containers is ErrorInvalidData.
int beginObject(EncodeContext* context, const char* name);
int beginArray(EncodeContext* context, const char* name);
/// ErrorInvalidData when no container is open.
int endContainer(EncodeContext* context);

/// Validates `json` by decoding it and re-emits it under `name`. Containers
/// it opens are closed by the embedded text, except the outermost one when it
/// lies directly under a top-level key (the writer adds to it and closes it);
/// with `closeLastContainer` every container opened here is closed at the end,
/// also when the text is cut short, and the decoder's result is returned.
int addRawJSON(EncodeContext* context, const char* name, const char* json, int length,
               bool closeLastContainer);
/// Like addRawJSON() with the text of a file, read through a 1000-byte window.
int addJSONFile(EncodeContext* context, const char* name, const char* path,
                bool closeLastContainer);

}  // namespace skald::crash::json
