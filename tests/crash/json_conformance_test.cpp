// Runs the public JSON parsing test suite through the crash-time decoder:
// y_ files must decode, n_ files must be rejected, i_ files may go either way.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "crash/async_safe/json_decoder.h"

namespace skald::crash::json {
namespace {

namespace fs = std::filesystem;

/// n_ files the decoder accepts on purpose, with the reason.
const std::map<std::string, std::string> kAcceptedOnPurpose = {};

fs::path suiteDirectory() {
    return fs::path(SKALD_TESTS_DIR) / "data" / "json-test-suite" / "test_parsing";
}

int decodeWhole(const std::string& text) {
    std::vector<char> buffer(4 * (text.size() + 16));
    int offset = 0;
    return decode(text.data(), static_cast<int>(text.size()), buffer.data(),
                  static_cast<int>(buffer.size()), nullptr, nullptr, &offset);
}

/// The same text fed through a 7-byte window, to cover every refill boundary.
int decodeStreamed(const std::string& text) {
    struct Reader {
        const std::string* text;
        size_t position;
    } reader{&text, 0};
    auto read = [](char* buffer, int capacity, void* data) {
        auto* r = static_cast<Reader*>(data);
        const size_t count = std::min(static_cast<size_t>(capacity), r->text->size() - r->position);
        r->text->copy(buffer, count, r->position);
        r->position += count;
        return static_cast<int>(count);
    };
    char window[7];
    std::vector<char> names(text.size() + 16);
    std::vector<char> strings(3 * (text.size() + 16));
    int offset = 0;
    return decodeStream(window, sizeof(window), read, &reader, names.data(),
                        static_cast<int>(names.size()), strings.data(),
                        static_cast<int>(strings.size()), nullptr, nullptr, &offset);
}

/// File names are printed; keep the log plain ASCII.
std::string printable(const std::string& name) {
    std::string result;
    for (const unsigned char c : name) result += (c >= 0x20 && c < 0x7F) ? char(c) : '?';
    return result;
}

TEST(JsonConformanceTest, ParsingSuite) {
    const fs::path directory = suiteDirectory();
    ASSERT_TRUE(fs::is_directory(directory))
        << "JSON test suite not found at " << directory
        << " (expected the shared test data next to the repository)";

    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(directory)) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    ASSERT_FALSE(files.empty());

    int yes = 0, no = 0, acceptedOnPurpose = 0, implementationAccepted = 0,
        implementationRejected = 0;
    std::string implementationOutcomes;
    for (const fs::path& path : files) {
        const std::string name = path.filename().string();
        std::ifstream stream(path, std::ios::binary);
        const std::string text((std::istreambuf_iterator<char>(stream)),
                               std::istreambuf_iterator<char>());
        const int result = decodeWhole(text);
        EXPECT_EQ(decodeStreamed(text), result) << printable(name);

        if (name.rfind("y_", 0) == 0) {
            EXPECT_EQ(result, OK) << printable(name) << ": " << stringForError(result);
            ++yes;
        } else if (name.rfind("n_", 0) == 0) {
            if (kAcceptedOnPurpose.count(name) != 0) {
                EXPECT_EQ(result, OK) << printable(name) << " is listed as accepted";
                ++acceptedOnPurpose;
            } else {
                EXPECT_NE(result, OK) << printable(name) << " was accepted";
            }
            ++no;
        } else if (name.rfind("i_", 0) == 0) {
            (result == OK ? implementationAccepted : implementationRejected)++;
            implementationOutcomes += "  " + printable(name) + ": " +
                                      (result == OK ? "accepted" : stringForError(result)) + "\n";
        }
    }
    std::cout << "y_ files: " << yes << ", n_ files: " << no << " (" << acceptedOnPurpose
              << " accepted on purpose), i_ files: " << implementationAccepted << " accepted, "
              << implementationRejected << " rejected\n"
              << implementationOutcomes;
}

}  // namespace
}  // namespace skald::crash::json
