// Async-signal-safe: decodes from caller buffers without allocating or locking.
#include "crash/async_safe/json_decoder.h"

#include <charconv>
#include <cstring>
#include <initializer_list>
#include <limits>

namespace skald::crash::json {

const char* stringForError(int error) {
    switch (error) {
        case OK:
            return "OK";
        case ErrorInvalidCharacter:
            return "Invalid character";
        case ErrorDataTooLong:
            return "Data too long";
        case ErrorCannotAddData:
            return "Cannot add data";
        case ErrorIncomplete:
            return "Incomplete data";
        case ErrorInvalidData:
            return "Invalid data";
        default:
            return "(unknown error)";
    }
}

namespace {

constexpr DecodeCallbacks kNoCallbacks{};

class Decoder {
  public:
    Decoder(const char* data, int length, char* window, int windowLength, ReadInput readInput,
            void* readerData, char* nameBuffer, int nameBufferLength, char* stringBuffer,
            int stringBufferLength, const DecodeCallbacks* callbacks, void* userData)
        : pos_(data),
          end_(data + length),
          windowStart_(data),
          window_(window),
          windowLength_(windowLength),
          readInput_(readInput),
          readerData_(readerData),
          nameBuffer_(nameBuffer),
          nameBufferLength_(nameBufferLength),
          stringBuffer_(stringBuffer),
          stringBufferLength_(stringBufferLength),
          callbacks_(callbacks != nullptr ? callbacks : &kNoCallbacks),
          userData_(userData) {}

    int run();

    /// Offset of the current position from the start of the whole input.
    int offset() const { return consumed_ + static_cast<int>(pos_ - windowStart_); }

  private:
    /// True when at least one more byte is available, refilling the window if needed.
    bool available() {
        if (pos_ < end_) return true;
        return refill();
    }
    bool refill();
    void skipWhiteSpace() {
        while (available()) {
            const char c = *pos_;
            if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return;
            ++pos_;
        }
    }
    int decodeValue(const char* name);
    int decodeString(char* buffer, int capacity, int* length);
    int decodeEscape(char* buffer, int capacity, int* length);
    int readHexQuad(uint32_t* value);
    int decodeNumber(const char* name);
    int decodeLiteral(const char* literal);
    int decodeMemberName();
    int endContainer();

    const char* pos_;
    const char* end_;
    const char* windowStart_;
    int consumed_ = 0;
    char* window_;
    int windowLength_;
    ReadInput readInput_;
    void* readerData_;
    char* nameBuffer_;
    int nameBufferLength_;
    char* stringBuffer_;
    int stringBufferLength_;
    const DecodeCallbacks* callbacks_;
    void* userData_;

