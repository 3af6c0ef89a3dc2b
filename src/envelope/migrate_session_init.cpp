#include "envelope/migrate_session_init.h"

#include "platform/base/path.h"

#include "skald/envelope.h"
#include "skald/serialization.h"
#include "skald/session.h"
#include "util/file_io.h"
#include "util/log.h"

namespace skald {

namespace {

/// Sets the init flag of `sessionId` in the first of the files that carries it.
/// The rewritten envelope keeps every other item in place; the updated session
/// item goes last.
bool migrateInitFlag(const Id& sessionId, const std::string& directory,
                     const std::vector<std::string>& fileNames, uint64_t maxFileBytes) {
    for (const auto& fileName : fileNames) {
        const std::string path = platform::appendingPathComponent(directory, fileName);
        const auto contents = readOwnFile(path, maxFileBytes);
        if (!contents) continue;
        const auto envelope = Serialization::envelopeWithData(*contents);
        if (!envelope) continue;

        Envelope::Items items;
        std::shared_ptr<Session> match;
        for (const auto& item : envelope->items()) {
            if (!match && item->header()->type() == "session") {
                auto session = Serialization::sessionWithData(item->data());
                if (session && session->sessionId() == sessionId) {
                    match = std::move(session);
                    continue;
                }
            }
            items.push_back(item);
        }
        if (!match) continue;

        match->setFlagInit();
        items.push_back(EnvelopeItem::forSession(*match));
        const auto data =
            Serialization::dataWithEnvelope(Envelope(envelope->header(), std::move(items)));
        std::string errorText = "the envelope cannot be serialized";
        if (!data || !writeFileAtomically(path, *data, 0600, &errorText)) {
            SKALD_LOG_ERROR(
                "Could not migrate session init, because storing the updated envelope failed: %s",
                errorText.c_str());
            return false;
        }
        return true;
    }
    return false;
}

}  // namespace

bool migrateSessionInit(const Envelope& envelope, const std::string& envelopesDirPath,
                        const std::vector<std::string>& envelopeFileNames, uint64_t maxFileBytes) {
    bool migrated = false;
    for (const auto& item : envelope.items()) {
        if (item->header()->type() != "session") continue;
        const auto session = Serialization::sessionWithData(item->data());
        if (!session || !session->flagInit().value_or(false)) continue;
        if (migrateInitFlag(session->sessionId(), envelopesDirPath, envelopeFileNames,
                            maxFileBytes)) {
            migrated = true;
        }
    }
    return migrated;
}

}  // namespace skald
