// A host whose ordinary work the SDK records by itself: inside one
// transaction it makes HTTP requests through a URL session, reads and writes
// a file with the file helpers, and fetches and saves through the object
// store. Then it sends a message, which carries the "http" breadcrumbs.
//
// Usage: skald-instrumented-host BASE_URL WORK_DIR [--propagate TEXT]...
//   requests BASE_URL/status/200, /status/404 and /status/500; keeps its file
//   and its database in WORK_DIR; with --propagate, trace headers go only to
//   URLs containing one of the texts.
// The DSN comes from SKALD_DSN.
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "skald/file_data.h"
#include "skald/object_store/object_store.h"
#include "skald/platform/url_session.h"
#include "skald/skald.h"

namespace {

int get(skald::platform::UrlSession& session, const std::string& url) {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    int status = 0;
    auto task =
        session.dataTask(skald::platform::UrlRequest(url), [&](std::string, auto response, auto) {
            std::lock_guard lock(mutex);
            status = response ? response->statusCode : -1;
            finished = true;
            done.notify_one();
        });
    task->resume();
    std::unique_lock lock(mutex);
    done.wait(lock, [&] { return finished; });
    return status;
}

bool useObjectStore(const std::string& workDir) {
    using namespace skald::store;
    Model model(
        {Entity("Item", {{"name", AttributeType::String}, {"price", AttributeType::Double}})});
    auto coordinator = std::make_shared<StoreCoordinator>(model);
    skald::Error error;
    if (!coordinator->addPersistentStore("SQLite", "file://" + workDir + "/items.db", &error)) {
        std::fprintf(stderr, "store: %s\n", error.description().c_str());
        return false;
    }
    ObjectContext context(coordinator);
    for (const auto& [name, price] : {std::pair{"tea", 2.5}, std::pair{"cup", 7.0}}) {
        auto item = context.insert("Item");
        item->set("name", std::string(name));
        item->set("price", price);
    }
    if (!context.save(&error)) return false;

    FetchRequest request;
    request.entityName = "Item";
    request.predicate = Predicate::comparison(
        Expression::keyPath("price"), ComparisonOperator::GreaterThan, Expression::constant(1.0));
    request.sortDescriptors = {{"name", false}};
    const auto items = context.fetch(request, &error);
    return items && items->size() == 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs("usage: skald-instrumented-host BASE_URL WORK_DIR [--propagate TEXT]...\n",
                   stderr);
        return 2;
    }
    const std::string base = argv[1];
    const std::string workDir = argv[2];
    std::vector<skald::UrlTarget> targets;
    for (int i = 3; i + 1 < argc; i += 2) {
        if (std::string(argv[i]) == "--propagate") targets.emplace_back(std::string(argv[i + 1]));
    }

    skald::SDK::startWithConfigureOptions([&](skald::Options& options) {
        options.releaseName = "skald-instrumented-host@1.0.0";
        options.setTracesSampleRate(1.0);
        if (!targets.empty()) options.setTracePropagationTargets(targets);
    });

    skald::ScopedSpan transaction(skald::SDK::startTransaction("instrumented work", "task", true));
    auto session = skald::platform::UrlSession::make(
        skald::platform::UrlSessionConfiguration::ephemeralConfiguration());
    for (const char* status : {"200", "404", "500"}) {
        std::printf("GET %s: %d\n", status, get(*session, base + "/status/" + status));
    }
    const std::string path = workDir + "/data.bin";
    const bool wrote = skald::writeFileData(std::string(2048, 'x'), path);
    const auto read = skald::readFileData(path);
    std::printf("file: %s\n", wrote && read && read->size() == 2048 ? "ok" : "failed");
    std::printf("object store: %s\n", useObjectStore(workDir) ? "ok" : "failed");
    transaction.finish();
    session->finishTasksAndInvalidate();

    skald::SDK::captureMessage("after the work");
    skald::SDK::flush(5);
    return 0;
}
