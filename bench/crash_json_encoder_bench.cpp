// Encoding a 2 MiB crash-report-like document with the crash-time JSON encoder
// into memory, next to RapidJSON's Writer producing the same document: the
// encoder should stay within 1.5 times RapidJSON's time.
#include <benchmark/benchmark.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "crash/async_safe/json_encoder.h"

namespace {

struct Frame {
    std::string instructionAddress;  // "0x..." text
    uint64_t objectAddress;
    uint64_t symbolAddress;
    std::string objectName;
    std::string symbolName;
};

struct Thread {
    int64_t index;
    std::string name;
    bool crashed;
    std::vector<std::pair<std::string, uint64_t>> registers;
    std::vector<Frame> frames;
};

struct Image {
    uint64_t address;
    uint64_t size;
    std::string name;
    std::string uuid;
};

struct Document {
    std::vector<Image> images;
    std::vector<Thread> threads;
    std::vector<std::string> logLines;
    std::string reason;
    double cpuUsage[8];
};

std::string hex(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof(text), "0x%016llx", static_cast<unsigned long long>(value));
    return text;
}

Document makeDocument() {
    Document doc;
    const char* registerNames[] = {"rax", "rbx", "rcx", "rdx", "rdi", "rsi",
                                   "rbp", "rsp", "r8",  "r9",  "r10", "r11",
                                   "r12", "r13", "r14", "r15", "rip", "rflags"};
    for (int i = 0; i < 200; ++i) {
        doc.images.push_back(
            {0x7f0000000000ull + i * 0x100000ull, 0x20000ull + i * 17,
             "/usr/lib/x86_64-linux-gnu/libcomponent" + std::to_string(i) + ".so.1",
             "4C4C44" + std::to_string(1000 + i) + "-5555-3144-A1B2-C3D4E5F60718"});
    }
    for (int t = 0; t < 40; ++t) {
        Thread thread{
            t, t == 0 ? "main" : "worker \"pool\"\t#" + std::to_string(t), t == 3, {}, {}};
        for (int r = 0; r < 18; ++r) {
            thread.registers.push_back({registerNames[r], 0x7ffd00000000ull * (r + 1) + t * 8});
        }
        for (int f = 0; f < 225; ++f) {
            const uint64_t image = 0x7f0000000000ull + ((t * 7 + f) % 200) * 0x100000ull;
            thread.frames.push_back(
                {hex(image + 0x1000 + f * 16), image, image + 0x1000 + f * 8,
                 "libcomponent" + std::to_string((t * 7 + f) % 200) + ".so.1",
                 "skald::component::Worker<int>::process(std::vector<int> const&) + " +
                     std::to_string(f * 4)});
        }
        doc.threads.push_back(std::move(thread));
    }
    for (int i = 0; i < 300; ++i) {
        doc.logLines.push_back("2024-05-01T10:20:30Z\t[worker " + std::to_string(i) +
                               "] path \"C:\\\\data\\\\file\" failed:\nretrying");
    }
    doc.reason = "Segmentation fault: \"address not mapped\" at 0x0000000000000008\n\tin main";
    for (int i = 0; i < 8; ++i) doc.cpuUsage[i] = 0.125 * i + 1.0 / 3.0;
    return doc;
}

/// Walks the document through a writer adapter, so that both writers see the
/// same sequence of calls.
template <class W>
void writeDocument(W& w, const Document& doc) {
    w.beginObject(nullptr);
    w.beginObject("report");
    w.string("id", "A1B2C3D4-E5F6-0718-293A-4B5C6D7E8F90");
    w.integer("timestamp", 1714558830);
    w.string("type", "standard");
    w.endObject();

    w.beginArray("binary_images");
    for (const Image& image : doc.images) {
        w.beginObject(nullptr);
        w.uinteger("image_addr", image.address);
        w.uinteger("image_size", image.size);
        w.string("name", image.name);
        w.string("uuid", image.uuid);
        w.endObject();
    }
    w.endArray();

    w.beginObject("system");
    w.string("kernel_version", "Linux 6.1.0-18-amd64 #1 SMP PREEMPT_DYNAMIC");
    w.uinteger("memory_size", 17179869184ull);
    w.beginArray("cpu_usage");
    for (const double usage : doc.cpuUsage) w.floating(nullptr, usage);
    w.endArray();
    w.endObject();

    w.beginObject("crash");
    w.beginObject("error");
    w.string("reason", doc.reason);
    w.beginObject("signal");
    w.integer("signal", 11);
    w.string("name", "SIGSEGV");
    w.endObject();
    w.endObject();
    w.beginArray("threads");
    for (const Thread& thread : doc.threads) {
        w.beginObject(nullptr);
        w.integer("index", thread.index);
        w.string("name", thread.name);
        w.boolean("crashed", thread.crashed);
        w.beginObject("registers");
        for (const auto& [name, value] : thread.registers) w.uinteger(name.c_str(), value);
        w.endObject();
        w.beginObject("backtrace");
        w.beginArray("contents");
        for (const Frame& frame : thread.frames) {
            w.beginObject(nullptr);
            w.string("instruction_addr", frame.instructionAddress);
            w.uinteger("object_addr", frame.objectAddress);
            w.string("object_name", frame.objectName);
            w.uinteger("symbol_addr", frame.symbolAddress);
            w.string("symbol_name", frame.symbolName);
            w.endObject();
        }
        w.endArray();
        w.integer("skipped", 0);
        w.endObject();
        w.endObject();
    }
    w.endArray();
    w.endObject();

    w.beginObject("user");
    w.beginArray("console_log");
    for (const std::string& line : doc.logLines) w.string(nullptr, line);
    w.endArray();
    w.endObject();
    w.endObject();
}

