// Writes a simulator's chunks to a file descriptor (a pseudo-terminal master, a serial device)
// at their times. Linux: CLOCK_MONOTONIC, timerfd, eventfd.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

#include "tools/sim/simulator.h"

namespace varnel::sim {

enum class PacerEnd { ScriptEnded, DurationPassed, StopRequested, WriteError };

struct PacerStats {
    std::uint64_t frames = 0;   // frame chunks written (whole or in part)
    std::uint64_t bytes = 0;    // bytes written
    std::uint64_t drops = 0;    // chunks dropped because the descriptor would block
    std::uint64_t partial = 0;  // chunks of which only a part could be written
    std::uint64_t faults = 0;   // faults injected by the chunks written (silences included)
    int error = 0;              // errno of the write error that ended the run, else 0
    PacerEnd end = PacerEnd::ScriptEnded;
};

// What became of a chunk; Marker: the start of a silence, nothing to write.
enum class ChunkOutcome { Written, Partial, Dropped, Marker };

struct PaceOptions {
    // Stop once this much time has passed since the start; nullopt runs to the script's end.
    std::optional<std::chrono::nanoseconds> duration;
    // Called on the pacer's thread after each chunk, with what happened to it.
    std::function<void(const Chunk&, ChunkOutcome)> onChunk;
};

class Pacer {
  public:
    // Throws std::system_error when the eventfd or timerfd cannot be created.
    Pacer();
    ~Pacer();
    Pacer(const Pacer&) = delete;
    Pacer& operator=(const Pacer&) = delete;

    // Writes each chunk with one write() at start + chunk.at, on absolute CLOCK_MONOTONIC
    // deadlines, sleeping in between; chunks already due (after a stall) go out at once. Sets
    // O_NONBLOCK on fd; a chunk that would block is dropped and counted, never retried. Returns at
    // the script's end, when the duration has passed, on RequestStop(), or after a write error
    // other than EAGAIN (in stats.error). Throws std::system_error when fd cannot be made
    // non-blocking. A writer to a pipe or socket should ignore SIGPIPE.
    PacerStats Run(Simulator& simulator, int fd, const PaceOptions& options = {});

    // Ends Run() promptly, or makes the next Run() return at once: a stop is for good.
    // Async-signal-safe; callable from any thread or a signal handler.
    void RequestStop() noexcept;

  private:
    enum class Wake { Deadline, Stop };
    Wake WaitUntil(std::chrono::nanoseconds deadline);

    int stopFd_ = -1;
    int timerFd_ = -1;
};

}  // namespace varnel::sim
