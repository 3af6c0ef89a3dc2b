// The digest API that goes through providers loads the library's
// configuration and every algorithm table on first use, about a millisecond
// on the host's main thread while the SDK starts. The direct SHA-1 functions
// load nothing; they are deprecated in favour of that API, not removed.
#include "platform/base/sha1.h"

#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include "platform/base/hex.h"

namespace skald::platform {

std::string sha1Hex(std::string_view data) {
    SHA_CTX context;
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1_Init(&context);
    SHA1_Update(&context, data.data(), data.size());
    SHA1_Final(digest, &context);
    return hexEncode(digest, sizeof digest);
}

}  // namespace skald::platform
