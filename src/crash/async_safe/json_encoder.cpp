// Async-signal-safe: streams JSON through a callback without allocating or locking.
#include "crash/async_safe/json_encoder.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstring>

#include "crash/async_safe/crash_log.h"
#include "crash/async_safe/file_utils.h"
#include "crash/async_safe/text_format.h"

namespace skald::crash::json {

namespace {

/// Strings are escaped in chunks of this many input bytes.
constexpr int kEscapeChunk = 256;

/// What each byte becomes inside a string: 0 unchanged, 1 rejected, else the
/// letter written after a backslash.
constexpr struct EscapeTable {
    unsigned char action[256];
    constexpr EscapeTable() : action() {
        for (int c = 0; c < 0x20; ++c) action[c] = 1;
        action[static_cast<unsigned char>('\b')] = 'b';
        action[static_cast<unsigned char>('\t')] = 't';
        action[static_cast<unsigned char>('\n')] = 'n';
        action[static_cast<unsigned char>('\f')] = 'f';
        action[static_cast<unsigned char>('\r')] = 'r';
        action[static_cast<unsigned char>('"')] = '"';
        action[static_cast<unsigned char>('\\')] = '\\';
    }
} kEscapes;

/// Collects the text of one operation in a stack buffer so that the callback
/// sees few, large pieces. The first callback error sticks.
class Output {
  public:
    explicit Output(EncodeContext* context) : context_(context) {}

    void put(char c) {
        if (used_ == kCapacity) flush();
        buffer_[used_++] = c;
    }
    void append(const char* data, int length) {
        if (length > kCapacity - used_) {
            flush();
            if (length > kCapacity / 2) {
                send(data, length);
                return;
            }
        }
        memcpy(buffer_ + used_, data, static_cast<size_t>(length));
        used_ += length;
    }
    template <int N>
    void appendLiteral(const char (&text)[N]) {
        append(text, N - 1);
    }
    /// Room for `length` bytes at reserve(); valid until the next call.
    char* reserve(int length) {
        if (length > kCapacity - used_) flush();
        return buffer_ + used_;
    }
    void commit(int length) { used_ += length; }

    int finish() {
        flush();
        return error_;
    }

  private:
    static constexpr int kCapacity = 1024;

    void flush() {
        if (used_ > 0) send(buffer_, used_);
        used_ = 0;
    }
    void send(const char* data, int length) {
        if (error_ != OK) return;
        error_ = context_->addJSONData(data, length, context_->userData);
    }

    EncodeContext* context_;
    int used_ = 0;
    int error_ = OK;
    char buffer_[kCapacity];
};

/// The offset of the first byte that needs escaping, or `length`.
int firstSpecial(const char* value, int length) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(value);
    int i = 0;
    while (i < length && kEscapes.action[bytes[i]] == 0) ++i;
    return i;
}

bool hasInvalidCharacter(const char* value, int length) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(value);
    for (int i = 0; i < length; ++i) {
        if (kEscapes.action[bytes[i]] == 1) return true;
    }
    return false;
}

/// Writes `value` escaped, without quotes; checked beforehand by hasInvalidCharacter().
void writeEscaped(Output& out, const char* value, int length) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(value);
    for (int start = 0; start < length; start += kEscapeChunk) {
        const int chunk = length - start < kEscapeChunk ? length - start : kEscapeChunk;
        const int special = firstSpecial(value + start, chunk);
        if (special == chunk) {
            out.append(value + start, chunk);
            continue;
        }
        out.append(value + start, special);
        char* escaped = out.reserve(2 * kEscapeChunk);
        int used = 0;
        for (int i = start + special; i < start + chunk; ++i) {
            const unsigned char action = kEscapes.action[bytes[i]];
            if (action == 0) {
                escaped[used++] = static_cast<char>(bytes[i]);
            } else {
                escaped[used++] = '\\';
                escaped[used++] = static_cast<char>(action);
            }
        }
        out.commit(used);
    }
}

int nameLength(const char* name) {
    return name == nullptr ? 0 : static_cast<int>(strlen(name));
}

