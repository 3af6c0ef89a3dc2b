#include "skald/app/alert.h"

#include <strings.h>

#include "skald/app/application.h"

namespace skald::app {

ModalResponse AlertRequest::dismissResponse() const {
    for (size_t i = 0; i < buttons.size(); ++i) {
        if (::strcasecmp(buttons[i].c_str(), "Cancel") == 0) {
            return kAlertFirstButtonReturn + static_cast<ModalResponse>(i);
        }
    }
    return kAlertFirstButtonReturn;
}

AlertRequest Alert::request(bool sheet, Window* window) const {
    AlertRequest request;
    request.style = style_;
    request.messageText = messageText_;
    request.informativeText = informativeText_;
    request.buttons = buttons_;
    if (request.buttons.empty()) request.buttons.emplace_back("OK");
    request.sheet = sheet;
    request.window = window;
    return request;
}

ModalResponse Alert::runModal() const {
    Application* application = Application::shared();
    if (!application) return kModalResponseAbort;
    return application->runModal(request(false, nullptr));
}

void Alert::beginSheetModalForWindow(Window& window,
                                     std::function<void(ModalResponse)> completion) const {
    Application* application = Application::shared();
    if (!application) return;
    application->beginSheet(request(true, &window), std::move(completion));
}

}  // namespace skald::app
