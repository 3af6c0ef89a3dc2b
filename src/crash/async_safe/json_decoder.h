// Async-signal-safe: decodes from caller buffers without allocating or locking.
#pragma once

#include <cstdint>

namespace skald::crash::json {

/// Result codes shared by the encoder and the decoder.
enum Result : int {
    OK = 0,
    ErrorInvalidCharacter = 1,
    ErrorDataTooLong = 2,
    ErrorCannotAddData = 3,
    ErrorIncomplete = 4,
    ErrorInvalidData = 5,
};

/// "Invalid character", "Data too long", ...; "(unknown error)" for other values.
const char* stringForError(int error);

/// Receives each decoded element. `name` is the member name inside objects and
/// null inside arrays and at the top level. A non-zero return stops decoding
/// and becomes the result of decode(). Null members are skipped.
struct DecodeCallbacks {
    int (*onBooleanElement)(const char* name, bool value, void* userData);
    int (*onFloatingPointElement)(const char* name, double value, void* userData);
    int (*onIntegerElement)(const char* name, int64_t value, void* userData);
    int (*onUnsignedIntegerElement)(const char* name, uint64_t value, void* userData);
    int (*onNullElement)(const char* name, void* userData);
    /// `value` is NUL-terminated; `length` counts a decoded "\u0000" as well.
    int (*onStringElement)(const char* name, const char* value, int length, void* userData);
    int (*onBeginObject)(const char* name, void* userData);
    int (*onBeginArray)(const char* name, void* userData);
    int (*onEndContainer)(void* userData);
    /// After the top-level element and the white space behind it.
    int (*onEndData)(void* userData);
};

/// Nesting deeper than this is rejected with ErrorInvalidData.
constexpr int kMaxDecodeDepth = 512;

/// Decodes one JSON element from `data`. Member names are decoded into the
/// first quarter of `stringBuffer`, string values and number texts into the
/// rest. On failure `*errorOffset` (if given) is the offset of the failure.
int decode(const char* data, int length, char* stringBuffer, int stringBufferLength,
           const DecodeCallbacks* callbacks, void* userData, int* errorOffset);

/// Like decode() with separate buffers for member names and for values.
int decode(const char* data, int length, char* nameBuffer, int nameBufferLength, char* stringBuffer,
           int stringBufferLength, const DecodeCallbacks* callbacks, void* userData,
           int* errorOffset);

/// Supplies more input to decodeStream(): fills `buffer` with at most
/// `capacity` bytes and returns their count, 0 at the end, or -1 on failure.
using ReadInput = int (*)(char* buffer, int capacity, void* readerData);

/// Like decode() but reads its input through `window` (refilled with
/// `readInput` as it is consumed) and uses separate name and string buffers.
int decodeStream(char* window, int windowLength, ReadInput readInput, void* readerData,
                 char* nameBuffer, int nameBufferLength, char* stringBuffer, int stringBufferLength,
                 const DecodeCallbacks* callbacks, void* userData, int* errorOffset);

}  // namespace skald::crash::json
