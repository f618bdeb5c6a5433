// The only translation unit with Beast in it: connections, limits, access checks, and the
// WebSocket and Server-Sent Events streams.
#include "tools/varnel/serve/server.h"

#include <algorithm>
#include <array>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <cctype>
#include <deque>
#include <optional>
#include <set>
#include <sstream>

#include "tools/varnel/serve/api.h"
#include "tools/varnel/serve/assets.h"

namespace varnel::serve {

namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using error_code = boost::system::error_code;

constexpr const char* kServerName = "varnel";
constexpr auto kWriteTimeout = std::chrono::seconds(10);
constexpr std::size_t kStreamSendBuffer = 64 * 1024;  // kernel buffer of an event stream

std::string_view SV(beast::string_view s) {
    return {s.data(), s.size()};
}
beast::string_view BV(std::string_view s) {
    return {s.data(), s.size()};
}

// The subprotocols a WebSocket client offers, "a, b" -> {"a", "b"}.
std::vector<std::string_view> Offered(std::string_view list) {
    std::vector<std::string_view> out;
    while (!list.empty()) {
        const auto comma = list.find(',');
        std::string_view p = list.substr(0, comma);
        while (!p.empty() && p.front() == ' ')
            p.remove_prefix(1);
        while (!p.empty() && p.back() == ' ')
            p.remove_suffix(1);
        if (!p.empty()) out.push_back(p);
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    return out;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// Compares in a time that does not depend on where the texts differ.
bool SameSecret(std::string_view a, std::string_view b) {
    unsigned char diff = a.size() == b.size() ? 0 : 1;
    for (std::size_t i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ (i < b.size() ? b[i] : 0));
    return diff == 0;
}

// The host of a Host value "host[:port]": "localhost:8398" -> "localhost", "[::1]:80" -> "::1".
// nullopt for anything else, such as "127.0.0.1:evil.example" or "[::1]evil.example".
std::optional<std::string_view> HostName(std::string_view value) {
    std::string_view host, rest;
    if (value.starts_with('[')) {
        const auto close = value.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        host = value.substr(1, close - 1);
        rest = value.substr(close + 1);
        if (!std::all_of(host.begin(), host.end(), [](char c) {
                return std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.';
            })) {
            return std::nullopt;
        }
    } else {
        host = value.substr(0, value.find(':'));
        rest = value.substr(host.size());
        if (!std::all_of(host.begin(), host.end(), [](char c) {
                return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' ||
                       c == '_';
            })) {
            return std::nullopt;
        }
    }
    const bool port = rest.empty() || (rest.front() == ':' && rest.size() <= 6 &&
                                       std::all_of(rest.begin() + 1, rest.end(), [](char c) {
                                           return std::isdigit(static_cast<unsigned char>(c));
                                       }));
    if (host.empty() || !port) return std::nullopt;
    return host;
}

// Puts the request target in origin form, "/path?query". The absolute form
// ("http://127.0.0.1:8398/api/scales") is served as its path, its authority taking the place of
// Host; "*" stays for OPTIONS. False for any other target.
bool OriginForm(http::request<http::string_body>& req) {
    std::string_view target = SV(req.target());
    if (target.starts_with('/')) return true;
    if (target == "*") return req.method() == http::verb::options;
    constexpr std::string_view kHttp = "http://";
    if (target.size() <= kHttp.size() || !EqualNoCase(target.substr(0, kHttp.size()), kHttp)) {
        return false;
    }
    target.remove_prefix(kHttp.size());
    const auto end = target.find_first_of("/?");
    const std::string authority(target.substr(0, end));
    std::string path = end == std::string_view::npos ? "/" : std::string(target.substr(end));
    if (path.front() == '?') path.insert(0, "/");
    if (authority.empty()) return false;
    req.set(http::field::host, authority);
    req.target(path);
    return true;
}

// The size of a message's header fields, to tell how much trailers added to them.
std::size_t FieldBytes(const http::request<http::string_body>& req) {
    std::size_t n = 0;
    for (const auto& f : req)
        n += f.name_string().size() + f.value().size() + 4;
    return n;
}

bool IsLoopbackName(std::string_view host) {
    if (EqualNoCase(host, "localhost")) return true;
    error_code ec;
    const auto address = net::ip::make_address(std::string(host), ec);
    return !ec && address.is_loopback();
}

}  // namespace

// One open connection, whatever it has become.
class Connection {
  public:
    virtual ~Connection() = default;
    virtual void Close() = 0;
};

struct Server::Impl : std::enable_shared_from_this<Server::Impl> {
    Impl(posix::EventLoop& l, Hub& h, ServerOptions o)
        : hub(h), api(h), options(std::move(o)), acceptor(l.Context()), retry(l.Context()) {}

    void Listen();
    void Accept();
    void Refuse(tcp::socket socket);
    void Stop();

    // Whether a request may go on once its head is in (the target is put in origin form);
    // otherwise the reply that refuses it.
    std::optional<Reply> Check(http::request<http::string_body>& req) const;
    bool OriginAllowed(std::string_view origin) const;
    bool SameOrigin(const http::request<http::string_body>& req) const;

    Hub& hub;
    Api api;
    ServerOptions options;
    tcp::acceptor acceptor;
    net::steady_timer retry;  // after an accept error, such as too many open files
    bool loopbackOnly = true;
    bool stopped = false;
    std::set<Connection*> connections;
    ServerStats stats;
    std::string policy;   // Content-Security-Policy of every answer
    std::string refusal;  // the whole 503 response for one client too many
};

namespace {

using ImplPtr = std::shared_ptr<Server::Impl>;

// The page runs only its own scripts and is framed by no one (so no other site can lay it under
// a click).
void SetCommonHeaders(http::response<http::string_body>& res, const std::string& policy) {
    res.set(http::field::server, kServerName);
    res.set("X-Content-Type-Options", "nosniff");
    res.set("Content-Security-Policy", policy);
    res.set("X-Frame-Options", "DENY");
}

Reply ErrorReply(unsigned status, const std::string& message) {
    return Reply{status, "application/json", "{\"error\":\"" + message + "\"}", "", false};
}

// An event stream to one client, whatever carries it: the subscription, the current state first,
// a bounded queue of shared messages, and the drop of a client that has fallen too far behind.
// The transport starts the stream once its handshake is done, writes one message at a time and
// reports back with Written().
class StreamSession : public Connection, public std::enable_shared_from_this<StreamSession> {
  public:
    StreamSession(ImplPtr impl, std::string scale)
        : impl_(std::move(impl)), scale_(std::move(scale)) {
        impl_->connections.insert(this);
        ++impl_->stats.streams;
    }
    ~StreamSession() override {
        impl_->stats.queuedBytes -= bytes_;
        --impl_->stats.streams;
        impl_->connections.erase(this);
    }

    void Close() override {
        if (closed_) return;
        closed_ = true;
        impl_->hub.Unsubscribe(subscription_);
        CloseSocket();
    }

  protected:
    // Subscribes, then sends the state of each scale covered as it stands.
    void Begin() {
        if (closed_) return;
        std::weak_ptr<StreamSession> weak = shared_from_this();
        subscription_ = impl_->hub.Subscribe(scale_, [weak](const Message& m) {
            if (auto self = weak.lock()) self->Push(m);
        });
        for (const Message& m : impl_->hub.Snapshot(scale_))
            Push(m);
    }

    // The transport's part: start writing one message, then call Written.
    virtual void Write(const Message& m) = 0;
    virtual void CloseSocket() = 0;

    void Written(error_code ec) {
        writing_ = false;
        if (ec) return Close();
        bytes_ -= queue_.front()->size();
        impl_->stats.queuedBytes -= queue_.front()->size();
        ++impl_->stats.messages;
        queue_.pop_front();
        if (!queue_.empty() && !closed_) WriteFront();
    }

    ImplPtr impl_;
    bool closed_ = false;

  private:
    void Push(const Message& m) {
        if (closed_) return;
        if (queue_.size() >= impl_->options.queueMessages ||
            bytes_ + m->size() > impl_->options.queueBytes) {
            ++impl_->stats.dropped;
            return Close();
        }
        queue_.push_back(m);
        bytes_ += m->size();
        impl_->stats.queuedBytes += m->size();
        impl_->stats.peakQueue = std::max(impl_->stats.peakQueue, bytes_);
        if (!writing_) WriteFront();
    }

    void WriteFront() {
        writing_ = true;
        Write(queue_.front());
    }

    std::string scale_;
    std::deque<Message> queue_;
    std::size_t bytes_ = 0;
    std::uint64_t subscription_ = 0;
    bool writing_ = false;
};

class WsSession : public StreamSession {
  public:
    WsSession(beast::tcp_stream&& stream, ImplPtr impl, std::string scale)
        : StreamSession(std::move(impl), std::move(scale)), ws_(std::move(stream)) {}

    void Run(http::request<http::string_body> req, std::string protocol) {
        error_code ec;
        beast::get_lowest_layer(ws_).socket().set_option(
            net::socket_base::send_buffer_size(kStreamSendBuffer), ec);
        beast::get_lowest_layer(ws_).expires_never();  // the WebSocket keeps its own time
        websocket::stream_base::timeout timeout{};
        timeout.handshake_timeout = kWriteTimeout;
        timeout.idle_timeout = impl_->options.idleTimeout;
        timeout.keep_alive_pings = true;  // a client that stops answering pings is dropped
        ws_.set_option(timeout);
        ws_.set_option(websocket::stream_base::decorator(
            [protocol = std::move(protocol)](websocket::response_type& res) {
                res.set(http::field::server, kServerName);
                if (!protocol.empty()) res.set(http::field::sec_websocket_protocol, BV(protocol));
            }));
        ws_.read_message_max(4096);
        ws_.text(true);
        req_ = std::move(req);
        ws_.async_accept(req_, [self = shared_from_this(), this](error_code e) {
            if (e) return Close();
            Begin();
            Read();
        });
    }

  private:
    void Write(const Message& m) override {
        ws_.async_write(net::buffer(*m), [self = shared_from_this(), this](
                                             error_code ec, std::size_t) { Written(ec); });
    }

    void CloseSocket() override {
        error_code ec;
        beast::get_lowest_layer(ws_).socket().close(ec);
    }

    // Reads what the client sends (nothing is expected) so that pings, pongs and the closing
    // handshake are handled.
    void Read() {
        if (closed_) return;
        ws_.async_read(in_, [self = shared_from_this(), this](error_code ec, std::size_t) {
            if (ec) return Close();
            in_.consume(in_.size());
            Read();
        });
    }

    websocket::stream<beast::tcp_stream> ws_;
    http::request<http::string_body> req_;
    beast::flat_buffer in_;
};

class SseSession : public StreamSession {
  public:
    SseSession(beast::tcp_stream&& stream, ImplPtr impl, std::string scale)
        : StreamSession(std::move(impl), std::move(scale)), stream_(std::move(stream)) {}

    void Run(http::response<http::string_body> head) {
        error_code ec;
        stream_.socket().set_option(net::socket_base::send_buffer_size(kStreamSendBuffer), ec);
        // The body is the stream itself; it ends when the connection does.
        head_ = std::move(head);
        head_.set(http::field::content_type, "text/event-stream");
        head_.set(http::field::cache_control, "no-store");
        head_.keep_alive(false);
        serializer_.emplace(head_);
        stream_.expires_after(kWriteTimeout);
        http::async_write_header(
            stream_, *serializer_, [self = shared_from_this(), this](error_code e, std::size_t) {
                if (e) return Close();
                Begin();
                if (closed_) return;
                // Reading only tells when the client goes away.
                stream_.socket().async_read_some(
                    net::buffer(discard_), [self](error_code, std::size_t) { self->Close(); });
            });
    }

  private:
    void Write(const Message& m) override {
        static constexpr std::string_view kData = "data: ", kEnd = "\n\n";
        const std::array<net::const_buffer, 3> parts = {net::buffer(kData.data(), kData.size()),
                                                        net::buffer(*m),
                                                        net::buffer(kEnd.data(), kEnd.size())};
        stream_.expires_after(kWriteTimeout);
        net::async_write(
            stream_, parts,
            [self = shared_from_this(), this](error_code ec, std::size_t) { Written(ec); });
    }

    void CloseSocket() override {
        error_code ec;
        stream_.socket().close(ec);
    }

    beast::tcp_stream stream_;
    http::response<http::string_body> head_;
    std::optional<http::response_serializer<http::string_body>> serializer_;
    std::array<char, 512> discard_{};
};

class HttpSession : public Connection, public std::enable_shared_from_this<HttpSession> {
  public:
    HttpSession(tcp::socket socket, ImplPtr impl)
        : stream_(std::move(socket)), impl_(std::move(impl)) {
        impl_->connections.insert(this);
        // Chunk extensions count against the header limit, as trailers do (OnBody).
        onChunk_ = [this](std::uint64_t, beast::string_view extensions, error_code& ec) {
            extra_ += extensions.size();
            if (headBytes_ + extra_ > impl_->options.maxHeaderBytes) ec = http::error::header_limit;
        };
    }
    ~HttpSession() override { impl_->connections.erase(this); }

    // A new connection has the head's deadline from the start.
    void Start() { ReadHead(); }

    void Close() override {
        const auto keep = shared_from_this();  // abandoning a read may drop the last owner
        closed_ = true;
        if (auto abandon = std::move(abandon_)) abandon();
        error_code ec;
        stream_.socket().close(ec);
    }

  private:
    static constexpr std::size_t kReadChunk = 4096;

    // Between the requests of a kept-alive connection: up to the idle limit for the next to begin.
    void AwaitRequest() {
        if (buffer_.size() > 0) return ReadHead();
        stream_.expires_after(impl_->options.idleTimeout);
        stream_.async_read_some(buffer_.prepare(kReadChunk),
                                [self = shared_from_this()](error_code ec, std::size_t n) {
                                    self->buffer_.commit(n);
                                    if (ec || self->closed_) return self->Close();
                                    self->ReadHead();
                                });
    }

    void ReadHead() {
        parser_.emplace();
        parser_->header_limit(static_cast<std::uint32_t>(impl_->options.maxHeaderBytes));
        parser_->body_limit(impl_->options.maxBodyBytes);
        parser_->on_chunk_header(onChunk_);
        headBytes_ = extra_ = 0;
        stream_.expires_after(impl_->options.headTimeout);
        http::async_read_header(stream_, buffer_, *parser_,
                                [self = shared_from_this()](error_code ec, std::size_t n) {
                                    self->headBytes_ = n;
                                    self->OnHead(ec);
                                });
    }

    void OnHead(error_code ec) {
        if (closed_) return;
        if (ec) return OnReadError(ec);
        if (auto refused = impl_->Check(parser_->get())) {
            // A body not read yet is not read at all: the connection closes after the answer.
            const bool rest = !parser_->is_done();
            req_ = parser_->release();
            return Send(std::move(*refused), rest);
        }
        if (parser_->is_done()) return Dispatch();
        fieldsAtHead_ = FieldBytes(parser_->get());
        if (parser_->get().version() >= 11 &&
            EqualNoCase(SV(parser_->get()[http::field::expect]), "100-continue")) {
            static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
            stream_.expires_after(kWriteTimeout);
            return net::async_write(stream_, net::buffer(kContinue.data(), kContinue.size()),
                                    [self = shared_from_this()](error_code e, std::size_t) {
                                        if (e) return self->Close();
                                        self->ReadBody();
                                    });
        }
        ReadBody();
    }

    void ReadBody() {
        stream_.expires_after(impl_->options.idleTimeout);
        http::async_read(
            stream_, buffer_, *parser_,
            [self = shared_from_this()](error_code ec, std::size_t) { self->OnBody(ec); });
    }

    void OnBody(error_code ec) {
        if (closed_) return;
        if (ec) return OnReadError(ec);
        const std::size_t trailers = FieldBytes(parser_->get()) - fieldsAtHead_;
        if (headBytes_ + extra_ + trailers > impl_->options.maxHeaderBytes) {
            return Fail(431, "request header too large");
        }
        Dispatch();
    }

    void OnReadError(error_code ec) {
        // Past the head only a chunk's header line or the trailers must fit in the buffer.
        if (ec == http::error::header_limit || ec == http::error::buffer_overflow) {
            return Fail(431, "request header too large");
        }
        if (ec == http::error::body_limit) return Fail(413, "request body too large");
        if (ec == http::error::end_of_stream || ec == beast::error::timeout ||
            ec == net::error::operation_aborted || ec == net::error::connection_reset ||
            ec == net::error::eof) {
            return Close();
        }
        Fail(400, "malformed request");
    }

    void Dispatch() {
        req_ = parser_->release();
        std::string scale;
        const bool stream =
            req_.method() == http::verb::get && impl_->api.IsEventStream(SV(req_.target()), scale);
        const bool upgrade = stream && websocket::is_upgrade(req_);
        const bool sse =
            stream && SV(req_[http::field::accept]).find("text/event-stream") != std::string::npos;
        if ((upgrade || sse) && impl_->stats.streams >= impl_->options.maxStreams) {
            return Send(ErrorReply(503, "too many event streams"), true);
        }
        if (upgrade) return Upgrade(std::move(scale));
        if (sse) return EventStream(std::move(scale));
        const Request request{SV(req_.method_string()), SV(req_.target()), req_.body()};
        answered_ = false;
        auto abandon = impl_->api.Handle(
            request, [self = shared_from_this()](Reply r) { self->Answer(std::move(r)); });
        if (!answered_ && abandon) {
            abandon_ = std::move(abandon);
            Watch();
        }
    }

    // While an answer waits, reads the socket: a client that goes away frees its slot at once.
    // What a client sends meanwhile stays in the buffer as its next request.
    void Watch() {
        const std::size_t room = buffer_.max_size() - buffer_.size();
        if (room == 0) return;
        watching_ = true;
        stream_.expires_never();  // the read has a time limit of its own
        stream_.async_read_some(buffer_.prepare(std::min(room, kReadChunk)),
                                [self = shared_from_this()](error_code ec, std::size_t n) {
                                    self->buffer_.commit(n);
                                    self->watching_ = false;
                                    if (self->pending_) {
                                        Reply r = std::move(*self->pending_);
                                        self->pending_.reset();
                                        return self->Send(std::move(r), false);
                                    }
                                    if (ec) return self->Close();
                                    if (!self->answered_) self->Watch();
                                });
    }

    void Answer(Reply r) {
        answered_ = true;
        abandon_ = nullptr;
        if (!watching_) return Send(std::move(r), false);
        pending_ = std::move(r);
        stream_.cancel();  // the watch ends and sends it
    }

    void Upgrade(std::string scale) {
        // "varnel" when the client offers it, else no subprotocol: the token's own
        // ("bearer.<token>") is never echoed.
        const auto offered = Offered(SV(req_[http::field::sec_websocket_protocol]));
        const bool named = std::find(offered.begin(), offered.end(), "varnel") != offered.end();
        auto ws = std::make_shared<WsSession>(std::move(stream_), impl_, std::move(scale));
        ws->Run(std::move(req_), named ? "varnel" : "");
        closed_ = true;
    }

    void EventStream(std::string scale) {
        auto sse = std::make_shared<SseSession>(std::move(stream_), impl_, std::move(scale));
        sse->Run(Headers(200));
        closed_ = true;
    }

    // A response with the headers every answer carries, CORS included.
    http::response<http::string_body> Headers(unsigned status) const {
        http::response<http::string_body> res{static_cast<http::status>(status), req_.version()};
        SetCommonHeaders(res, impl_->policy);
        const auto origin = SV(req_[http::field::origin]);
        if (!origin.empty() && impl_->OriginAllowed(origin)) {
            res.set(http::field::access_control_allow_origin, BV(origin));
            res.set(http::field::vary, "Origin");
        }
        return res;
    }

    void Send(Reply r, bool close) {
        if (closed_) return;
        res_ = Headers(r.status);
        if (!r.contentType.empty()) res_.set(http::field::content_type, BV(r.contentType));
        res_.set(http::field::cache_control, r.asset ? "no-cache" : "no-store");
        if (!r.allow.empty()) res_.set(http::field::allow, BV(r.allow));
        res_.body() = std::move(r.body);
        if (r.status == 401) res_.set(http::field::www_authenticate, "Bearer realm=\"varnel\"");
        if (r.status == 503) res_.set(http::field::retry_after, "1");
        if (r.status == 204 && r.allow.empty()) {  // a CORS preflight
            res_.set(http::field::access_control_allow_methods, "GET, PUT, POST");
            res_.set(http::field::access_control_allow_headers, "Authorization, Content-Type");
            res_.set(http::field::access_control_max_age, "600");
            // A public site's page asking for this machine (Chrome's Private Network Access).
            if (EqualNoCase(SV(req_["Access-Control-Request-Private-Network"]), "true")) {
                res_.set("Access-Control-Allow-Private-Network", "true");
            }
        }
        res_.keep_alive(!close && req_.keep_alive());
        res_.prepare_payload();
        if (req_.method() == http::verb::head) {  // the length of the body not sent
            const std::size_t size = res_.body().size();
            res_.body().clear();
            res_.content_length(size);
        }
        stream_.expires_after(kWriteTimeout);
        http::async_write(stream_, res_, [self = shared_from_this()](error_code ec, std::size_t) {
            if (ec) return self->Close();
            if (!self->res_.keep_alive()) return self->Linger();
            self->AwaitRequest();
        });
    }

    // Answers a request that could not be read whole, then closes.
    void Fail(unsigned status, const char* message) {
        req_ = {};
        req_.version(11);
        Send(ErrorReply(status, message), true);
    }

    // Closes after an answer, reading what the client still sends for a moment, so that the
    // answer is not lost to a reset.
    void Linger() {
        error_code ec;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
        stream_.expires_after(std::chrono::seconds(2));
        Drain();
    }
    void Drain() {
        stream_.async_read_some(net::buffer(discard_),
                                [self = shared_from_this()](error_code e, std::size_t n) {
                                    self->lingered_ += n;
                                    if (e || self->lingered_ > (1 << 20)) return self->Close();
                                    self->Drain();
                                });
    }

    beast::tcp_stream stream_;
    ImplPtr impl_;
    beast::flat_buffer buffer_{64 * 1024};
    std::optional<http::request_parser<http::string_body>> parser_;
    std::function<void(std::uint64_t, beast::string_view, error_code&)> onChunk_;
    std::size_t headBytes_ = 0;     // the request head as read
    std::size_t extra_ = 0;         // chunk extensions
    std::size_t fieldsAtHead_ = 0;  // FieldBytes before the trailers
    http::request<http::string_body> req_;
    http::response<http::string_body> res_;
    std::function<void()> abandon_;  // of an answer that waits
    std::optional<Reply> pending_;   // an answer that came while the watch was reading
    bool answered_ = false;
    bool watching_ = false;
    std::array<char, 4096> discard_{};
    std::size_t lingered_ = 0;
    bool closed_ = false;
};

}  // namespace

void Server::Impl::Listen() {
    const bool v6 = options.listen.host.find(':') != std::string::npos;
    const std::string where = "--listen " +
                              (v6 ? "[" + options.listen.host + "]" : options.listen.host) + ":" +
                              std::to_string(options.listen.port) + ": ";
    error_code ec;
    const auto address = net::ip::make_address(options.listen.host, ec);
    if (ec) throw ConfigError(where + "give a numeric address, e.g. 127.0.0.1:8398 or [::1]:8398");
    // Beyond loopback a request's Host says nothing about who sends it: a page of any site
    // renamed to this machine (DNS rebinding) would pass as this server's own.
    loopbackOnly = address.is_loopback();
    if (!loopbackOnly && options.token.empty()) {
        throw ConfigError(where +
                          "listening beyond loopback needs --token-file: without a token any web "
                          "page could read and change the scales through DNS rebinding");
    }
    const tcp::endpoint endpoint(address, options.listen.port);
    acceptor.open(endpoint.protocol(), ec);
    if (!ec) acceptor.set_option(net::socket_base::reuse_address(true), ec);
    if (!ec) acceptor.bind(endpoint, ec);
    if (!ec) acceptor.listen(net::socket_base::max_listen_connections, ec);
    if (ec == net::error::address_in_use) {
        throw ConfigError(where + "the address is in use (another program listens there)");
    }
    if (ec) throw ConfigError(where + "cannot listen there: " + ec.message());

    policy = "default-src 'self'; script-src 'self' " + std::string(kInlineScripts) +
             "; frame-ancestors 'none'";
    http::response<http::string_body> res{http::status::service_unavailable, 11};
    SetCommonHeaders(res, policy);
    res.set(http::field::content_type, "application/json");
    res.set(http::field::retry_after, "1");
    res.body() = "{\"error\":\"too many clients\"}";
    res.keep_alive(false);
    res.prepare_payload();
    std::ostringstream text;
    text << res;
    refusal = text.str();
}

void Server::Impl::Accept() {
    acceptor.async_accept([self = shared_from_this()](error_code ec, tcp::socket socket) {
        if (self->stopped) return;
        if (ec) {
            // Out of descriptors or the like: try again shortly rather than spin.
            self->retry.expires_after(std::chrono::milliseconds(100));
            self->retry.async_wait([self](error_code e) {
                if (!e && !self->stopped) self->Accept();
            });
            return;
        }
        // Event streams have slots of their own (Dispatch).
        if (self->connections.size() - self->stats.streams >= self->options.maxClients) {
            self->Refuse(std::move(socket));
        } else {
            error_code ignored;
            socket.set_option(tcp::no_delay(true), ignored);
            std::make_shared<HttpSession>(std::move(socket), self)->Start();
        }
        self->Accept();
    });
}

void Server::Impl::Refuse(tcp::socket socket) {
    ++stats.refused;
    error_code ec;
    socket.non_blocking(true, ec);
    socket.write_some(net::buffer(refusal), ec);
    socket.shutdown(tcp::socket::shutdown_send, ec);
    socket.close(ec);
}

void Server::Impl::Stop() {
    if (stopped) return;
    stopped = true;
    error_code ec;
    acceptor.close(ec);
    retry.cancel();
    for (Connection* c : std::vector<Connection*>(connections.begin(), connections.end()))
        c->Close();
}

bool Server::Impl::OriginAllowed(std::string_view origin) const {
    for (const auto& allowed : options.allowOrigins)
        if (allowed == "*" || EqualNoCase(allowed, origin)) return true;
    return false;
}

bool Server::Impl::SameOrigin(const http::request<http::string_body>& req) const {
    const auto origin = SV(req[http::field::origin]);
    const auto host = SV(req[http::field::host]);
    constexpr std::string_view kHttp = "http://";
    return origin.size() == kHttp.size() + host.size() && origin.starts_with(kHttp) &&
           EqualNoCase(origin.substr(kHttp.size()), host);
}

std::optional<Reply> Server::Impl::Check(http::request<http::string_body>& req) const {
    if (req.count(http::field::host) > 1 ||
        (req.version() >= 11 && req.count(http::field::host) == 0)) {
        return ErrorReply(400, "a request needs one Host header");
    }
    if (req.count(http::field::transfer_encoding) > 1 ||
        (req.count(http::field::transfer_encoding) == 1 &&
         !EqualNoCase(SV(req[http::field::transfer_encoding]), "chunked"))) {
        return ErrorReply(501, "of the transfer codings only chunked is supported");
    }
    const auto expect = SV(req[http::field::expect]);
    if (!expect.empty() && !EqualNoCase(expect, "100-continue")) {
        return ErrorReply(417, "the only expectation supported is 100-continue");
    }
    if (!OriginForm(req)) return ErrorReply(400, "malformed request target");

    // A page on another site that renames itself to 127.0.0.1 (DNS rebinding) still sends its
    // own name as the Host.
    if (req.count(http::field::host) == 1) {
        const auto host = HostName(SV(req[http::field::host]));
        if (loopbackOnly && !(host && IsLoopbackName(*host))) {
            return ErrorReply(403, "this server answers only to a loopback host name");
        }
        if (!host) return ErrorReply(400, "malformed Host header");
    }
    const auto origin = SV(req[http::field::origin]);
    const bool foreign = !origin.empty() && !SameOrigin(req);
    if (foreign && !OriginAllowed(origin)) {
        return ErrorReply(403, "cross-origin requests from this origin are not allowed");
    }
    // A CORS preflight carries no credentials.
    if (req.method() == http::verb::options && foreign &&
        !SV(req[http::field::access_control_request_method]).empty()) {
        return Reply{204, "", "", "", false};
    }
    if (!options.token.empty()) {
        bool ok = false;
        const auto auth = SV(req[http::field::authorization]);
        constexpr std::string_view kBearer = "Bearer ";
        if (auth.size() > kBearer.size() && EqualNoCase(auth.substr(0, kBearer.size()), kBearer)) {
            ok = SameSecret(auth.substr(kBearer.size()), options.token);
        }
        if (auto query = QueryParameter(SV(req.target()), "token")) {
            ok = ok || SameSecret(*query, options.token);
        }
        // Browsers cannot set headers on a WebSocket; they can offer subprotocols.
        for (std::string_view p : Offered(SV(req[http::field::sec_websocket_protocol]))) {
            if (p.starts_with("bearer.")) ok = ok || SameSecret(p.substr(7), options.token);
        }
        if (!ok) return ErrorReply(401, "a token is required (Authorization: Bearer ...)");
    }
    return std::nullopt;
}

Server::Server(posix::EventLoop& loop, Hub& hub, ServerOptions options)
    : impl_(std::make_shared<Impl>(loop, hub, std::move(options))) {
    impl_->Listen();
    impl_->Accept();
}

Server::~Server() {
    Stop();
}

ListenAddress Server::Local() const {
    error_code ec;
    const auto endpoint = impl_->acceptor.local_endpoint(ec);
    return ListenAddress{endpoint.address().to_string(), endpoint.port()};
}

ServerStats Server::Stats() const {
    ServerStats s = impl_->stats;
    s.clients = impl_->connections.size();
    return s;
}

void Server::Stop() {
    impl_->Stop();
}

}  // namespace varnel::serve
