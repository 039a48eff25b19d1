#include "ferrolune/core/cancel.h"

#include <any>
#include <utility>

namespace ferrolune::cancel {

namespace {
thread_local Canceller* installed = nullptr;
}

Canceller::Canceller(InterruptCheck check) : check_(std::move(check)), owner_(std::this_thread::get_id()) {}

bool Canceller::poll() {
    if (!stop_requested() && check_ && std::this_thread::get_id() == owner_ && check_()) request_stop();
    return stop_requested();
}

Canceller* current() { return installed; }

Scope::Scope(Canceller* canceller) : previous_(std::exchange(installed, canceller)) {}

Scope::~Scope() { installed = previous_; }

Error interrupted_error() {
    Error e("interrupted");
    e.set_detail(Interrupted{});
    return e;
}

bool is_interrupted(const Error& e) { return std::any_cast<Interrupted>(&e.detail()) != nullptr; }

}  // namespace ferrolune::cancel
