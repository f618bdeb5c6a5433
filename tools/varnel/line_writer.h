// Lines to stdout or stderr that never block the event loop: what the descriptor does not take
// at once waits in a bounded queue and goes out when the descriptor is writable again, so a
// reader that stops reading cannot hold up the control or a stop request.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace varnel::cli {

class LineWriter {
  public:
    // Writes to `fd` (not closed here). At most `limit` bytes wait; lines beyond are dropped
    // whole and counted.
    LineWriter(boost::asio::io_context& io, int fd, std::size_t limit = 64 * 1024);
    ~LineWriter();
    LineWriter(const LineWriter&) = delete;
    LineWriter& operator=(const LineWriter&) = delete;

    // Queues the line and a newline, and writes what the descriptor takes now. False once the
    // descriptor has failed (the reader has gone).
    bool Write(std::string_view line);
    // Writes what the descriptor takes now, without waiting.
    void TryFlush();

    std::size_t Pending() const { return buffer_.size() - sent_; }
    // Lines dropped because the queue was full; reset by TakeDropped().
    std::uint64_t TakeDropped();
    // Called once, with the errno value, when the descriptor fails.
    std::function<void(int error)> onError;
    // Called when a queue that had to drop lines has been written out.
    std::function<void(std::uint64_t dropped)> onDrained;

  private:
    void Flush();
    void Fail(int error);
    void AwaitWritable();

    int fd_;                           // the descriptor written to
    std::optional<int> restoreFlags_;  // the caller's flags, when they had to change
    int original_;                     // the descriptor given
    std::optional<boost::asio::posix::stream_descriptor> waiter_;
    bool waiting_ = false;
    bool failed_ = false;
    std::size_t limit_;
    std::string buffer_;
    std::size_t sent_ = 0;
    std::uint64_t dropped_ = 0;
    std::uint64_t droppedSinceDrain_ = 0;
};

}  // namespace varnel::cli
