#include "tools/varnel/line_writer.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace varnel::cli {

LineWriter::LineWriter(boost::asio::io_context& io, int fd, std::size_t limit)
    : fd_(fd), original_(fd), limit_(limit) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) {
        return;  // files take every write at once: written directly
    }
    // A pipe, terminal or device: a descriptor of our own (a new open file description) can be
    // made non-blocking without changing the one the caller and its other processes share.
    int own = -1;
    if (!S_ISSOCK(st.st_mode)) {
        const std::string self = "/proc/self/fd/" + std::to_string(fd);
        own = ::open(self.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    }
    if (own < 0) {
        // A socket, or no /proc: the shared description is made non-blocking while this writer
        // lives, and set back afterwards.
        const int flags = ::fcntl(fd, F_GETFL);
        own = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
        if (flags < 0 || own < 0) {
            if (own >= 0) ::close(own);
            return;
        }
        if ((flags & O_NONBLOCK) == 0) restoreFlags_ = flags;
    }
    fd_ = own;
    waiter_.emplace(io, own);
    boost::system::error_code ec;
    waiter_->non_blocking(true, ec);
}

LineWriter::~LineWriter() {
    waiter_.reset();  // closes our own descriptor
    if (restoreFlags_) ::fcntl(original_, F_SETFL, *restoreFlags_);
}

bool LineWriter::Write(std::string_view line) {
    if (failed_) return false;
    if (Pending() > 0 && Pending() + line.size() + 1 > limit_) {
        ++dropped_;
        ++droppedSinceDrain_;
        return true;
    }
    buffer_.append(line);
    buffer_ += '\n';
    Flush();
    return !failed_;
}

void LineWriter::TryFlush() {
    Flush();
}

std::uint64_t LineWriter::TakeDropped() {
    const std::uint64_t n = dropped_;
    dropped_ = 0;
    return n;
}

void LineWriter::Flush() {
    while (!failed_ && Pending() > 0) {
        const ssize_t n = ::write(fd_, buffer_.data() + sent_, Pending());
        if (n > 0) {
            sent_ += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && waiter_) {
            AwaitWritable();
            return;
        }
        Fail(n < 0 ? errno : EIO);
        return;
    }
    buffer_.clear();
    sent_ = 0;
    if (droppedSinceDrain_ > 0 && !failed_) {
        const std::uint64_t dropped = droppedSinceDrain_;
        droppedSinceDrain_ = 0;
        if (onDrained) onDrained(dropped);
    }
}

void LineWriter::AwaitWritable() {
    if (waiting_) return;
    waiting_ = true;
    waiter_->async_wait(boost::asio::posix::stream_descriptor::wait_write,
                        [this](const boost::system::error_code& ec) {
                            if (ec == boost::asio::error::operation_aborted) return;  // gone
                            waiting_ = false;
                            Flush();
                        });
}

void LineWriter::Fail(int error) {
    failed_ = true;
    buffer_.clear();
    sent_ = 0;
    if (onError) onError(error);
}

}  // namespace varnel::cli