/// Checks that an element may be added under `name` at the current position.
int checkElement(const EncodeContext* context, const char* name) {
    if (context->containerLevel == 0 || !context->isObject[context->containerLevel - 1]) {
        return OK;
    }
    if (name == nullptr) return ErrorInvalidData;
    return hasInvalidCharacter(name, nameLength(name)) ? ErrorInvalidCharacter : OK;
}

void writeIndentation(Output& out, int level) {
    for (int i = 0; i < level; ++i) out.appendLiteral("    ");
}

/// The separator, the indentation and the name in front of an element.
void writeElementStart(EncodeContext* context, Output& out, const char* name) {
    if (context->containerFirstEntry) {
        context->containerFirstEntry = false;
    } else {
        out.put(',');
    }
    const int level = context->containerLevel;
    if (level == 0) return;
    if (context->prettyPrint) {
        out.put('\n');
        writeIndentation(out, level);
    }
    if (context->isObject[level - 1]) {
        out.put('"');
        writeEscaped(out, name, nameLength(name));
        if (context->prettyPrint) {
            out.appendLiteral("\": ");
        } else {
            out.appendLiteral("\":");
        }
    }
}

/// Formats an unsigned value; returns the start of the digits inside `end`'s buffer.
int addText(EncodeContext* context, const char* name, const char* text, int length) {
    const int check = checkElement(context, name);
    if (check != OK) return check;
    Output out(context);
    writeElementStart(context, out, name);
    out.append(text, length);
    return out.finish();
}

int beginContainer(EncodeContext* context, const char* name, bool isObject) {
    if (context->containerLevel >= kMaxContainerDepth) return ErrorInvalidData;
    const int check = checkElement(context, name);
    if (check != OK) return check;
    Output out(context);
    writeElementStart(context, out, name);
    out.put(isObject ? '{' : '[');
    context->isObject[context->containerLevel++] = isObject;
    context->containerFirstEntry = true;
    return out.finish();
}

void writeHex(Output& out, const char* value, int length) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(value);
    while (length > 0) {
        const int chunk = length < kEscapeChunk ? length : kEscapeChunk;
        char* hex = out.reserve(2 * chunk);
        text::writeHexBytes(bytes, chunk, hex, text::HexCase::Upper);
        out.commit(2 * chunk);
        bytes += chunk;
        length -= chunk;
    }
}

}  // namespace

void beginEncode(EncodeContext* context, bool prettyPrint, AddDataCallback addJSONData,
                 void* userData) {
    memset(context, 0, sizeof(*context));
    context->addJSONData = addJSONData;
    context->userData = userData;
    context->prettyPrint = prettyPrint;
    context->containerFirstEntry = true;
}

int endEncode(EncodeContext* context) {
    int result = OK;
    while (context->containerLevel > 0) {
        const int closed = endContainer(context);
        if (result == OK) result = closed;
    }
    return result;
}

int addBooleanElement(EncodeContext* context, const char* name, bool value) {
    return value ? addText(context, name, "true", 4) : addText(context, name, "false", 5);
}

int addFloatingPointElement(EncodeContext* context, const char* name, double value) {
    if (!std::isfinite(value)) return addNullElement(context, name);
    // "%lg" without printf's locale: the same six significant digits.
    char text[32];
    const auto written =
        std::to_chars(text, text + sizeof(text), value, std::chars_format::general, 6);
    return addText(context, name, text, static_cast<int>(written.ptr - text));
}

int addNullElement(EncodeContext* context, const char* name) {
    return addText(context, name, "null", 4);
}

int addIntegerElement(EncodeContext* context, const char* name, int64_t value) {
    char text[24];
    char* end = text + sizeof(text);
    const uint64_t magnitude =
        value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    char* start = text::formatDecimal(magnitude, end);
    if (value < 0) *--start = '-';
    return addText(context, name, start, static_cast<int>(end - start));
}

int addUIntegerElement(EncodeContext* context, const char* name, uint64_t value) {
    char text[24];
    char* end = text + sizeof(text);
    char* start = text::formatDecimal(value, end);
    return addText(context, name, start, static_cast<int>(end - start));
}

