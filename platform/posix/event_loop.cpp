#include "platform/posix/event_loop.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>

namespace varnel::posix {

void EventLoop::Run() {
    // Keep running while idle: timers may be off and no port open, yet a host call or a signal
    // can still arrive.
    auto guard = boost::asio::make_work_guard(context_);
    context_.restart();
    context_.run();
}

void EventLoop::RunFor(std::chrono::milliseconds duration) {
    auto guard = boost::asio::make_work_guard(context_);
    context_.restart();
    context_.run_for(duration);
}

void EventLoop::Post(std::function<void()> fn) {
    boost::asio::post(context_, std::move(fn));
}

}  // namespace varnel::posix
