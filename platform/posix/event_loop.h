// The one thread of the POSIX runtime: an Asio io_context that every component and timer of a
// control runs on.
#pragma once

#include <boost/asio/io_context.hpp>
#include <chrono>
#include <functional>

namespace varnel::posix {

class EventLoop {
  public:
    // One thread runs the loop and owns every I/O object on it, so the reactor needs no locks;
    // posting and stopping stay safe from other threads.
    EventLoop() : context_(BOOST_ASIO_CONCURRENCY_HINT_UNSAFE_IO) {}

    boost::asio::io_context& Context() { return context_; }

    // Runs handlers until Stop() or until there is no work left.
    void Run();
    // Runs handlers for at most the given time.
    void RunFor(std::chrono::milliseconds duration);
    // Makes Run() return; safe from any thread.
    void Stop() { context_.stop(); }
    // Queues a call on the loop's thread; safe from any thread.
    void Post(std::function<void()> fn);

  private:
    boost::asio::io_context context_;
};

}  // namespace varnel::posix
