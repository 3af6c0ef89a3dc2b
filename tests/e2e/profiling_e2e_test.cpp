// Profiles end to end: a host with three named worker threads runs a
// profiled transaction, or the continuous profiler, against the receiver.
// Frames are resolved the way the service would: by image and address.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "crash/async_safe/symbol_index.h"
#include "crash/recording/symbol_indexes.h"
#include "e2e/example_fixture.h"

namespace skald::test {
namespace {

using ProfilingEndToEnd = ExampleEndToEnd;

uint64_t hexValue(const Json& text) {
    return std::stoull(text.get<std::string>(), nullptr, 16);
}

/// The function names of the frames that fall into `program`'s image,
/// looked up in its own symbol table.
std::map<size_t, std::string> resolveFrames(const Json& payload, const std::string& program) {
    std::map<size_t, std::string> names;
    for (const auto& image : payload["debug_meta"]["images"]) {
        if (image.value("code_file", "") != program) continue;
        const uint64_t base = hexValue(image["image_addr"]);
        const uint64_t size = image["image_size"].get<uint64_t>();
        const uint64_t vmaddr =
            image.contains("image_vmaddr") ? hexValue(image["image_vmaddr"]) : 0;
        std::string error;
        const auto* index = crash::buildSymbolIndex(program, base, vmaddr, &error);
        if (index == nullptr) {
            ADD_FAILURE() << error;
            return names;
        }
        const Json& frames = payload["profile"]["frames"];
        for (size_t i = 0; i < frames.size(); ++i) {
            const uint64_t address = hexValue(frames[i]["instruction_addr"]);
            if (address < base || address >= base + size) continue;
            const char* name = nullptr;
            uintptr_t start = 0;
            if (crash::lookupIndexedSymbol(*index, address, &name, &start) && name) {
                names[i] = name;
            }
        }
    }
    return names;
}

TEST_F(ProfilingEndToEnd, AProfiledTransactionNamesItsThreadsAndTheirFunctions) {
    const auto run = runProgram(SKALD_PROFILED_HOST_PATH, {"transaction", "2"});
    ASSERT_EQ(run.status, 0) << run.output;

    std::optional<Json> transaction;
    std::optional<Json> profile;
    for (const auto& envelope : receivedEnvelopes()) {
        for (auto& item : itemsOfType(*envelope, "transaction")) transaction = item;
        for (auto& item : itemsOfType(*envelope, "profile")) profile = item;
    }
    ASSERT_TRUE(transaction) << run.output;
    ASSERT_TRUE(profile) << run.output;
    EXPECT_EQ((*profile)["transaction"]["id"], (*transaction)["event_id"]);
    EXPECT_EQ((*profile)["release"], "skald-profiled-host@1.0.0");

    const Json& data = (*profile)["profile"];
    std::map<std::string, std::string> threadNames;  // id → name
    for (const auto& [id, metadata] : data["thread_metadata"].items()) {
        threadNames[id] = metadata.value("name", "");
    }
    for (const char* name : {"worker-alpha", "worker-beta", "worker-gamma"}) {
        bool found = false;
        for (const auto& [id, threadName] : threadNames) found |= threadName == name;
        EXPECT_TRUE(found) << name;
    }

    // Every index is in range and samples come in time order per thread.
    std::map<std::string, uint64_t> lastElapsed;
    for (const auto& sample : data["samples"]) {
        const size_t stack = sample["stack_id"];
        ASSERT_LT(stack, data["stacks"].size());
        for (const auto& frame : data["stacks"][stack])
            ASSERT_LT(frame.get<size_t>(), data["frames"].size());
        const std::string thread = sample["thread_id"];
        EXPECT_TRUE(threadNames.count(thread)) << "every sampled thread has metadata";
        const uint64_t elapsed = std::stoull(sample["elapsed_since_start_ns"].get<std::string>());
        EXPECT_GE(elapsed, lastElapsed[thread]);
        lastElapsed[thread] = elapsed;
        EXPECT_LT(elapsed, 3'000'000'000U);
    }

    // Each worker's samples resolve to its own function.
    const auto names = resolveFrames(*profile, SKALD_PROFILED_HOST_PATH);
    const std::map<std::string, std::string> expected = {{"worker-alpha", "profiledHostSpinAlpha"},
                                                         {"worker-beta", "profiledHostSpinBeta"},
                                                         {"worker-gamma", "profiledHostSpinGamma"}};
    std::set<std::string> seen;
    for (const auto& sample : data["samples"]) {
        const std::string threadName = threadNames[sample["thread_id"].get<std::string>()];
        const auto wanted = expected.find(threadName);
        if (wanted == expected.end()) continue;
        for (const auto& frame : data["stacks"][sample["stack_id"].get<size_t>()]) {
            const auto name = names.find(frame.get<size_t>());
            if (name == names.end()) continue;
            if (name->second == wanted->second) seen.insert(threadName);
            for (const auto& [other, function] : expected) {
                if (other != threadName) EXPECT_NE(name->second, function) << threadName;
            }
        }
    }
    EXPECT_EQ(seen.size(), 3U) << "each worker is seen in its own function";

    for (const char* series : {"cpu_usage", "memory_footprint"}) {
        ASSERT_TRUE((*profile)["measurements"].contains(series)) << series;
        EXPECT_FALSE((*profile)["measurements"][series]["values"].empty()) << series;
    }
}

TEST_F(ProfilingEndToEnd, ContinuousProfilingSendsChunksThatDoNotOverlap) {
    const auto run = runProgram(SKALD_PROFILED_HOST_PATH, {"continuous", "25"});
    ASSERT_EQ(run.status, 0) << run.output;

    std::vector<Json> chunks;
    for (const auto& envelope : receivedEnvelopes()) {
        for (auto& item : itemsOfType(*envelope, "profile_chunk")) chunks.push_back(item);
    }
    ASSERT_GE(chunks.size(), 2U) << run.output;
    std::vector<std::pair<double, double>> spans;
    std::set<std::string> profilerIds;
    for (const auto& chunk : chunks) {
        profilerIds.insert(chunk["profiler_id"].get<std::string>());
        double first = 1e300;
        double last = 0;
        for (const auto& sample : chunk["profile"]["samples"]) {
            first = std::min(first, sample["timestamp"].get<double>());
            last = std::max(last, sample["timestamp"].get<double>());
        }
        ASSERT_FALSE(chunk["profile"]["samples"].empty());
        spans.emplace_back(first, last);
    }
    EXPECT_EQ(profilerIds.size(), 1U) << "one profiler id for the process";
    std::sort(spans.begin(), spans.end());
    for (size_t i = 1; i < spans.size(); ++i) {
        EXPECT_GT(spans[i].first, spans[i - 1].second) << "chunk " << i << " overlaps";
    }
}

}  // namespace
}  // namespace skald::test
