#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <vector>

#include "core/client.h"
#include "core/debug_image_provider.h"
#include "core/thread_inspector.h"
#include "skald/hub.h"
#include "skald/scope.h"
#include "skald/sdk.h"
#include "skald/serialization.h"
#include "support/file_manager_fixture.h"
#include "transport/transport.h"
#include "transport/transport_adapter.h"
#include "util/json_bytes.h"
#include "util/random.h"

namespace skald::test {

/// Keeps every envelope and every recorded loss instead of sending.
class RecordingTransport : public Transport {
  public:
    struct Loss {
        DataCategory category;
        DiscardReason reason;
        uint64_t quantity;
    };

    void sendEnvelope(const std::shared_ptr<Envelope>& envelope) override {
        std::lock_guard guard(mutex_);
        envelopes_.push_back(envelope);
    }
    void recordLostEvent(DataCategory category, DiscardReason reason, uint64_t quantity) override {
        std::lock_guard guard(mutex_);
        losses_.push_back({category, reason, quantity});
    }
    FlushResult flush(double) override { return FlushResult::Success; }

    std::vector<std::shared_ptr<Envelope>> envelopes() const {
        std::lock_guard guard(mutex_);
        return envelopes_;
    }
    std::vector<Loss> losses() const {
        std::lock_guard guard(mutex_);
        return losses_;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<Envelope>> envelopes_;
    std::vector<Loss> losses_;
};

/// Always draws the same number.
class FixedRandom : public Random {
  public:
    explicit FixedRandom(double value) : value(value) {}
    double nextNumber() override { return value; }
    double value;
};

/// Item types of an envelope, in order.
inline std::vector<std::string> itemTypes(const Envelope& envelope) {
    std::vector<std::string> types;
    for (const auto& item : envelope.items()) types.push_back(item->header()->type());
    return types;
}

/// The JSON of the envelope's first item of `type`.
inline Json itemJson(const Envelope& envelope, const std::string& type) {
    for (const auto& item : envelope.items()) {
        if (item->header()->type() == type) return parseJsonBytes(item->data()).value_or(Json());
    }
    return Json();
}

/// A client over a recording transport and a real file manager in a fresh
/// folder, and a hub with a scope; every test starts from a clean container.
class SdkFixture : public FileManagerFixture {
  protected:
    void SetUp() override {
        FileManagerFixture::SetUp();
        options->releaseName = "app@1.0";
        transport = std::make_shared<RecordingTransport>();
        random = std::make_shared<FixedRandom>(0.5);
        makeClient();
    }

    void makeClient() {
        auto adapter = std::make_shared<TransportAdapter>(
            std::vector<std::shared_ptr<Transport>>{transport}, options);
        client = std::make_shared<Client>(options, adapter, manager, false,
                                          std::make_shared<ThreadInspector>(*options),
                                          std::make_shared<DebugImageProvider>(), random);
        scope = std::make_shared<Scope>(options->maxBreadcrumbs);
        hub = std::make_shared<Hub>(client, scope);
    }

    std::shared_ptr<RecordingTransport> transport;
    std::shared_ptr<FixedRandom> random;
    std::shared_ptr<Client> client;
    std::shared_ptr<Scope> scope;
    std::shared_ptr<Hub> hub;
};

/// The same, with the hub as the SDK's current one, for code that reaches it
/// through the SDK entry.
class CurrentHubFixture : public SdkFixture {
  protected:
    void SetUp() override {
        SdkFixture::SetUp();
        SDK::setCurrentHub(hub);
    }
    void TearDown() override {
        SDK::setCurrentHub(nullptr);
        SdkFixture::TearDown();
    }
};

}  // namespace skald::test