int addStringElement(EncodeContext* context, const char* name, const char* value, int length) {
    if (value == nullptr) return addNullElement(context, name);
    if (length < 0) length = static_cast<int>(strlen(value));
    int check = checkElement(context, name);
    if (check != OK) return check;
    const int special = firstSpecial(value, length);
    if (special < length && hasInvalidCharacter(value + special, length - special)) {
        return ErrorInvalidCharacter;
    }
    Output out(context);
    writeElementStart(context, out, name);
    out.put('"');
    if (special == length) {
        out.append(value, length);
    } else {
        writeEscaped(out, value, length);
    }
    out.put('"');
    return out.finish();
}

int beginStringElement(EncodeContext* context, const char* name) {
    return addText(context, name, "\"", 1);
}

int appendStringElement(EncodeContext* context, const char* value, int length) {
    if (value == nullptr) return OK;
    if (length < 0) length = static_cast<int>(strlen(value));
    if (hasInvalidCharacter(value, length)) return ErrorInvalidCharacter;
    Output out(context);
    writeEscaped(out, value, length);
    return out.finish();
}

int endStringElement(EncodeContext* context) {
    Output out(context);
    out.put('"');
    return out.finish();
}

int addDataElement(EncodeContext* context, const char* name, const char* value, int length) {
    const int check = checkElement(context, name);
    if (check != OK) return check;
    Output out(context);
    writeElementStart(context, out, name);
    out.put('"');
    if (value != nullptr && length > 0) writeHex(out, value, length);
    out.put('"');
    return out.finish();
}

int beginDataElement(EncodeContext* context, const char* name) {
    return beginStringElement(context, name);
}

int appendDataElement(EncodeContext* context, const char* value, int length) {
    if (value == nullptr || length <= 0) return OK;
    Output out(context);
    writeHex(out, value, length);
    return out.finish();
}

int endDataElement(EncodeContext* context) {
    return endStringElement(context);
}

int addUUIDElement(EncodeContext* context, const char* name, const unsigned char* value) {
    if (value == nullptr) return addNullElement(context, name);
    char quoted[text::kUuidTextLength + 2];
    quoted[0] = '"';
    text::writeUuid(value, quoted + 1);
    quoted[text::kUuidTextLength + 1] = '"';
    return addText(context, name, quoted, sizeof quoted);
}

int beginObject(EncodeContext* context, const char* name) {
    return beginContainer(context, name, true);
}

int beginArray(EncodeContext* context, const char* name) {
    return beginContainer(context, name, false);
}

int endContainer(EncodeContext* context) {
    if (context->containerLevel == 0) return ErrorInvalidData;
    const int level = --context->containerLevel;
    Output out(context);
    if (context->prettyPrint && !context->containerFirstEntry) {
        out.put('\n');
        writeIndentation(out, level);
    }
    out.put(context->isObject[level] ? '}' : ']');
    context->containerFirstEntry = false;
    return out.finish();
}

namespace {

/// Re-emits decoded elements through an encoder.
struct Embedding {
    EncodeContext* encoder;
    /// The name of the embedded text's top-level element.
    const char* name;
    /// Containers of the embedded text open at the moment.
    int depth;
    bool closeLastContainer;

