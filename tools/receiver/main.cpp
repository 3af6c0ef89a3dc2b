// skald-receiver: a local stand-in for the error-tracking service.
#include <signal.h>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "tools/receiver/receiver.h"

namespace {

void usage() {
    std::cerr <<
        R"(usage: skald-receiver [options]
  --host ADDRESS        address to listen on (default 127.0.0.1)
  --port N              port (default 8969; 0 picks a free one and prints it)
  --dir FOLDER          store every accepted envelope as a file in FOLDER
  --key KEY             accept only this public key (default: any)
  --status CODE         answer accepted envelopes with CODE (default 200)
  --rate-limits VALUE   send "X-Skald-Rate-Limits: VALUE" with each answer
  --retry-after VALUE   send "Retry-After: VALUE" with each answer
Envelopes are accepted at /api/<project>/envelope/ (any path prefix) and at /stream.
The web view at / shows what arrived, live.
)";
}

}  // namespace

int main(int argc, char** argv) {
    skald::tools::ReceiverConfig config;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::cerr << "skald-receiver: " << arg << " needs a value\n";
                std::exit(2);
            }
            return argv[++i];
        };
        auto number = [&]() -> int {
            const std::string text = value();
            char* end = nullptr;
            const long n = std::strtol(text.c_str(), &end, 10);
            if (text.empty() || *end != '\0' || n < 0 || n > 65535) {
                std::cerr << "skald-receiver: " << arg << " needs a number, not \"" << text
                          << "\"\n";
                std::exit(2);
            }
            return static_cast<int>(n);
        };
        if (arg == "--host") {
            config.host = value();
        } else if (arg == "--port") {
            config.port = number();
        } else if (arg == "--dir") {
            config.storeDirectory = value();
        } else if (arg == "--key") {
            config.expectedKey = value();
        } else if (arg == "--status") {
            config.status = number();
        } else if (arg == "--rate-limits") {
            config.rateLimitsHeader = value();
        } else if (arg == "--retry-after") {
            config.retryAfterHeader = value();
        } else if (arg == "--help" || arg == "-h") {
            usage();
            return 0;
        } else {
            std::cerr << "skald-receiver: unknown option " << arg << "\n";
            usage();
            return 2;
        }
    }

    // Wait for a signal on this thread; the server runs on its own.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    skald::tools::Receiver receiver(config);
    std::string error;
    if (!receiver.start(&error)) {
        std::cerr << "skald-receiver: " << error << "\n";
        return 1;
    }
    std::cout << "skald-receiver listening on http://" << config.host << ":" << receiver.port()
              << std::endl;
    std::cout << "web view: http://" << config.host << ":" << receiver.port() << "/"
              << std::endl;
    int received = 0;
    sigwait(&signals, &received);
    receiver.stop();
    std::cout << "skald-receiver: " << receiver.received().size() << " envelope(s) received, "
              << receiver.rejectedCount() << " rejected" << std::endl;
    return 0;
}