class SkaldWriter {
  public:
    explicit SkaldWriter(std::string* out) {
        skald::crash::json::beginEncode(&context_, false, append, out);
    }
    void beginObject(const char* name) {
        result_ |= skald::crash::json::beginObject(&context_, name);
    }
    void beginArray(const char* name) {
        result_ |= skald::crash::json::beginArray(&context_, name);
    }
    void endObject() { result_ |= skald::crash::json::endContainer(&context_); }
    void endArray() { result_ |= skald::crash::json::endContainer(&context_); }
    void string(const char* name, const std::string& value) {
        result_ |= skald::crash::json::addStringElement(&context_, name, value.data(),
                                                        static_cast<int>(value.size()));
    }
    void integer(const char* name, int64_t value) {
        result_ |= skald::crash::json::addIntegerElement(&context_, name, value);
    }
    void uinteger(const char* name, uint64_t value) {
        result_ |= skald::crash::json::addUIntegerElement(&context_, name, value);
    }
    void floating(const char* name, double value) {
        result_ |= skald::crash::json::addFloatingPointElement(&context_, name, value);
    }
    void boolean(const char* name, bool value) {
        result_ |= skald::crash::json::addBooleanElement(&context_, name, value);
    }
    int finish() { return result_ | skald::crash::json::endEncode(&context_); }

  private:
    static int append(const char* data, int length, void* userData) {
        static_cast<std::string*>(userData)->append(data, static_cast<size_t>(length));
        return 0;
    }
    skald::crash::json::EncodeContext context_;
    int result_ = 0;
};

class RapidWriter {
  public:
    explicit RapidWriter(rapidjson::StringBuffer* out) : writer_(*out) {}
    void beginObject(const char* name) {
        key(name);
        writer_.StartObject();
    }
    void beginArray(const char* name) {
        key(name);
        writer_.StartArray();
    }
    void endObject() { writer_.EndObject(); }
    void endArray() { writer_.EndArray(); }
    void string(const char* name, const std::string& value) {
        key(name);
        writer_.String(value.data(), static_cast<rapidjson::SizeType>(value.size()));
    }
    void integer(const char* name, int64_t value) {
        key(name);
        writer_.Int64(value);
    }
    void uinteger(const char* name, uint64_t value) {
        key(name);
        writer_.Uint64(value);
    }
    void floating(const char* name, double value) {
        key(name);
        writer_.Double(value);
    }
    void boolean(const char* name, bool value) {
        key(name);
        writer_.Bool(value);
    }
    bool finish() { return writer_.IsComplete(); }

  private:
    void key(const char* name) {
        if (name != nullptr) writer_.Key(name);
    }
    rapidjson::Writer<rapidjson::StringBuffer> writer_;
};

const Document& document() {
    static const Document doc = makeDocument();
    return doc;
}

void BM_CrashJsonEncoder(benchmark::State& state) {
    const Document& doc = document();
    std::string out;
    out.reserve(4 << 20);
    for (auto _ : state) {
        out.clear();
        SkaldWriter writer(&out);
        writeDocument(writer, doc);
        if (writer.finish() != 0) state.SkipWithError("encoder failed");
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * out.size()));
    state.counters["output_bytes"] = static_cast<double>(out.size());
}

void BM_RapidJsonWriter(benchmark::State& state) {
    const Document& doc = document();
    rapidjson::StringBuffer out(nullptr, 4 << 20);
    for (auto _ : state) {
        out.Clear();
        RapidWriter writer(&out);
        writeDocument(writer, doc);
        if (!writer.finish()) state.SkipWithError("writer failed");
        benchmark::DoNotOptimize(out.GetString());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * out.GetSize()));
    state.counters["output_bytes"] = static_cast<double>(out.GetSize());
}

BENCHMARK(BM_CrashJsonEncoder)->Unit(benchmark::kMillisecond)->Repetitions(5);
BENCHMARK(BM_RapidJsonWriter)->Unit(benchmark::kMillisecond)->Repetitions(5);

}  // namespace

BENCHMARK_MAIN();
