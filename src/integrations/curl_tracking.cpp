#include <cerrno>
#include <cstring>
#include <mutex>
#include <set>
#include <string>

#include "integrations/network_tracker.h"
#include "platform/base/text_lines.h"
#include "platform/net/curl_error_codes.h"
#include "skald/curl.h"

namespace skald {

namespace {

using platform::UrlSessionTaskState;

/// One easy handle's request, as request tracking sees it.
class CurlRequest final : public TrackedRequest {
  public:
    CurlRequest(CURL* handle, const curl_slist* headers) : handle_(handle) {
        char* url = nullptr;
        if (curl_easy_getinfo(handle, CURLINFO_EFFECTIVE_URL, &url) == CURLE_OK && url)
            request_.url = url;
        char* method = nullptr;
        if (curl_easy_getinfo(handle, CURLINFO_EFFECTIVE_METHOD, &method) == CURLE_OK && method)
            request_.httpMethod = method;
        for (const curl_slist* line = headers; line; line = line->next) {
            const std::string_view text = line->data ? line->data : "";
            const auto colon = text.find(':');
            if (colon == std::string_view::npos || colon == 0) continue;
            request_.headers.emplace(std::string(text.substr(0, colon)),
                                     std::string(platform::trimWhitespace(text.substr(colon + 1))));
        }
    }

    UrlSessionTaskState state() const override {
        std::lock_guard guard(mutex_);
        return state_;
    }
    platform::UrlRequest currentRequest() const override {
        std::lock_guard guard(mutex_);
        return request_;
    }
    void setCurrentRequest(platform::UrlRequest request) override {
        std::lock_guard guard(mutex_);
        if (state_ == UrlSessionTaskState::Suspended) request_ = std::move(request);
    }
    std::optional<platform::HttpResponse> response() const override {
        std::lock_guard guard(mutex_);
        return response_;
    }
    std::optional<Error> error() const override {
        std::lock_guard guard(mutex_);
        return error_;
    }
    int64_t countOfBytesSent() const override { return sent_; }
    int64_t countOfBytesReceived() const override { return received_; }
    void withAssociatedObjects(const std::function<void(AssociatedObjects&)>& block) override {
        std::lock_guard guard(associationsMutex_);
        block(associations_);
    }

    void started() {
        std::lock_guard guard(mutex_);
        state_ = UrlSessionTaskState::Running;
    }

    /// What the transfer gave: status, headers, sizes, or the failure.
    void ended(CURLcode result) {
        long status = 0;
        curl_easy_getinfo(handle_, CURLINFO_RESPONSE_CODE, &status);
        curl_off_t uploaded = 0;
        curl_off_t downloaded = 0;
        curl_easy_getinfo(handle_, CURLINFO_SIZE_UPLOAD_T, &uploaded);
        curl_easy_getinfo(handle_, CURLINFO_SIZE_DOWNLOAD_T, &downloaded);
        sent_ = uploaded;
        received_ = downloaded;
        std::lock_guard guard(mutex_);
        if (status > 0) {
            platform::HttpResponse response;
            response.statusCode = static_cast<int>(status);
            response.url = request_.url;
            // The last response's headers (after redirects).
            for (curl_header* header = nullptr;
                 (header = curl_easy_nextheader(handle_, CURLH_HEADER, -1, header)) != nullptr;) {
                response.headers.emplace(header->name, header->value ? header->value : "");
            }
            response_ = std::move(response);
        }
        if (result != CURLE_OK) {
            long osErrno = 0;
            curl_easy_getinfo(handle_, CURLINFO_OS_ERRNO, &osErrno);
            error_ = Error(platform::kUrlErrorDomain, platform::urlErrorCode(result, osErrno),
                           curl_easy_strerror(result));
        }
    }

  private:
    CURL* handle_;
    mutable std::mutex mutex_;
    UrlSessionTaskState state_ = UrlSessionTaskState::Suspended;
    platform::UrlRequest request_;
    std::optional<platform::HttpResponse> response_;
    std::optional<Error> error_;
    int64_t sent_ = 0;
    int64_t received_ = 0;
    std::mutex associationsMutex_;
    AssociatedObjects associations_;
};

/// The host's lines, but those tracking set, then the lines tracking set or changed.
curl_slist* mergedHeaders(const curl_slist* hostHeaders, const platform::UrlRequest& before,
                          const platform::UrlRequest& after) {
    std::set<std::string, platform::CaseInsensitiveLess> changed;
    for (const auto& [name, value] : after.headers) {
        const auto old = before.headers.find(name);
        if (old == before.headers.end() || old->second != value) changed.insert(name);
    }
    curl_slist* merged = nullptr;
    for (const curl_slist* line = hostHeaders; line; line = line->next) {
        const std::string_view text = line->data ? line->data : "";
        const auto colon = text.find_first_of(":;");
        if (colon != std::string_view::npos && changed.count(std::string(text.substr(0, colon))))
            continue;
        curl_slist* grown = curl_slist_append(merged, line->data);
        if (!grown) break;
        merged = grown;
    }
    for (const auto& name : changed) {
        const std::string line = name + ": " + after.headers.find(name)->second;
        curl_slist* grown = curl_slist_append(merged, line.c_str());
        if (!grown) break;
        merged = grown;
    }
    return merged;
}

}  // namespace

CURLcode performWithTracking(CURL* handle, curl_slist* headers) {
    if (!handle) return CURLE_BAD_FUNCTION_ARGUMENT;
    auto tracker = NetworkTracker::shared();
    CurlRequest request(handle, headers);
    const platform::UrlRequest before = request.currentRequest();
    tracker->requestWillStart(request);
    const platform::UrlRequest after = request.currentRequest();

    curl_slist* merged = nullptr;
    if (after.headers != before.headers) {
        merged = mergedHeaders(headers, before, after);
        curl_easy_setopt(handle, CURLOPT_HTTPHEADER, merged);
    }
    request.started();
    const CURLcode result = curl_easy_perform(handle);
    request.ended(result);
    tracker->requestWillChangeState(request, UrlSessionTaskState::Completed);
    if (merged) {
        curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers);
        curl_slist_free_all(merged);
    }
    return result;
}

}  // namespace skald
