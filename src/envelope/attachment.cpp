#include "skald/attachment.h"

#include "platform/base/path.h"

namespace skald {

const char* nameForAttachmentType(AttachmentType type) {
    return type == AttachmentType::ViewHierarchy ? "event.view_hierarchy" : "event.attachment";
}

AttachmentType attachmentTypeForName(std::string_view name) {
    return name == "event.view_hierarchy" ? AttachmentType::ViewHierarchy
                                          : AttachmentType::EventAttachment;
}

Attachment Attachment::fromData(std::string data, std::string filename,
                                std::optional<std::string> contentType,
                                AttachmentType attachmentType) {
    Attachment attachment;
    attachment.data_ = std::move(data);
    attachment.filename_ = std::move(filename);
    attachment.contentType_ = std::move(contentType);
    attachment.attachmentType_ = attachmentType;
    return attachment;
}

Attachment Attachment::fromPath(std::string path) {
    std::string filename(platform::lastPathComponent(path));
    return fromPath(std::move(path), std::move(filename));
}

Attachment Attachment::fromPath(std::string path, std::string filename,
                                std::optional<std::string> contentType,
                                AttachmentType attachmentType) {
    Attachment attachment;
    attachment.path_ = std::move(path);
    attachment.filename_ = std::move(filename);
    attachment.contentType_ = std::move(contentType);
    attachment.attachmentType_ = attachmentType;
    return attachment;
}

}  // namespace skald
