#include "skald/app_state.h"

#include <gtest/gtest.h>

namespace skald {
namespace {

Json validJson() {
    return {{"release_name", "1.0"},
            {"os_version", "14.1"},
            {"vendor_id", "vendor"},
            {"is_debugging", false},
            {"system_boot_timestamp", "2024-05-01T10:20:30.000Z"},
            {"is_active", true},
            {"was_terminated", false},
            {"is_anr_ongoing", false},
            {"is_sdk_running", false}};
}

TEST(AppStateTest, DefaultsAndJsonRoundTrip) {
    AppState state("1.0", "14.1", "vendor", true, dateWithTimeIntervalSince1970(1714558830.2));
    EXPECT_FALSE(state.isActive);
    EXPECT_FALSE(state.wasTerminated);
    EXPECT_FALSE(state.isANROngoing);
    EXPECT_TRUE(state.isSDKRunning);
    state.isActive = true;
    const Json json = state.serialize();
    EXPECT_EQ(json["system_boot_timestamp"], "2024-05-01T10:20:30.000Z");
    EXPECT_EQ(json["is_debugging"], true);
    const auto back = AppState::fromJson(json);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->serialize(), json);
    EXPECT_EQ(AppState::fromJson(validJson())->serialize(), validJson());
}

TEST(AppStateTest, BootTimeRoundsHalvesAwayFromZero) {
    auto boot = [](double seconds) {
        return timeIntervalSince1970(
            AppState(std::nullopt, "", "", false, dateWithTimeIntervalSince1970(seconds))
                .systemBootTimestamp);
    };
    EXPECT_EQ(boot(100.5), 101);
    EXPECT_EQ(boot(100.49), 100);
    EXPECT_EQ(boot(-100.5), -101);
}

TEST(AppStateTest, ReleaseNameIsOptionalAndWrittenOnlyWhenSet) {
    Json json = validJson();
    json.erase("release_name");
    const auto state = AppState::fromJson(json);
    ASSERT_TRUE(state);
    EXPECT_FALSE(state->releaseName);
    EXPECT_FALSE(state->serialize().contains("release_name"));
}

TEST(AppStateTest, SdkRunningDefaultsToTrue) {
    for (Json value : {Json(), Json("no")}) {
        Json json = validJson();
        if (value.is_null()) {
            json.erase("is_sdk_running");
        } else {
            json["is_sdk_running"] = value;
        }
        EXPECT_TRUE(AppState::fromJson(json)->isSDKRunning);
    }
    Json numeric = validJson();
    numeric["is_active"] = 0;
    numeric["is_sdk_running"] = 1;
    EXPECT_FALSE(AppState::fromJson(numeric)->isActive);
    EXPECT_TRUE(AppState::fromJson(numeric)->isSDKRunning);
}

TEST(AppStateTest, RequiredKeys) {
    for (const char* key : {"os_version", "vendor_id", "is_debugging", "system_boot_timestamp",
                            "is_active", "was_terminated", "is_anr_ongoing"}) {
        Json json = validJson();
        json.erase(key);
        EXPECT_FALSE(AppState::fromJson(json)) << key;
    }
    Json wrong = validJson();
    wrong["is_active"] = "true";
    EXPECT_FALSE(AppState::fromJson(wrong));
    wrong = validJson();
    wrong["system_boot_timestamp"] = 12;
    EXPECT_FALSE(AppState::fromJson(wrong));
}

}  // namespace
}  // namespace skald
