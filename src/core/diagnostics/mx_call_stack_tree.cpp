#include "core/diagnostics/mx_call_stack_tree.h"

#include "skald/id.h"
#include "util/json_bytes.h"

namespace skald {

namespace {

struct Decoder {
    std::string error;
    size_t frameCount = 0;

    bool fail(std::string text) {
        error = std::move(text);
        return false;
    }

    bool frame(const Json& json, int depth, MXFrame& out) {
        if (depth > MXCallStackTree::kMaxFrameDepth) {
            return fail("frames nest deeper than " +
                        std::to_string(MXCallStackTree::kMaxFrameDepth));
        }
        if (++frameCount > MXCallStackTree::kMaxFrames) {
            return fail("more than " + std::to_string(MXCallStackTree::kMaxFrames) + " frames");
        }
        if (!json.is_object()) return fail("a frame must be an object");

        const auto uuid = json.find("binaryUUID");
        const auto parsed = uuid != json.end() && uuid->is_string()
                                ? Id::parse(uuid->get<std::string>())
                                : std::nullopt;
        if (!parsed) return fail("binaryUUID: expected a UUID");
        out.binaryUUID = parsed->uuidString();

        const auto offset = json.find("offsetIntoBinaryTextSegment");
        if (offset == json.end() || !offset->is_number_integer()) {
            return fail("offsetIntoBinaryTextSegment: expected an integer");
        }
        out.offsetIntoBinaryTextSegment = offset->get<int64_t>();

        const auto address = json.find("address");
        if (address == json.end() || !address->is_number_unsigned()) {
            return fail("address: expected an unsigned integer");
        }
        out.address = address->get<uint64_t>();

        if (const auto name = json.find("binaryName"); name != json.end() && !name->is_null()) {
            if (!name->is_string()) return fail("binaryName: expected a text");
            out.binaryName = name->get<std::string>();
        }
        if (const auto count = json.find("sampleCount"); count != json.end() && !count->is_null()) {
            if (!count->is_number_integer()) return fail("sampleCount: expected an integer");
            out.sampleCount = count->get<int64_t>();
        }
        if (const auto subFrames = json.find("subFrames");
            subFrames != json.end() && !subFrames->is_null()) {
            if (!subFrames->is_array()) return fail("subFrames: expected an array");
            out.subFrames.resize(subFrames->size());
            for (size_t i = 0; i < subFrames->size(); ++i) {
                if (!frame((*subFrames)[i], depth + 1, out.subFrames[i])) return false;
            }
        }
        return true;
    }

    bool callStack(const Json& json, MXCallStack& out) {
        if (!json.is_object()) return fail("a call stack must be an object");
        if (const auto attributed = json.find("threadAttributed");
            attributed != json.end() && !attributed->is_null()) {
            if (!attributed->is_boolean()) return fail("threadAttributed: expected a boolean");
            out.threadAttributed = attributed->get<bool>();
        }
        const auto roots = json.find("callStackRootFrames");
        if (roots == json.end() || !roots->is_array()) {
            return fail("callStackRootFrames: expected an array");
        }
        out.callStackRootFrames.resize(roots->size());
        for (size_t i = 0; i < roots->size(); ++i) {
            if (!frame((*roots)[i], 1, out.callStackRootFrames[i])) return false;
        }
        return true;
    }
};

void appendPreOrder(const MXFrame& frame, std::vector<const MXFrame*>& out) {
    out.push_back(&frame);
    for (const auto& sub : frame.subFrames) appendPreOrder(sub, out);
}

}  // namespace

std::vector<const MXFrame*> MXFrame::frames() const {
    std::vector<const MXFrame*> out;
    for (const auto& sub : subFrames) appendPreOrder(sub, out);
    return out;
}

std::vector<const MXFrame*> MXFrame::framesIncludingSelf() const {
    std::vector<const MXFrame*> out;
    appendPreOrder(*this, out);
    return out;
}

Json MXFrame::serialize() const {
    Json json = Json::object();
    json["binaryUUID"] = binaryUUID;
    json["offsetIntoBinaryTextSegment"] = offsetIntoBinaryTextSegment;
    if (binaryName) json["binaryName"] = *binaryName;
    json["address"] = address;
    if (sampleCount) json["sampleCount"] = *sampleCount;
    if (!subFrames.empty()) {
        Json subs = Json::array();
        for (const auto& sub : subFrames) subs.push_back(sub.serialize());
        json["subFrames"] = std::move(subs);
    }
    return json;
}

std::vector<const MXFrame*> MXCallStack::flattenedRootFrames() const {
    std::vector<const MXFrame*> out;
    for (const auto& root : callStackRootFrames) appendPreOrder(root, out);
    return out;
}

Json MXCallStack::serialize() const {
    Json json = Json::object();
    if (threadAttributed) json["threadAttributed"] = *threadAttributed;
    Json roots = Json::array();
    for (const auto& root : callStackRootFrames) roots.push_back(root.serialize());
    json["callStackRootFrames"] = std::move(roots);
    return json;
}

std::optional<MXCallStackTree> MXCallStackTree::fromJson(const Json& json, std::string* error) {
    Decoder decoder;
    MXCallStackTree tree;
    const auto report = [&](std::string text) {
        if (error != nullptr) *error = std::move(text);
        return std::nullopt;
    };
    if (!json.is_object()) return report("a call-stack tree must be an object");
    const auto perThread = json.find("callStackPerThread");
    if (perThread == json.end() || !perThread->is_boolean()) {
        return report("callStackPerThread: expected a boolean");
    }
    tree.callStackPerThread = perThread->get<bool>();
    const auto stacks = json.find("callStacks");
    if (stacks == json.end() || !stacks->is_array()) {
        return report("callStacks: expected an array");
    }
    tree.callStacks.resize(stacks->size());
    for (size_t i = 0; i < stacks->size(); ++i) {
        if (!decoder.callStack((*stacks)[i], tree.callStacks[i])) {
            return report("callStacks[" + std::to_string(i) + "]: " + decoder.error);
        }
    }
    return tree;
}

std::optional<MXCallStackTree> MXCallStackTree::fromData(std::string_view data,
                                                         std::string* error) {
    std::string parseError;
    const auto json = parseJsonBytes(data, &parseError);
    if (!json) {
        if (error != nullptr) *error = "not JSON: " + parseError;
        return std::nullopt;
    }
    return fromJson(*json, error);
}

Json MXCallStackTree::serialize() const {
    Json json = Json::object();
    Json stacks = Json::array();
    for (const auto& stack : callStacks) stacks.push_back(stack.serialize());
    json["callStacks"] = std::move(stacks);
    json["callStackPerThread"] = callStackPerThread;
    return json;
}

}  // namespace skald
