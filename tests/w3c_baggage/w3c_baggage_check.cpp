// Checks our "baggage" headers against a W3C Baggage implementation: each
// header we write is read by roundtrip.mjs, which must see exactly our
// values, and the header it writes back must decode with ours to the same
// values. Run by run_w3c_baggage_test.sh, which installs the Node packages.
//
// The per-folder test glob also builds this file, as test_w3c_baggage, and
// asks it for its GoogleTest cases: it has none, and answers with none.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "skald/baggage.h"
#include "skald/json.h"

namespace {

using Map = std::map<std::string, std::string>;

struct NodeResult {
    Map entries;
    std::string header;
};

std::string shellQuoted(std::string_view text) {
    std::string quoted = "'";
    for (const char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

std::optional<NodeResult> runNode(const std::string& script, const std::string& header) {
    char path[] = "/tmp/skald-w3c-baggage-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) return std::nullopt;
    const std::string input = header + "\n";
    const bool written =
        write(fd, input.data(), input.size()) == static_cast<ssize_t>(input.size());
    close(fd);
    std::string output;
    if (written) {
        const std::string command = "node " + shellQuoted(script) + " < " + shellQuoted(path);
        if (FILE* pipe = popen(command.c_str(), "r")) {
            char buffer[4096];
            size_t n;
            while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
            if (pclose(pipe) != 0) output.clear();
        }
    }
    unlink(path);

    const size_t firstEnd = output.find('\n');
    if (firstEnd == std::string::npos || output.back() != '\n') return std::nullopt;
    const auto json = skald::Json::parse(output.substr(0, firstEnd), nullptr, false);
    if (!json.is_object()) return std::nullopt;
    NodeResult result;
    for (const auto& [key, value] : json.items()) {
        if (!value.is_string()) return std::nullopt;
        result.entries[key] = value.get<std::string>();
    }
    result.header = output.substr(firstEnd + 1, output.size() - firstEnd - 2);
    return result;
}

std::string describe(const Map& entries) {
    skald::Json json = skald::Json::object();
    for (const auto& [key, value] : entries) json[key] = value;
    return json.dump(-1, ' ', false, skald::Json::error_handler_t::replace);
}

struct Case {
    std::string name;
    std::string header;
    Map expected;
};

skald::Id traceId() {
    return *skald::Id::parse("0123456789abcdef0123456789abcdef");
}

std::vector<Case> cases() {
    std::vector<Case> all;

    const skald::Baggage full(traceId(), "a1b2c3", "app@1.2.3+45", "production",
                              "GET /users/{id}?q=1&r=2", "vip customer", "0.25", "true",
                              "fedcba9876543210fedcba9876543210");
    Map fullEntries = {
        {"skald-trace_id", "0123456789abcdef0123456789abcdef"},
        {"skald-public_key", "a1b2c3"},
        {"skald-release", "app@1.2.3+45"},
        {"skald-environment", "production"},
        {"skald-transaction", "GET /users/{id}?q=1&r=2"},
        {"skald-user_segment", "vip customer"},
        {"skald-sample_rate", "0.25"},
        {"skald-sampled", "true"},
        {"skald-replay_id", "fedcba9876543210fedcba9876543210"},
    };
    all.push_back({"own entries", full.toHTTPHeader(), fullEntries});

    const Map foreign = {
        {"vendor-a", "first, second"},
        {"vendor_b.key", "100% sure=yes;really"},
        {"spaces", "  leading and trailing  "},
        {"unicode",
         "Gr\xC3\xBC\xC3\x9F"
         "e, \xE4\xB8\x96\xE7\x95\x8C \xF0\x9F\x8E\x89"},
        {"punctuation", "!#$&'()*+/:<>?@[\\]^`{|}~\""},
        {"controls", "tab\there\nnewline"},
        {"escapes-look-alike", "%41%zz%%"},
    };
    Map withForeign = fullEntries;
    withForeign.insert(foreign.begin(), foreign.end());
    all.push_back({"own and foreign entries", full.toHTTPHeader(foreign), withForeign});

    const skald::Baggage minimal(traceId(), "key", {}, {}, {}, {}, {}, {}, {});
    const std::string incoming =
        "vendor=x%20y,skald-trace_id=ffffffffffffffffffffffffffffffff,skald-sampled=false,"
        "utf=%E2%82%AC%2C";
    all.push_back({"forwarded header",
                   skald::Baggage::mergeIntoHeader(incoming, minimal),
                   {{"vendor", "x y"},
                    {"utf", "\xE2\x82\xAC,"},
                    {"skald-trace_id", "0123456789abcdef0123456789abcdef"},
                    {"skald-public_key", "key"}}});

    std::string everyAscii;
    for (int c = 1; c < 128; ++c) everyAscii += static_cast<char>(c);
    all.push_back({"every ASCII character",
                   skald::BaggageSerialization::encodeDictionary({{"ascii", everyAscii}}),
                   {{"ascii", everyAscii}}});
    return all;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <roundtrip.mjs>\n", argv[0]);
        return 2;
    }
    const std::string script = argv[1];

    int passed = 0;
    int failed = 0;
    for (const Case& check : cases()) {
        std::vector<std::string> problems;
        const auto ours = skald::BaggageSerialization::decode(check.header);
        if (ours != check.expected) problems.push_back("our decoder reads " + describe(ours));
        const auto node = runNode(script, check.header);
        if (!node) {
            problems.push_back("roundtrip.mjs failed or printed something else");
        } else {
            if (node->entries != check.expected) {
                problems.push_back("the W3C side reads " + describe(node->entries));
            }
            const auto back = skald::BaggageSerialization::decode(node->header);
            if (back != check.expected) {
                problems.push_back("the W3C header " + node->header + " decodes to " +
                                   describe(back));
            }
        }
        if (problems.empty()) {
            ++passed;
            std::printf("ok: %s\n", check.name.c_str());
        } else {
            ++failed;
            std::printf("FAILED: %s\n  header: %s\n  expected: %s\n", check.name.c_str(),
                        check.header.c_str(), describe(check.expected).c_str());
            for (const auto& problem : problems) std::printf("  %s\n", problem.c_str());
        }
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