    int depth_ = 0;
    bool isObject_[kMaxDecodeDepth];
    /// Set by decodeValue() when it opened a container.
    bool openedContainer_ = false;
};

#define SKALD_JSON_CALLBACK(member, ...)                                \
    do {                                                                \
        if (callbacks_->member != nullptr) {                            \
            const int callbackResult = callbacks_->member(__VA_ARGS__); \
            if (callbackResult != OK) return callbackResult;            \
        }                                                               \
    } while (0)

bool Decoder::refill() {
    if (readInput_ == nullptr) return false;
    consumed_ += static_cast<int>(end_ - windowStart_);
    const int count = readInput_(window_, windowLength_, readerData_);
    windowStart_ = pos_ = window_;
    end_ = window_ + (count > 0 ? count : 0);
    if (count <= 0) readInput_ = nullptr;
    return count > 0;
}

int Decoder::run() {
    skipWhiteSpace();
    if (!available()) return ErrorIncomplete;
    const char* name = nullptr;
    for (;;) {
        int result = decodeValue(name);
        if (result != OK) return result;
        if (openedContainer_) {
            skipWhiteSpace();
            if (!available()) return ErrorIncomplete;
            if (*pos_ == (isObject_[depth_ - 1] ? '}' : ']')) {
                ++pos_;
                if ((result = endContainer()) != OK) return result;
            } else {
                if (isObject_[depth_ - 1]) {
                    if ((result = decodeMemberName()) != OK) return result;
                    name = nameBuffer_;
                } else {
                    name = nullptr;
                }
                continue;
            }
        }
        // After a complete value: a separator, the end of the container, or the end.
        for (;;) {
            if (depth_ == 0) {
                skipWhiteSpace();
                if (available()) return ErrorInvalidCharacter;
                SKALD_JSON_CALLBACK(onEndData, userData_);
                return OK;
            }
            skipWhiteSpace();
            if (!available()) return ErrorIncomplete;
            const bool inObject = isObject_[depth_ - 1];
            const char c = *pos_;
            if (c == ',') {
                ++pos_;
                if (inObject) {
                    if ((result = decodeMemberName()) != OK) return result;
                    name = nameBuffer_;
                } else {
                    skipWhiteSpace();
                    name = nullptr;
                }
                break;
            }
            if (c != (inObject ? '}' : ']')) return ErrorInvalidCharacter;
            ++pos_;
            if ((result = endContainer()) != OK) return result;
        }
    }
}

int Decoder::endContainer() {
    --depth_;
    SKALD_JSON_CALLBACK(onEndContainer, userData_);
    return OK;
}

int Decoder::decodeMemberName() {
    skipWhiteSpace();
    if (!available()) return ErrorIncomplete;
    if (*pos_ != '"') return ErrorInvalidCharacter;
    int length = 0;
    int result = decodeString(nameBuffer_, nameBufferLength_, &length);
    if (result != OK) return result;
    skipWhiteSpace();
    if (!available()) return ErrorIncomplete;
    if (*pos_ != ':') return ErrorInvalidCharacter;
    ++pos_;
    skipWhiteSpace();
    return OK;
}

int Decoder::decodeValue(const char* name) {
    openedContainer_ = false;
    if (!available()) return ErrorIncomplete;
    switch (*pos_) {
        case '{':
        case '[': {
            const bool isObject = *pos_ == '{';
            if (depth_ >= kMaxDecodeDepth) return ErrorInvalidData;
            if (isObject) {
                SKALD_JSON_CALLBACK(onBeginObject, name, userData_);
            } else {
                SKALD_JSON_CALLBACK(onBeginArray, name, userData_);
            }
            ++pos_;
            isObject_[depth_++] = isObject;
            openedContainer_ = true;
            return OK;
        }
        case '"': {
            int length = 0;
            const int result = decodeString(stringBuffer_, stringBufferLength_, &length);
            if (result != OK) return result;
            SKALD_JSON_CALLBACK(onStringElement, name, stringBuffer_, length, userData_);
            return OK;
        }
        case 't': {
            const int result = decodeLiteral("true");
            if (result != OK) return result;
            SKALD_JSON_CALLBACK(onBooleanElement, name, true, userData_);
            return OK;
        }
        case 'f': {
            const int result = decodeLiteral("false");
            if (result != OK) return result;
            SKALD_JSON_CALLBACK(onBooleanElement, name, false, userData_);
            return OK;
        }
        case 'n': {
            const int result = decodeLiteral("null");
            if (result != OK) return result;
            SKALD_JSON_CALLBACK(onNullElement, name, userData_);
            return OK;
        }
        default:
            if (*pos_ == '-' || (*pos_ >= '0' && *pos_ <= '9')) return decodeNumber(name);
            return ErrorInvalidCharacter;
    }
}

int Decoder::decodeLiteral(const char* literal) {
    for (; *literal != '\0'; ++literal) {
        if (!available()) return ErrorIncomplete;
        if (*pos_ != *literal) return ErrorInvalidCharacter;
        ++pos_;
    }
    return OK;
}

int Decoder::decodeString(char* buffer, int capacity, int* length) {
    ++pos_;  // the opening quote
    int used = 0;
    for (;;) {
        if (!available()) return ErrorIncomplete;
        // Copy the run of bytes that need no decoding in one go.
        const char* run = pos_;
        while (run < end_) {
            const unsigned char c = static_cast<unsigned char>(*run);
            if (c == '"' || c == '\\' || c < 0x20) break;
            ++run;
        }
        const int runLength = static_cast<int>(run - pos_);
        if (runLength > 0) {
            if (runLength >= capacity - used) return ErrorDataTooLong;
            memcpy(buffer + used, pos_, static_cast<size_t>(runLength));
            used += runLength;
            pos_ = run;
            continue;
        }
        const char c = *pos_;
        if (c == '"') {
            if (used >= capacity) return ErrorDataTooLong;
            ++pos_;
            buffer[used] = '\0';
            *length = used;
            return OK;
        }
        if (c != '\\') return ErrorInvalidCharacter;  // an unescaped control character
        ++pos_;
        const int result = decodeEscape(buffer, capacity, &used);
        if (result != OK) return result;
    }
}

int Decoder::readHexQuad(uint32_t* value) {
    uint32_t result = 0;
    for (int i = 0; i < 4; ++i) {
        if (!available()) return ErrorIncomplete;
        const char c = *pos_;
        uint32_t digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<uint32_t>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<uint32_t>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<uint32_t>(c - 'A' + 10);
        } else {
            return ErrorInvalidCharacter;
        }
        result = (result << 4) | digit;
        ++pos_;
    }
    *value = result;
    return OK;
}

int Decoder::decodeEscape(char* buffer, int capacity, int* used) {
    if (!available()) return ErrorIncomplete;
    char single = 0;
    switch (*pos_) {
        case '"':
        case '\\':
        case '/':
            single = *pos_;
            break;
        case 'b':
            single = '\b';
            break;
        case 'f':
            single = '\f';
            break;
        case 'n':
            single = '\n';
            break;
        case 'r':
            single = '\r';
            break;
        case 't':
            single = '\t';
            break;
        case 'u':
            break;
        default:
            return ErrorInvalidCharacter;
    }
    ++pos_;
    if (single != 0) {
        if (capacity - *used < 2) return ErrorDataTooLong;
        buffer[(*used)++] = single;
        return OK;
    }

    uint32_t codePoint = 0;
    int result = readHexQuad(&codePoint);
    if (result != OK) return result;
    if (codePoint >= 0xDC00 && codePoint <= 0xDFFF) return ErrorInvalidCharacter;
    if (codePoint >= 0xD800 && codePoint <= 0xDBFF) {
        for (const char expected : {'\\', 'u'}) {
            if (!available()) return ErrorIncomplete;
            if (*pos_ != expected) return ErrorInvalidCharacter;
            ++pos_;
        }
        uint32_t low = 0;
        if ((result = readHexQuad(&low)) != OK) return result;
        if (low < 0xDC00 || low > 0xDFFF) return ErrorInvalidCharacter;
        codePoint = 0x10000 + ((codePoint - 0xD800) << 10) + (low - 0xDC00);
    }

    char utf8[4];
    int count;
    if (codePoint < 0x80) {
        utf8[0] = static_cast<char>(codePoint);
        count = 1;
    } else if (codePoint < 0x800) {
        utf8[0] = static_cast<char>(0xC0 | (codePoint >> 6));
        utf8[1] = static_cast<char>(0x80 | (codePoint & 0x3F));
        count = 2;
    } else if (codePoint < 0x10000) {
        utf8[0] = static_cast<char>(0xE0 | (codePoint >> 12));
        utf8[1] = static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        utf8[2] = static_cast<char>(0x80 | (codePoint & 0x3F));
        count = 3;
    } else {
        utf8[0] = static_cast<char>(0xF0 | (codePoint >> 18));
        utf8[1] = static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
        utf8[2] = static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        utf8[3] = static_cast<char>(0x80 | (codePoint & 0x3F));
        count = 4;
    }
    if (capacity - *used <= count) return ErrorDataTooLong;
    memcpy(buffer + *used, utf8, static_cast<size_t>(count));
    *used += count;
    return OK;
}

/// The decimal exponent of the leading significant digit of a number text, to
/// tell an overflowing value from an underflowing one.
long leadingExponent(const char* text, int length) {
    long exponent = 0;
    long digitsBeforePoint = 0;
    long leadingZerosAfterPoint = 0;
    bool seenPoint = false;
    bool seenSignificant = false;
    int i = 0;
    if (i < length && text[i] == '-') ++i;
    for (; i < length && text[i] != 'e' && text[i] != 'E'; ++i) {
        if (text[i] == '.') {
            seenPoint = true;
        } else if (!seenSignificant && text[i] == '0') {
            if (seenPoint) ++leadingZerosAfterPoint;
        } else {
            seenSignificant = true;
            if (!seenPoint) ++digitsBeforePoint;
        }
    }
    if (!seenSignificant) return std::numeric_limits<long>::min();
    if (i < length) {
        ++i;
        bool negative = false;
        if (text[i] == '+' || text[i] == '-') negative = text[i++] == '-';
        for (; i < length; ++i) {
            if (exponent < 100000000) exponent = exponent * 10 + (text[i] - '0');
        }
        if (negative) exponent = -exponent;
    }
    return digitsBeforePoint > 0 ? exponent + digitsBeforePoint - 1
                                 : exponent - leadingZerosAfterPoint - 1;
}

int Decoder::decodeNumber(const char* name) {
    char* text = stringBuffer_;
    int length = 0;
    bool isInteger = true;
    // Copies the current byte into the number text.
    auto take = [&]() -> bool {
        if (length >= stringBufferLength_ - 1) return false;
        text[length++] = *pos_++;
        return true;
    };
    auto isDigit = [&]() { return *pos_ >= '0' && *pos_ <= '9'; };
    // One or more digits; at the end of the input they may be missing.
    auto takeDigits = [&](bool required) -> int {
        if (required) {
            if (!available()) return ErrorIncomplete;
            if (!isDigit()) return ErrorInvalidCharacter;
        }
        while (available() && isDigit()) {
            if (!take()) return ErrorDataTooLong;
        }
        return OK;
    };

    int result = OK;
    if (*pos_ == '-' && !take()) return ErrorDataTooLong;
    if (!available()) return ErrorIncomplete;
    if (*pos_ == '0') {
        if (!take()) return ErrorDataTooLong;
    } else if ((result = takeDigits(true)) != OK) {
        return result;
    }
    if (available() && *pos_ == '.') {
        isInteger = false;
        if (!take()) return ErrorDataTooLong;
        if ((result = takeDigits(true)) != OK) return result;
    }
    if (available() && (*pos_ == 'e' || *pos_ == 'E')) {
        isInteger = false;
        if (!take()) return ErrorDataTooLong;
        if (!available()) return ErrorIncomplete;
        if ((*pos_ == '+' || *pos_ == '-') && !take()) return ErrorDataTooLong;
        if ((result = takeDigits(true)) != OK) return result;
    }
    text[length] = '\0';

    if (isInteger) {
        const bool negative = text[0] == '-';
        uint64_t magnitude = 0;
        bool overflow = false;
        for (int i = negative ? 1 : 0; i < length; ++i) {
            const uint64_t digit = static_cast<uint64_t>(text[i] - '0');
            if (magnitude > (std::numeric_limits<uint64_t>::max() - digit) / 10) {
                overflow = true;
                break;
            }
            magnitude = magnitude * 10 + digit;
        }
        constexpr uint64_t kMaxSigned = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
        if (!overflow) {
            if (!negative && magnitude <= kMaxSigned) {
                SKALD_JSON_CALLBACK(onIntegerElement, name, static_cast<int64_t>(magnitude),
                                    userData_);
                return OK;
            }
            if (negative && magnitude <= kMaxSigned + 1) {
                // Negating in unsigned arithmetic keeps INT64_MIN representable.
                SKALD_JSON_CALLBACK(onIntegerElement, name, static_cast<int64_t>(0 - magnitude),
                                    userData_);
                return OK;
            }
            if (!negative) {
                SKALD_JSON_CALLBACK(onUnsignedIntegerElement, name, magnitude, userData_);
                return OK;
            }
        }
    }

    double value = 0;
    const auto parsed = std::from_chars(text, text + length, value, std::chars_format::general);
    if (parsed.ec == std::errc::result_out_of_range) {
        const bool tooLarge = leadingExponent(text, length) > 0;
        value = tooLarge ? std::numeric_limits<double>::infinity() : 0.0;
        if (text[0] == '-') value = -value;
    } else if (parsed.ec != std::errc() || parsed.ptr != text + length) {
        return ErrorInvalidData;
    }
    SKALD_JSON_CALLBACK(onFloatingPointElement, name, value, userData_);
    return OK;
}

int runDecoder(Decoder& decoder, int* errorOffset) {
    const int result = decoder.run();
    if (errorOffset != nullptr) *errorOffset = result == OK ? 0 : decoder.offset();
    return result;
}

}  // namespace

