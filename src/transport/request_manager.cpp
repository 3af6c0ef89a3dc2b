#include "transport/request_manager.h"

#include "skald/platform/url_session.h"
#include "util/log.h"

namespace skald {

QueueableRequestManager::QueueableRequestManager(std::shared_ptr<platform::UrlSession> session)
    : session_(std::move(session)),
      queue_(platform::OperationQueue::make("io.skald.QueueableRequestManager.OperationQueue", 3)) {
}

bool QueueableRequestManager::isReady() {
    return queue_->operationCount() < 2;
}

void QueueableRequestManager::addRequest(platform::UrlRequest request,
                                         RequestCompletion completion) {
    std::weak_ptr<platform::OperationQueue> queue = queue_;
    auto operation = std::make_shared<RequestOperation>(
        session_, std::move(request),
        [queue, completion = std::move(completion)](std::optional<platform::HttpResponse> response,
                                                    std::optional<Error> error) {
            if (auto q = queue.lock()) {
                SKALD_LOG_DEBUG("Queued requests: %zu",
                                q->operationCount() > 0 ? q->operationCount() - 1 : 0);
            }
            if (completion) completion(std::move(response), std::move(error));
        });
    queue_->addOperation(std::move(operation));
}

RequestOperation::RequestOperation(const std::shared_ptr<platform::UrlSession>& session,
                                   platform::UrlRequest request, RequestCompletion completion)
    : self_(std::make_shared<std::weak_ptr<RequestOperation>>()) {
    // The queue owns the operation; the task only finds it through a weak
    // reference that `main` fills in.
    task_ = session->dataTask(
        std::move(request), [self = self_, completion = std::move(completion)](
                                std::string body, std::optional<platform::HttpResponse> response,
                                std::optional<Error> error) {
            SKALD_LOG_DEBUG("Request status: %d", response ? response->statusCode : 0);
            SKALD_LOG_DEBUG("Request response: %s", body.c_str());
            if (error) SKALD_LOG_ERROR("Request failed: %s", error->description().c_str());
            if (completion) completion(std::move(response), std::move(error));
            if (auto operation = self->lock()) operation->completeOperation();
        });
}

void RequestOperation::main() {
    *self_ = std::static_pointer_cast<RequestOperation>(shared_from_this());
    task_->resume();
}

void RequestOperation::cancel() {
    task_->cancel();
    AsynchronousOperation::cancel();
}

}  // namespace skald
