#include "skald/attachment.h"

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
    // Trailing slashes do not make a component of their own.
    std::string_view trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.remove_suffix(1);
    const auto slash = trimmed.find_last_of('/');
    std::string filename(slash == std::string_view::npos || trimmed.size() == 1
                             ? trimmed
                             : trimmed.substr(slash + 1));
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
