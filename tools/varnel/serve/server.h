// The HTTP, WebSocket and Server-Sent Events server of `varnel serve`, on the controls' event
// loop (Boost.Beast).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/posix/event_loop.h"
#include "tools/varnel/serve/config.h"
#include "tools/varnel/serve/hub.h"

namespace varnel::serve {

struct ServerOptions {
    ListenAddress listen{"127.0.0.1", 8398};
    std::vector<std::string> allowOrigins;  // cross-origin callers allowed; "*" for any
    std::string token;                      // required of every request when not empty
    std::size_t maxClients = 64;            // connections making requests
    std::size_t maxStreams = 64;            // event streams (WebSocket or SSE), counted apart
    std::size_t maxBodyBytes = 16 * 1024;
    std::size_t maxHeaderBytes = 8 * 1024;
    // What one event-stream client may have waiting before it is dropped.
    std::size_t queueMessages = 256;
    std::size_t queueBytes = 256 * 1024;
    std::chrono::milliseconds idleTimeout{30'000};  // connection without a request, a pong
    // From a connection's start, or the first byte of a later request, to the end of the head.
    std::chrono::milliseconds headTimeout{5'000};
};

struct ServerStats {
    std::size_t clients = 0;      // open connections
    std::size_t streams = 0;      // of which event streams (WebSocket or SSE)
    std::uint64_t refused = 0;    // connections turned away: too many making requests
    std::uint64_t dropped = 0;    // event-stream clients dropped for falling behind
    std::uint64_t messages = 0;   // event messages written
    std::size_t queuedBytes = 0;  // event bytes waiting for clients now
    std::size_t peakQueue = 0;    // the most bytes that ever waited for one client
};

class Server {
  public:
    // Listens at once. Throws ConfigError, naming --listen and the address, when it cannot
    // listen there, or when the address is not a loopback one and there is no token.
    Server(posix::EventLoop& loop, Hub& hub, ServerOptions options);
    ~Server();  // Stop()
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // The address listened on (with the port the system chose for port 0).
    ListenAddress Local() const;
    ServerStats Stats() const;
    // Stops listening and closes every connection.
    void Stop();

    struct Impl;  // shared with the connections, which may outlive the server

  private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace varnel::serve
