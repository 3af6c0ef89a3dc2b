#include "crash/recording/crash_attachment_table.h"

#include <memory>
#include <mutex>
#include <string>

#include "crash/async_safe/crash_attachments.h"
#include "platform/process/no_destructor.h"

namespace skald::crash {

namespace {

// Owns what a published list points into.
struct Table {
    CrashAttachmentList list{};
    std::vector<CrashAttachment> items;
    std::vector<std::string> strings;
};

std::mutex gMutex;
// The published table and the one it replaced: a crash that loaded the older
// pointer just before a replacement still reads live memory.
platform::NoDestructor<std::unique_ptr<Table>> gCurrent;
platform::NoDestructor<std::unique_ptr<Table>> gPrevious;

void publish(std::unique_ptr<Table> table) {
    const std::lock_guard lock(gMutex);
    exchangeCrashAttachments(table ? &table->list : nullptr);
    *gPrevious = std::move(*gCurrent);
    *gCurrent = std::move(table);
}

}  // namespace

void setCrashAttachments(const std::vector<Attachment>& attachments, uint64_t maxFileSize) {
    auto table = std::make_unique<Table>();
    // Reserved up front: items point into these strings.
    table->strings.reserve(attachments.size() * 2);
    table->items.reserve(attachments.size());
    for (const auto& attachment : attachments) {
        CrashAttachment item{};
        if (attachment.data()) {
            if (attachment.data()->size() > maxFileSize) continue;
            table->strings.push_back(*attachment.data());
            item.data = table->strings.back().data();
            item.size = table->strings.back().size();
        } else if (attachment.path()) {
            table->strings.push_back(*attachment.path());
            item.path = table->strings.back().c_str();
        } else {
            continue;
        }
        table->strings.push_back(attachment.filename());
        item.filename = table->strings.back().c_str();
        table->items.push_back(item);
    }
    table->list.items = table->items.data();
    table->list.count = static_cast<uint32_t>(table->items.size());
    table->list.maxFileSize = maxFileSize;
    if (table->items.empty()) table.reset();
    publish(std::move(table));
}

void clearCrashAttachments() {
    publish(nullptr);
}

}  // namespace skald::crash
