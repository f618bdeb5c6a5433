#include "tools/sim/pacer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace varnel::sim {

namespace {

[[noreturn]] void ThrowErrno(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

std::chrono::nanoseconds Now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

timespec ToTimespec(std::chrono::nanoseconds t) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(t);
    return timespec{static_cast<time_t>(seconds.count()), static_cast<long>((t - seconds).count())};
}

}  // namespace

Pacer::Pacer() {
    stopFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stopFd_ < 0) ThrowErrno("eventfd");
    timerFd_ = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    if (timerFd_ < 0) {
        const int saved = errno;
        close(stopFd_);
        errno = saved;
        ThrowErrno("timerfd_create");
    }
}

Pacer::~Pacer() {
    close(timerFd_);
    close(stopFd_);
}

void Pacer::RequestStop() noexcept {
    const int saved = errno;  // a signal handler must leave errno as it found it
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto n = write(stopFd_, &one, sizeof one);
    errno = saved;
}

Pacer::Wake Pacer::WaitUntil(std::chrono::nanoseconds deadline) {
    itimerspec timer{};
    timer.it_value = ToTimespec(deadline);
    // A zero it_value would disarm the timer; the monotonic clock is far past zero anyway.
    if (timer.it_value.tv_sec == 0 && timer.it_value.tv_nsec == 0) timer.it_value.tv_nsec = 1;
    if (timerfd_settime(timerFd_, TFD_TIMER_ABSTIME, &timer, nullptr) != 0)
        ThrowErrno("timerfd_settime");
    pollfd fds[2] = {{stopFd_, POLLIN, 0}, {timerFd_, POLLIN, 0}};
    for (;;) {
        const int ready = poll(fds, 2, -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            ThrowErrno("poll");
        }
        if (fds[0].revents != 0)
            return Wake::Stop;  // the eventfd stays readable: the stop is for good
        if (fds[1].revents != 0) {
            std::uint64_t expirations = 0;
            [[maybe_unused]] const auto n = read(timerFd_, &expirations, sizeof expirations);
            return Wake::Deadline;
        }
    }
}

PacerStats Pacer::Run(Simulator& simulator, int fd, const PaceOptions& options) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || ((flags & O_NONBLOCK) == 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0))
        ThrowErrno("making the descriptor non-blocking");

    PacerStats stats;
    const auto start = Now();
    auto report = [&](const Chunk& chunk, ChunkOutcome outcome) {
        if (options.onChunk) options.onChunk(chunk, outcome);
    };
    while (auto chunk = simulator.Next()) {
        const bool pastEnd = options.duration && chunk->at >= *options.duration;
        const auto deadline = start + (pastEnd ? *options.duration : chunk->at);
        if (WaitUntil(deadline) == Wake::Stop) {
            stats.end = PacerEnd::StopRequested;
            break;
        }
        // Behind schedule, chunks fall due at once; the duration still ends the run on time.
        if (pastEnd || (options.duration && Now() - start >= *options.duration)) {
            stats.end = PacerEnd::DurationPassed;
            break;
        }

        if (chunk->bytes.empty()) {
            stats.faults += chunk->faults.size();
            report(*chunk, ChunkOutcome::Marker);
            continue;
        }
        ssize_t n;
        do {
            n = write(fd, chunk->bytes.data(), chunk->bytes.size());
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                stats.error = errno;
                stats.end = PacerEnd::WriteError;
                break;
            }
            ++stats.drops;
            report(*chunk, ChunkOutcome::Dropped);
            continue;
        }
        const bool whole = static_cast<std::size_t>(n) == chunk->bytes.size();
        stats.bytes += static_cast<std::uint64_t>(n);
        stats.frames += chunk->frame ? 1 : 0;
        stats.partial += whole ? 0 : 1;
        stats.faults += chunk->faults.size();
        report(*chunk, whole ? ChunkOutcome::Written : ChunkOutcome::Partial);
    }
    return stats;
}

}  // namespace varnel::sim
