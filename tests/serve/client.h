// Blocking HTTP, WebSocket and Server-Sent Events clients for the tests, each step bounded in
// time (Boost.Beast on the client's own io_context).
#pragma once

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>

namespace varnel::testing {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using namespace std::chrono_literals;

// Runs one asynchronous operation to its end; after `limit` the socket is closed, the operation
// ends with an error and a std::runtime_error is thrown.
template <typename Start>
boost::system::error_code Await(net::io_context& io, tcp::socket& socket, Start start,
                                std::chrono::milliseconds limit = 10s) {
    std::optional<boost::system::error_code> result;
    start([&result](boost::system::error_code ec, auto&&...) { result = ec; });
    io.restart();
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!result && io.run_one_until(end) > 0) {
    }
    if (result) return *result;
    boost::system::error_code ignored;
    socket.close(ignored);
    io.restart();
    while (!result)
        io.run_one();
    throw std::runtime_error("timed out");
}

struct Response {
    unsigned status = 0;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;

    std::string Header(const std::string& name) const {
        auto it = headers.find(name);
        return it == headers.end() ? "" : it->second;
    }
};

inline tcp::socket Connect(net::io_context& io, std::uint16_t port) {
    tcp::socket socket(io);
    socket.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
    return socket;
}

inline Response ToResponse(const http::response<http::string_body>& res) {
    Response r;
    r.status = res.result_int();
    for (const auto& f : res) {
        std::string name(f.name_string());
        for (char& c : name)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        r.headers[name] = std::string(f.value());
    }
    r.body = res.body();
    return r;
}

// One request on a new connection. `headers` may replace Host.
inline Response Http(std::uint16_t port, http::verb method, const std::string& target,
                     const std::string& body = "",
                     const std::map<std::string, std::string>& headers = {}) {
    net::io_context io;
    tcp::socket socket = Connect(io, port);
    http::request<http::string_body> req{method, target, 11};
    req.set(http::field::host, "127.0.0.1:" + std::to_string(port));
    for (const auto& [k, v] : headers)
        req.set(k, v);
    if (!body.empty() || method == http::verb::put || method == http::verb::post) {
        req.body() = body;
        req.prepare_payload();
    }
    if (auto ec = Await(io, socket, [&](auto h) { http::async_write(socket, req, h); })) {
        throw std::runtime_error("write: " + ec.message());
    }
    beast::flat_buffer buffer;
    http::response_parser<http::string_body> parser;
    parser.body_limit(1 << 20);
    if (auto ec = Await(io, socket, [&](auto h) { http::async_read(socket, buffer, parser, h); })) {
        throw std::runtime_error("read: " + ec.message());
    }
    return ToResponse(parser.get());
}

// Bytes written as they are on a new connection, and everything that comes back until the server
// closes it (or nothing more comes within the limit).
inline std::string Exchange(std::uint16_t port, const std::string& bytes,
                            std::chrono::milliseconds limit = 10s) {
    net::io_context io;
    tcp::socket socket = Connect(io, port);
    if (Await(io, socket, [&](auto h) { net::async_write(socket, net::buffer(bytes), h); })) {
        throw std::runtime_error("cannot send");
    }
    std::string in;
    try {
        Await(
            io, socket, [&](auto h) { net::async_read(socket, net::dynamic_buffer(in), h); },
            limit);
    } catch (const std::runtime_error&) {
    }
    return in;
}

class WsClient {
  public:
    // Opens the WebSocket; the status of the answer is in `refused` when the server refuses.
    WsClient(std::uint16_t port, const std::string& target,
             const std::map<std::string, std::string>& headers = {}, int receiveBuffer = 0)
        : ws_(io_) {
        tcp::socket& socket = ws_.next_layer();
        socket.open(tcp::v4());
        if (receiveBuffer > 0)
            socket.set_option(net::socket_base::receive_buffer_size(receiveBuffer));
        socket.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
        ws_.set_option(websocket::stream_base::decorator([headers](websocket::request_type& req) {
            for (const auto& [k, v] : headers)
                req.set(k, v);
        }));
        const auto ec = Await(io_, socket, [&](auto h) {
            ws_.async_handshake(answer_, "127.0.0.1:" + std::to_string(port), target, h);
        });
        if (ec && ec != websocket::error::upgrade_declined) {
            throw std::runtime_error("handshake: " + ec.message());
        }
        refused = ec ? answer_.result_int() : 0;
    }

    unsigned refused = 0;
    std::string Protocol() const {
        return std::string(answer_[http::field::sec_websocket_protocol]);
    }

    // The next message, or nullopt when the connection ends or nothing comes in time.
    std::optional<std::string> Next(std::chrono::milliseconds limit = 10s) {
        beast::flat_buffer buffer;
        boost::system::error_code ec;
        try {
            ec = Await(
                io_, ws_.next_layer(), [&](auto h) { ws_.async_read(buffer, h); }, limit);
        } catch (const std::runtime_error&) {
            return std::nullopt;
        }
        if (ec) return std::nullopt;
        return beast::buffers_to_string(buffer.data());
    }

  private:
    net::io_context io_;
    websocket::stream<tcp::socket> ws_;
    websocket::response_type answer_;
};

// A Server-Sent Events stream: the response head, then one `data:` line per message.
class SseClient {
  public:
    SseClient(std::uint16_t port, const std::string& target) : socket_(Connect(io_, port)) {
        const std::string req = "GET " + target +
                                " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                "\r\nAccept: text/event-stream\r\n\r\n";
        if (Await(io_, socket_, [&](auto h) { net::async_write(socket_, net::buffer(req), h); })) {
            throw std::runtime_error("cannot send");
        }
        head = Until("\r\n\r\n");
    }

    std::string head;

    // The next event's data.
    std::optional<std::string> Next(std::chrono::milliseconds limit = 10s) {
        const std::string event = Until("\n\n", limit);
        if (event.rfind("data: ", 0) != 0) return std::nullopt;
        return event.substr(6, event.size() - 8);
    }

  private:
    std::string Until(const std::string& end, std::chrono::milliseconds limit = 10s) {
        boost::system::error_code ec;
        std::size_t n = 0;
        try {
            ec = Await(
                io_, socket_,
                [&](auto h) {
                    net::async_read_until(socket_, net::dynamic_buffer(buffer_), end,
                                          [&n, h](boost::system::error_code e, std::size_t k) {
                                              n = k;
                                              h(e);
                                          });
                },
                limit);
        } catch (const std::runtime_error&) {
            return "";
        }
        if (ec) return "";
        std::string out = buffer_.substr(0, n);
        buffer_.erase(0, n);
        return out;
    }

    net::io_context io_;
    tcp::socket socket_;
    std::string buffer_;
};

}  // namespace varnel::testing
