#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "model/in_app_logic.h"
#include "skald/json.h"

namespace skald::test {

/// The text of a stored report under fixtures/.
inline std::string fixtureText(const std::string& name) {
    const auto path =
        std::filesystem::path(SKALD_TESTS_DIR) / "crash_conversion" / "fixtures" / name;
    std::ifstream file(path, std::ios::binary);
    EXPECT_TRUE(file.good()) << path;
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

inline Json fixtureReport(const std::string& name) {
    return Json::parse(fixtureText(name));
}

/// The fixtures' main executable is "shop-app".
inline std::shared_ptr<InAppLogic> shopInAppLogic() {
    return std::make_shared<InAppLogic>(std::vector<std::string>{"shop-app"},
                                        std::vector<std::string>{});
}

}  // namespace skald::test