int decode(const char* data, int length, char* stringBuffer, int stringBufferLength,
           const DecodeCallbacks* callbacks, void* userData, int* errorOffset) {
    if (stringBuffer == nullptr || stringBufferLength < 0) stringBufferLength = 0;
    const int nameLength = stringBufferLength / 4;
    return decode(data, length, stringBuffer, nameLength, stringBuffer + nameLength,
                  stringBufferLength - nameLength, callbacks, userData, errorOffset);
}

int decode(const char* data, int length, char* nameBuffer, int nameBufferLength, char* stringBuffer,
           int stringBufferLength, const DecodeCallbacks* callbacks, void* userData,
           int* errorOffset) {
    if (data == nullptr || length < 0) length = 0;
    if (nameBuffer == nullptr || nameBufferLength < 0) nameBufferLength = 0;
    if (stringBuffer == nullptr || stringBufferLength < 0) stringBufferLength = 0;
    Decoder decoder(data, length, nullptr, 0, nullptr, nullptr, nameBuffer, nameBufferLength,
                    stringBuffer, stringBufferLength, callbacks, userData);
    return runDecoder(decoder, errorOffset);
}

int decodeStream(char* window, int windowLength, ReadInput readInput, void* readerData,
                 char* nameBuffer, int nameBufferLength, char* stringBuffer, int stringBufferLength,
                 const DecodeCallbacks* callbacks, void* userData, int* errorOffset) {
    Decoder decoder(window, 0, window, windowLength, readInput, readerData, nameBuffer,
                    nameBufferLength, stringBuffer, stringBufferLength, callbacks, userData);
    return runDecoder(decoder, errorOffset);
}

}  // namespace skald::crash::json