    const char* nameFor(const char* decodedName) const { return depth == 0 ? name : decodedName; }
};

Embedding& embedding(void* userData) {
    return *static_cast<Embedding*>(userData);
}

int embedBoolean(const char* name, bool value, void* userData) {
    Embedding& e = embedding(userData);
    return addBooleanElement(e.encoder, e.nameFor(name), value);
}

int embedFloatingPoint(const char* name, double value, void* userData) {
    Embedding& e = embedding(userData);
    return addFloatingPointElement(e.encoder, e.nameFor(name), value);
}

int embedInteger(const char* name, int64_t value, void* userData) {
    Embedding& e = embedding(userData);
    return addIntegerElement(e.encoder, e.nameFor(name), value);
}

int embedUnsignedInteger(const char* name, uint64_t value, void* userData) {
    Embedding& e = embedding(userData);
    return addUIntegerElement(e.encoder, e.nameFor(name), value);
}

int embedNull(const char* name, void* userData) {
    Embedding& e = embedding(userData);
    return addNullElement(e.encoder, e.nameFor(name));
}

int embedString(const char* name, const char* value, int length, void* userData) {
    Embedding& e = embedding(userData);
    return addStringElement(e.encoder, e.nameFor(name), value, length);
}

int embedBeginObject(const char* name, void* userData) {
    Embedding& e = embedding(userData);
    const int result = beginObject(e.encoder, e.nameFor(name));
    if (result == OK) ++e.depth;
    return result;
}

int embedBeginArray(const char* name, void* userData) {
    Embedding& e = embedding(userData);
    const int result = beginArray(e.encoder, e.nameFor(name));
    if (result == OK) ++e.depth;
    return result;
}

int embedEndContainer(void* userData) {
    Embedding& e = embedding(userData);
    --e.depth;
    // The outermost embedded container directly under a top-level key stays
    // open for the writer to add to; nested ones always close.
    if (e.closeLastContainer || e.depth > 0 || e.encoder->containerLevel > 2) {
        return endContainer(e.encoder);
    }
    return OK;
}

constexpr DecodeCallbacks kEmbeddingCallbacks = {
    embedBoolean, embedFloatingPoint, embedInteger,    embedUnsignedInteger, embedNull,
    embedString,  embedBeginObject,   embedBeginArray, embedEndContainer,    nullptr,
};

constexpr int kEmbedNameBufferLength = 100;
constexpr int kEmbedStringBufferLength = 5000;
constexpr int kFileWindowLength = 1000;

int finishEmbedding(EncodeContext* context, int startLevel, bool closeLastContainer, int result) {
    if (closeLastContainer) {
        while (context->containerLevel > startLevel) {
            const int closed = endContainer(context);
            if (closed != OK) return result != OK ? result : closed;
        }
    }
    return result;
}

struct FileReader {
    int fd;
    const char* path;
};

int readFile(char* buffer, int capacity, void* readerData) {
    const auto* reader = static_cast<const FileReader*>(readerData);
    const ssize_t count = readOnce(reader->fd, buffer, static_cast<size_t>(capacity));
    if (count < 0) {
        logError("Error reading file ", reader->path, ": ", errorText(errno));
        return -1;
    }
    return static_cast<int>(count);
}

}  // namespace

int addRawJSON(EncodeContext* context, const char* name, const char* json, int length,
               bool closeLastContainer) {
    if (json != nullptr && length < 0) length = static_cast<int>(strlen(json));
    const int startLevel = context->containerLevel;
    Embedding e{context, name, 0, closeLastContainer};
    char nameBuffer[kEmbedNameBufferLength];
    char stringBuffer[kEmbedStringBufferLength];
    const int result = decode(json, length, nameBuffer, sizeof(nameBuffer), stringBuffer,
                              sizeof(stringBuffer), &kEmbeddingCallbacks, &e, nullptr);
    return finishEmbedding(context, startLevel, closeLastContainer, result);
}

int addJSONFile(EncodeContext* context, const char* name, const char* path,
                bool closeLastContainer) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        logError("Error reading file ", path, ": ", errorText(errno));
        return ErrorCannotAddData;
    }
    const int startLevel = context->containerLevel;
    Embedding e{context, name, 0, closeLastContainer};
    FileReader reader{fd, path};
    char window[kFileWindowLength];
    char nameBuffer[kEmbedNameBufferLength];
    char stringBuffer[kEmbedStringBufferLength];
    const int result =
        decodeStream(window, sizeof(window), readFile, &reader, nameBuffer, sizeof(nameBuffer),
                     stringBuffer, sizeof(stringBuffer), &kEmbeddingCallbacks, &e, nullptr);
    close(fd);
    return finishEmbedding(context, startLevel, closeLastContainer, result);
}

}  // namespace skald::crash::json
