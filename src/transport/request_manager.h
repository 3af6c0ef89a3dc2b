#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "skald/platform/operation_queue.h"
#include "skald/platform/http_response.h"
#include "skald/platform/url_request.h"
#include "skald/error.h"

namespace skald {

namespace platform {
class UrlSession;
class UrlSessionDataTask;
}  // namespace platform

using RequestCompletion =
    std::function<void(std::optional<platform::HttpResponse>, std::optional<Error>)>;

/// Runs HTTP requests, at most three at once.
class RequestManager {
  public:
    virtual ~RequestManager() = default;
    /// Whether a new send chain may start: fewer than two requests queued.
    virtual bool isReady() = 0;
    virtual void addRequest(platform::UrlRequest request, RequestCompletion completion) = 0;
};

class QueueableRequestManager final : public RequestManager {
  public:
    explicit QueueableRequestManager(std::shared_ptr<platform::UrlSession> session);

    bool isReady() override;
    void addRequest(platform::UrlRequest request, RequestCompletion completion) override;

  private:
    std::shared_ptr<platform::UrlSession> session_;
    std::shared_ptr<platform::OperationQueue> queue_;
};

/// One request as an operation of the queue: the data task is created at
/// construction and resumed when the operation starts.
class RequestOperation final : public platform::AsynchronousOperation {
  public:
    RequestOperation(const std::shared_ptr<platform::UrlSession>& session,
                     platform::UrlRequest request, RequestCompletion completion);
    void cancel() override;

  protected:
    void main() override;

  private:
    std::shared_ptr<std::weak_ptr<RequestOperation>> self_;
    std::shared_ptr<platform::UrlSessionDataTask> task_;
};

}  // namespace skald
