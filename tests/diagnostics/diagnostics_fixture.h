#pragma once

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/dependency_container.h"
#include "core/diagnostics/mx_manager.h"
#include "integrations/diagnostics/metric_kit_integration.h"
#include "sdk/sdk_fixture.h"
#include "skald/diagnostic_payloads.h"

namespace skald::test {

/// Objects compared without regard to key order.
inline nlohmann::json unordered(const Json& json) {
    return nlohmann::json::parse(json.dump());
}

inline std::string diagnosticFixture(const std::string& name) {
    const auto path = std::filesystem::path(SKALD_TESTS_DIR) / "data" / "diagnostics" / name;
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

/// The integration installed against a hub over a recording transport.
class DiagnosticsFixture : public CurrentHubFixture {
  protected:
    void SetUp() override {
        CurrentHubFixture::SetUp();
        options->enableMetricKit = true;
        options->addInAppInclude("DemoApp");
    }
    void TearDown() override {
        if (integration) integration->uninstall();
        CurrentHubFixture::TearDown();
    }

    /// With `crashDiagnostics`, a manager that passes crash diagnostics on
    /// replaces the shared one first.
    void install(bool crashDiagnostics = false) {
        if (crashDiagnostics) {
            DependencyContainer::sharedInstance()->setMetricKitManager(
                std::make_shared<MXManager>(false));
        }
        integration = std::make_shared<MetricKitIntegration>();
        ASSERT_TRUE(integration->installWithOptions(*options));
    }

    std::vector<Json> events() const {
        std::vector<Json> result;
        for (const auto& envelope : transport->envelopes()) {
            Json event = itemJson(*envelope, "event");
            if (event.is_object()) result.push_back(std::move(event));
        }
        return result;
    }

    std::shared_ptr<MetricKitIntegration> integration;
};

}  // namespace skald::test
