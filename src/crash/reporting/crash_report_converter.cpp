#include "crash/reporting/crash_report_converter.h"

#include <algorithm>
#include <cctype>
#include <set>
#include <string>
#include <utility>

#include "crash/reporting/frame_remover.h"
#include "crash/reporting/hex_address.h"
#include "crash/reporting/report_fields.h"
#include "model/debug_id.h"
#include "util/iso8601.h"
#include "util/json_bytes.h"
#include "util/log.h"

namespace skald::crash {

namespace {

using report_fields::isTrue;
using report_fields::member;
using report_fields::stringAt;
using report_fields::unsignedAt;
using report_fields::unsignedValue;

/// The frame address the writer records for an asynchronous stitching point.
constexpr uint64_t kAsyncStitchingMarker = static_cast<uint64_t>(int64_t{-1235});

/// How a report value reads inside a message.
std::string describe(const Json& value) {
    if (value.is_string()) return value.get<std::string>();
    if (value.is_null()) return "unknown";
    return describeJson(value);
}

std::string trimmed(const std::string& text) {
    const auto isSpace = [](unsigned char c) { return std::isspace(c) != 0; };
    const auto begin = std::find_if_not(text.begin(), text.end(), isSpace);
    const auto end =
        std::find_if_not(text.rbegin(), std::string::const_reverse_iterator(begin), isSpace).base();
    return std::string(begin, end);
}

Level breadcrumbLevel(const std::optional<std::string>& text) {
    if (text == "fatal") return Level::Fatal;
    if (text == "warning") return Level::Warning;
    if (text == "info" || text == "log") return Level::Info;
    if (text == "debug") return Level::Debug;
    return Level::Error;
}

std::optional<Json> objectAt(const Json& object, std::string_view key) {
    const Json& value = member(object, key);
    if (!value.is_object()) return std::nullopt;
    return value;
}

/// Builds the tree of a JSON text while it is read, so that whatever was read
/// before a fault survives: containers still open are simply left as they are.
class PartialDocumentBuilder {
  public:
    using number_integer_t = Json::number_integer_t;
    using number_unsigned_t = Json::number_unsigned_t;
    using number_float_t = Json::number_float_t;
    using string_t = Json::string_t;
    using binary_t = Json::binary_t;

    bool null() { return add(Json()) != nullptr; }
    bool boolean(bool value) { return add(value) != nullptr; }
    bool number_integer(number_integer_t value) { return add(value) != nullptr; }
    bool number_unsigned(number_unsigned_t value) { return add(value) != nullptr; }
    bool number_float(number_float_t value, const string_t&) { return add(value) != nullptr; }
    bool string(string_t& value) { return add(std::move(value)) != nullptr; }
    bool binary(binary_t& value) { return add(Json::binary(std::move(value))) != nullptr; }
    bool start_object(std::size_t) {
        // Only the open containers are kept by address; a parent grows only
        // after its open child has been closed and dropped from the stack.
        Json* object = add(Json::object());
        open_.push_back(object);
        return true;
    }
    bool key(string_t& key) {
        key_ = std::move(key);
        return true;
    }
    bool end_object() {
        open_.pop_back();
        return true;
    }
    bool start_array(std::size_t) {
        Json* array = add(Json::array());
        open_.push_back(array);
        return true;
    }
    bool end_array() {
        open_.pop_back();
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& error) {
        error_ = error.what();
        return false;
    }

    Json& root() { return root_; }
    bool hasRoot() const { return hasRoot_; }
    const std::optional<std::string>& error() const { return error_; }

  private:
    Json* add(Json value) {
        if (open_.empty()) {
            root_ = std::move(value);
            hasRoot_ = true;
            return &root_;
        }
        Json& parent = *open_.back();
        if (parent.is_object()) {
            Json& slot = parent[key_];
            slot = std::move(value);
            return &slot;
        }
        parent.push_back(std::move(value));
        return &parent.back();
    }

