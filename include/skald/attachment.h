#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace skald {

/// What an attachment is to the service; written as "attachment_type".
enum class AttachmentType : uint32_t {
    EventAttachment = 0,
    ViewHierarchy = 1,
};

/// "event.attachment" or "event.view_hierarchy".
const char* nameForAttachmentType(AttachmentType type);
/// ViewHierarchy for "event.view_hierarchy", EventAttachment for anything else.
AttachmentType attachmentTypeForName(std::string_view name);

/// Data to attach to events: bytes in memory, or a file that is read when the
/// envelope item is built. Immutable.
class Attachment {
  public:
    static Attachment fromData(std::string data, std::string filename,
                               std::optional<std::string> contentType = std::nullopt,
                               AttachmentType attachmentType = AttachmentType::EventAttachment);

    /// The filename is the last component of the path.
    static Attachment fromPath(std::string path);
    static Attachment fromPath(std::string path, std::string filename,
                               std::optional<std::string> contentType = std::nullopt,
                               AttachmentType attachmentType = AttachmentType::EventAttachment);

    const std::optional<std::string>& data() const { return data_; }
    const std::optional<std::string>& path() const { return path_; }
    const std::string& filename() const { return filename_; }
    const std::optional<std::string>& contentType() const { return contentType_; }
    AttachmentType attachmentType() const { return attachmentType_; }

  private:
    Attachment() = default;

    std::optional<std::string> data_;
    std::optional<std::string> path_;
    std::string filename_;
    std::optional<std::string> contentType_;
    AttachmentType attachmentType_ = AttachmentType::EventAttachment;
};

}  // namespace skald
