// The HTTP API of `varnel serve`, apart from the transport: a request in, a reply out (at once,
// or later for a read that waits).
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "tools/varnel/serve/hub.h"

namespace varnel::serve {

struct Request {
    std::string_view method;  // "GET", "PUT", ...
    std::string_view target;  // path and query, "/api/scales/a/read?stable=3"
    std::string_view body;
};

struct Reply {
    unsigned status = 200;
    std::string contentType = "application/json";
    std::string body;
    std::string allow;   // for 405 and OPTIONS: the methods the resource has
    bool asset = false;  // a file of the page, which may be cached
};

class Api {
  public:
    explicit Api(Hub& hub) : hub_(hub) {}

    // Answers through `respond`, exactly once, at once or later on the loop. HEAD is answered as
    // GET (the transport drops the body), OPTIONS with 204 and the resource's methods in `allow`.
    // For an answer that waits, returns what abandons it (`respond` is then never called).
    std::function<void()> Handle(const Request& request, const std::function<void(Reply)>& respond);

    // Whether the path is an event stream (/api/events, /api/scales/{name}/events) of an
    // existing scale; `scale` is then the scale's name, or empty for all scales.
    bool IsEventStream(std::string_view target, std::string& scale);

  private:
    std::function<void()> Read(std::string_view name, std::string_view target,
                               const std::function<void(Reply)>& respond);
    Reply Setting(std::string_view name, std::string_view what, std::string_view body);
    Reply ScaleRead(std::string_view body);

    Hub& hub_;
};

// The value of a query parameter, percent-decoded; nullopt when absent.
std::optional<std::string> QueryParameter(std::string_view target, std::string_view key);

// The path of a request target, without the query.
std::string_view PathOf(std::string_view target);

}  // namespace varnel::serve