    Json root_;
    bool hasRoot_ = false;
    std::vector<Json*> open_;
    string_t key_;
    std::optional<std::string> error_;
};

}  // namespace

CrashReportConverter::CrashReportConverter(Json report, std::shared_ptr<InAppLogic> inAppLogic)
    : report_(std::move(report)), inAppLogic_(std::move(inAppLogic)) {
    if (!report_.is_object()) return;
    systemContext_ = member(report_, "system");

    userContext_ = member(report_, "user");
    if (!userContext_.is_object()) userContext_ = Json::object();
    const Json& sdkScope = member(report_, "skald_sdk_scope");
    if (sdkScope.is_object()) {
        for (const auto& [key, value] : sdkScope.items()) userContext_[key] = value;
    }
    userContext_.erase("skald_sdk_scope");

    // A crash while handling a crash: the embedded first report describes the
    // crash that matters.
    const Json& recrash = member(report_, "recrash_report");
    const Json& recrashCrash = member(recrash, "crash");
    crash_ = recrashCrash.is_object() ? recrashCrash : member(report_, "crash");
    const Json& recrashImages = member(recrash, "binary_images");
    binaryImages_ = recrashImages.is_array() ? recrashImages : member(report_, "binary_images");

    diagnosis_ = stringAt(crash_, "diagnosis");
    exceptionContext_ = member(crash_, "error");

    const Json& threads = member(crash_, "threads");
    if (threads.is_array()) {
        for (const auto& thread : threads) {
            if (thread.is_object()) threads_.push_back(thread);
        }
    } else if (member(crash_, "crashed_thread").is_object()) {
        // A minimal report carries the crashed thread alone.
        threads_.push_back(member(crash_, "crashed_thread"));
    }
    for (size_t i = 0; i < threads_.size(); ++i) {
        if (isTrue(threads_[i], "crashed")) {
            crashedThreadIndex_ = i;
            break;
        }
    }
}

std::shared_ptr<Event> CrashReportConverter::convertReportToEvent() const {
    if (!report_.is_object()) {
        SKALD_LOG_ERROR("Crash report is not a dictionary; it is not converted.");
        return nullptr;
    }
    auto event = std::make_shared<Event>(Level::Fatal);

    const Json& timestamp = member(member(report_, "report"), "timestamp");
    if (timestamp.is_number()) {
        event->timestamp = dateWithTimeIntervalSince1970(timestamp.get<double>());
    } else if (timestamp.is_string()) {
        if (auto date = parseIso8601Timestamp(timestamp.get<std::string>()))
            event->timestamp = *date;
    }

    std::vector<std::shared_ptr<Thread>> threads;
    threads.reserve(threads_.size());
    for (size_t i = 0; i < threads_.size(); ++i) threads.push_back(threadAt(i));
    for (const auto& thread : threads) {
        if (thread->stacktrace) event->threads.push_back(thread);
    }
    event->debugMeta = debugMetaForThreads(event->threads);

    const auto crashedThread =
        crashedThreadIndex_ < threads.size() ? threads[crashedThreadIndex_] : nullptr;
    event->exceptions = {exceptionForCrashedThread(crashedThread)};
    applyUserContext(*event);
    return event;
}

std::shared_ptr<Thread> CrashReportConverter::threadAt(size_t index) const {
    const Json& report = threads_[index];
    auto thread = std::make_shared<Thread>(unsignedAt(report, "index"));
    thread->stacktrace = stacktraceForThread(report);
    thread->crashed = isTrue(report, "crashed");
    thread->current = isTrue(report, "current_thread");
    thread->name = stringAt(report, "name");
    if (!thread->name) thread->name = stringAt(report, "dispatch_queue");
    thread->isMain = thread->threadId == 0u;
    return thread;
}

std::shared_ptr<Stacktrace> CrashReportConverter::stacktraceForThread(const Json& thread) const {
    const Json& backtrace = member(thread, "backtrace");
    const Json& contents = member(backtrace, "contents");
    if (!contents.is_array()) return nullptr;
    // A stack too deep to keep whole lost frames before this entry.
    const uint64_t skipped = unsignedAt(backtrace, "skipped").value_or(0);
    const auto skippedAt = unsignedAt(backtrace, "skipped_at");
    std::shared_ptr<Frame> firstAfterCut;
    std::vector<std::shared_ptr<Frame>> frames;
    for (size_t index = 0; index < contents.size(); ++index) {
        const Json& entry = contents[index];
        const auto address = unsignedAt(entry, "instruction_addr");
        if (!address) continue;
        if (*address == kAsyncStitchingMarker) {
            if (!frames.empty()) frames.back()->stackStart = true;
            continue;
        }
        frames.push_back(frameForEntry(entry));
        if (skipped > 0 && skippedAt && index >= *skippedAt && !firstAfterCut) {
            firstAfterCut = frames.back();
        }
    }
    // The crash machinery's own frames (a terminate handler, the raise of an
    // application exception) are not where the host went wrong.
    frames = FrameRemover::removeNonSdkFrames(frames);
    if (frames.empty()) return nullptr;
    std::reverse(frames.begin(), frames.end());

    std::map<std::string, std::string> registers;
    const Json& basic = member(member(thread, "registers"), "basic");
    if (basic.is_object()) {
        for (const auto& [name, value] : basic.items()) {
            if (const auto number = unsignedValue(value)) registers[name] = hexAddress(*number);
        }
    }
    auto stacktrace = std::make_shared<Stacktrace>(std::move(frames), std::move(registers));
    stacktrace->fixDuplicateFrames();
    if (firstAfterCut) {
        // Outermost first: the left-out frames lay between the outermost
        // ones kept (up to the cut's frame) and the innermost ones.
        const auto& kept = stacktrace->frames;
        const auto found = std::find(kept.begin(), kept.end(), firstAfterCut);
        if (found != kept.end()) {
            const auto first = static_cast<uint64_t>(found - kept.begin()) + 1;
            stacktrace->framesOmitted = std::make_pair(first, first + skipped);
        }
    }
    return stacktrace;
}

std::shared_ptr<Frame> CrashReportConverter::frameForEntry(const Json& entry) const {
    auto frame = std::make_shared<Frame>();
    const uint64_t address = unsignedAt(entry, "instruction_addr").value_or(0);
    frame->instruction = address;
    frame->instructionAddress = hexAddress(address);
    if (const auto symbolAddress = unsignedAt(entry, "symbol_addr"))
        frame->symbolAddress = hexAddress(*symbolAddress);
    if (const auto symbolName = stringAt(entry, "symbol_name")) frame->function = symbolName;

    std::optional<std::string> package;
    if (const Json* image = binaryImageForAddress(address)) {
        frame->imageAddress = hexAddress(unsignedAt(*image, "image_addr").value_or(0));
        package = stringAt(*image, "name");
        frame->package = package;
    }
    frame->inApp = inAppLogic_ && inAppLogic_->isInApp(package);
    return frame;
}

const Json* CrashReportConverter::binaryImageForAddress(uint64_t address) const {
    if (!binaryImages_.is_array()) return nullptr;
    for (const auto& image : binaryImages_) {
        const auto start = unsignedAt(image, "image_addr");
        const auto size = unsignedAt(image, "image_size");
        if (!start || !size) continue;
        // Written as a difference so that an image at the top of the address
        // space cannot wrap around.
        if (address >= *start && address - *start < *size) return &image;
    }
    return nullptr;
}

std::vector<std::shared_ptr<DebugMeta>> CrashReportConverter::debugMetaForThreads(
    const std::vector<std::shared_ptr<Thread>>& threads) const {
    std::vector<std::shared_ptr<DebugMeta>> images;
    std::set<std::string> usedImages;
    for (const auto& thread : threads) {
        if (!thread->stacktrace) continue;
        for (const auto& frame : thread->stacktrace->frames) {
            if (frame->imageAddress) usedImages.insert(*frame->imageAddress);
        }
    }
    if (usedImages.empty() || !binaryImages_.is_array()) return images;

    for (const auto& image : binaryImages_) {
        const auto address = unsignedAt(image, "image_addr");
        if (!address || usedImages.count(hexAddress(*address)) == 0) continue;
        auto meta = std::make_shared<DebugMeta>();
        meta->type = "elf";
        const auto buildId = stringAt(image, "build_id");
        if (buildId) {
            if (auto debugId = debugIdFromBuildIdHex(*buildId)) {
                meta->debugID = std::move(debugId);
                meta->codeID = buildId;
            }
        }
        if (!meta->debugID) meta->debugID = stringAt(image, "uuid");
        if (const auto vmAddress = unsignedAt(image, "image_vmaddr"); vmAddress && *vmAddress > 0)
            meta->imageVmAddress = hexAddress(*vmAddress);
        meta->imageAddress = hexAddress(*address);
        meta->imageSize = unsignedAt(image, "image_size");
        meta->codeFile = stringAt(image, "name");
        images.push_back(std::move(meta));
    }
    return images;
}

std::shared_ptr<Exception> CrashReportConverter::exceptionForCrashedThread(
    const std::shared_ptr<Thread>& crashedThread) const {
    const Json& error = exceptionContext_;
    const std::string type = stringAt(error, "type").value_or("Unknown Exception");
    std::shared_ptr<Exception> exception;

    if (type == "nsexception") {
        const Json& nsexception = member(error, "nsexception");
        std::string value;
        if (!member(nsexception, "reason").is_null())
            value = describe(member(nsexception, "reason"));
        else if (!member(error, "reason").is_null())
            value = describe(member(error, "reason"));
        exception = std::make_shared<Exception>(std::move(value),
                                                stringAt(nsexception, "name").value_or(type));
    } else if (type == "cpp_exception") {
        exception = std::make_shared<Exception>(
            describe(member(member(error, "cpp_exception"), "name")), "C++ Exception");
    } else if (type == "mach") {
        const Json& mach = member(error, "mach");
        exception = std::make_shared<Exception>(
            "Exception " + describe(member(mach, "exception")) + ", Code " +
                describe(member(mach, "code")) + ", Subcode " + describe(member(mach, "subcode")),
            stringAt(mach, "exception_name").value_or(type));
    } else if (type == "signal") {
        const Json& signal = member(error, "signal");
        exception = std::make_shared<Exception>("Signal " + describe(member(signal, "signal")) +
                                                    ", Code " + describe(member(signal, "code")),
                                                stringAt(signal, "name").value_or(type));
    } else if (type == "user") {
        const std::string value = describe(member(error, "reason"));
        const size_t colon = value.find(':');
        if (colon != std::string::npos) {
            exception = std::make_shared<Exception>(trimmed(value.substr(colon + 1)),
                                                    value.substr(0, colon));
        } else {
            exception = std::make_shared<Exception>(
                value, stringAt(member(error, "user_reported"), "name").value_or(type));
        }
    } else {
        exception = std::make_shared<Exception>("Unknown Exception", type);
    }

    // Texts found in registers and on the stack stay in the report: on this
    // platform no runtime leaves its crash message there, so they are
    // whatever the registers happened to point at, not what went wrong.
    applyCrashInfoMessage(*exception);
    exception->mechanism = mechanism();
    if (crashedThread) {
        exception->threadId = crashedThread->threadId;
        exception->stacktrace = crashedThread->stacktrace;
    }
    if (diagnosis_ && !diagnosis_->empty() &&
        exception->value.find(*diagnosis_) == std::string::npos)
        exception->value += " >\n" + *diagnosis_;
    return exception;
}

void CrashReportConverter::applyCrashInfoMessage(Exception& exception) const {
    if (!binaryImages_.is_array()) return;
    for (const auto& image : binaryImages_) {
        const auto name = stringAt(image, "name");
        if (!name || name->find("libswiftCore.dylib") == std::string::npos) continue;
        for (const char* key : {"crash_info_message", "crash_info_message2"}) {
            if (auto message = stringAt(image, key)) {
                exception.value = std::move(*message);
                return;
            }
        }
    }
}

std::shared_ptr<Mechanism> CrashReportConverter::mechanism() const {
    const Json& error = exceptionContext_;
    auto mechanism =
        std::make_shared<Mechanism>(stringAt(error, "type").value_or("Unknown Exception"));
    auto meta = std::make_shared<MechanismMeta>();
    bool hasMeta = false;

    const Json& mach = member(error, "mach");
    if (mach.is_object()) {
        Json machException = Json::object();
        for (const auto& [target, source] :
             {std::pair{"name", "exception_name"}, std::pair{"exception", "exception"},
              std::pair{"subcode", "subcode"}, std::pair{"code", "code"}}) {
            if (mach.contains(source)) machException[target] = mach[source];
        }
        meta->machException = std::move(machException);
        hasMeta = true;
    }
    const Json& signal = member(error, "signal");
    if (signal.is_object()) {
        Json signalMeta = Json::object();
        for (const auto& [target, source] :
             {std::pair{"number", "signal"}, std::pair{"code", "code"},
              std::pair{"code_name", "code_name"}, std::pair{"name", "name"}}) {
            if (signal.contains(source)) signalMeta[target] = signal[source];
        }
        meta->signal = std::move(signalMeta);
        hasMeta = true;
    }
    // On Linux a crash may come with a signal section only; it is as
    // unhandled as one with a Mach section.
    if (mach.is_object() || signal.is_object()) mechanism->handled = false;
    if (hasMeta) mechanism->meta = std::move(meta);

    if (const auto address = unsignedAt(error, "address"); address && *address > 0)
        mechanism->data = Json{{"relevant_address", hexAddress(*address)}};
    return mechanism;
}

void CrashReportConverter::applyUserContext(Event& event) const {
    const Json& user = userContext_;
    event.dist = stringAt(user, "dist");
    event.environment = stringAt(user, "environment");
    event.context = objectAt(user, "context");
    event.extra = objectAt(user, "extra");
    event.releaseName = stringAt(user, "release");

    if (const auto tags = objectAt(user, "tags")) {
        std::map<std::string, std::string> converted;
        for (const auto& [key, value] : tags->items()) converted[key] = describe(value);
        event.tags = std::move(converted);
    }

    const Json& storedUser = member(user, "user");
    if (storedUser.is_object()) {
        auto converted = std::make_shared<User>();
        converted->setUserId(stringAt(storedUser, "id"));
        converted->setEmail(stringAt(storedUser, "email"));
        converted->setUsername(stringAt(storedUser, "username"));
        converted->setData(objectAt(storedUser, "data"));
        event.user = std::move(converted);
    }

    const Json& breadcrumbs = member(user, "breadcrumbs");
    if (breadcrumbs.is_array()) {
        for (const auto& stored : breadcrumbs) {
            if (!stored.is_object()) continue;
            auto crumb =
                std::make_shared<Breadcrumb>(breadcrumbLevel(stringAt(stored, "level")), "default");
            crumb->category = stringAt(stored, "category");
            crumb->message = stringAt(stored, "message");
            crumb->type = stringAt(stored, "type");
            crumb->timestamp.reset();
            if (const auto timestamp = stringAt(stored, "timestamp"))
                crumb->timestamp = parseIso8601Timestamp(*timestamp);
            crumb->data = objectAt(stored, "data");
            event.breadcrumbs.push_back(std::move(crumb));
        }
    }

    // Without a release of its own the event is attributed to the build that
    // crashed, as its app context describes it.
    const Json& app = member(member(user, "context"), "app");
    const Json& identifier = member(app, "app_identifier");
    const Json& version = member(app, "app_version");
    const Json& build = member(app, "app_build");
    if (!event.releaseName && !identifier.is_null() && !version.is_null() && !build.is_null())
        event.releaseName = describe(identifier) + "@" + describe(version) + "+" + describe(build);
    if (!event.dist && !build.is_null()) event.dist = describe(build);
}

std::optional<Json> CrashReportConverter::decodeStoredReport(std::string_view text,
                                                             uint64_t reportId) {
    PartialDocumentBuilder builder;
    Json::sax_parse(text, &builder);
    if (builder.error()) {
        SKALD_LOG_ERROR("Encountered error loading crash report %llx: %s",
                        static_cast<unsigned long long>(reportId), builder.error()->c_str());
    }
    // An object cut off before its first entry holds nothing to report.
    const bool usable = builder.hasRoot() && builder.root().is_object() &&
                        !(builder.error() && builder.root().empty());
    if (!usable) {
        SKALD_LOG_ERROR("Could not load crash report");
        return std::nullopt;
    }
    return std::move(builder.root());
}

}  // namespace skald::crash
