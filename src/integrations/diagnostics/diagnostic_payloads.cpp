#include <exception>
#include <string>

#include "skald/diagnostic_payloads.h"
#include "skald/platform/metric_manager.h"
#include "util/log.h"

namespace skald {

bool deliverDiagnosticPayloadsJson(std::string_view json) {
    try {
        std::string error;
        if (platform::MetricManager::shared().deliverDiagnosticPayloadsJson(json, &error)) {
            return true;
        }
        SKALD_LOG_ERROR("Could not read the diagnostic payload: %s", error.c_str());
    } catch (const std::exception& error) {
        SKALD_LOG_ERROR("Could not deliver the diagnostic payload: %s", error.what());
    }
    return false;
}

}  // namespace skald
