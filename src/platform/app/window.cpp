#include "skald/app/window.h"

#include <algorithm>
#include <cmath>

#include "skald/app/frontend.h"
#include "skald/platform/main_queue.h"

namespace skald::app {

namespace {

// Views belong to the main thread; a change from elsewhere is replayed there.
template <typename Change>
bool forwardedToMainQueue(Change&& change) {
    if (platform::MainQueue::isMainThread()) return false;
    platform::MainQueue::async(std::forward<Change>(change));
    return true;
}

}  // namespace

void Label::setText(std::string text) {
    if (forwardedToMainQueue([this, text]() mutable { setText(std::move(text)); })) return;
    if (text == text_) return;
    text_ = std::move(text);
    window_.labelChanged();
}

void ProgressIndicator::setDoubleValue(double value) {
    if (forwardedToMainQueue([this, value] { setDoubleValue(value); })) return;
    if (std::isnan(value)) return;
    value = std::clamp(value, kMinValue, kMaxValue);
    if (value == state_.value) return;
    state_.value = value;
    window_.progressChanged(ProgressChange::Value);
}

void ProgressIndicator::setIndeterminate(bool indeterminate) {
    if (forwardedToMainQueue([this, indeterminate] { setIndeterminate(indeterminate); })) return;
    if (indeterminate == state_.indeterminate) return;
    state_.indeterminate = indeterminate;
    window_.progressChanged(ProgressChange::Indeterminate);
}

void ProgressIndicator::startAnimation() {
    setAnimating(true);
}

void ProgressIndicator::stopAnimation() {
    setAnimating(false);
}

void ProgressIndicator::setAnimating(bool animating) {
    if (forwardedToMainQueue([this, animating] { setAnimating(animating); })) return;
    if (animating == state_.animating) return;
    state_.animating = animating;
    window_.progressChanged(ProgressChange::Animation);
}

Window::Window() : label_(*this), progress_(*this) {}

Window::~Window() {
    if (controller_) controller_->window_ = nullptr;
}

void Window::setTitle(std::string title) {
    if (forwardedToMainQueue([this, title]() mutable { setTitle(std::move(title)); })) return;
    if (title == title_) return;
    title_ = std::move(title);
    if (frontend_) frontend_->titleDidChange(*this);
}

void Window::setContentViewController(std::shared_ptr<ViewController> controller) {
    if (controller_ && controller_ != controller) controller_->window_ = nullptr;
    controller_ = std::move(controller);
}

void Window::load() {
    if (!controller_ || controller_->window_ == this) return;
    controller_->window_ = this;
    controller_->viewDidLoad();
}

void Window::show(Frontend* frontend) {
    frontend_ = frontend;
    if (frontend_) frontend_->showWindow(*this);
}

void Window::labelChanged() {
    if (frontend_) frontend_->labelDidChange(*this);
}

void Window::progressChanged(ProgressChange change) {
    if (frontend_) frontend_->progressDidChange(*this, change);
}

}  // namespace skald::app
