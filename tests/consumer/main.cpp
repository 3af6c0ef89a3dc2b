// Sends one message event to the DSN in SKALD_DSN and waits for it to go.
#include <skald/skald.h>

#include <cstdio>

int main(int argc, char** argv) {
    const char* text = argc > 1 ? argv[1] : "hello from a consumer";
    skald::SDK::startWithConfigureOptions([](skald::Options& options) {
        options.releaseName = "consumer@1.0";
    });
    const skald::Id id = skald::SDK::captureMessage(text);
    std::printf("captured %s\n", id.skaldIdString().c_str());
    skald::SDK::flush(10);
    return id == skald::Id::empty() ? 1 : 0;
}
