// Probes of `varnel serve` on a pseudo-terminal and loopback:
//   serve_probe latency BIN [N] [CLIENTS]  CR written to the line -> WebSocket message received
//   serve_probe cpu BIN [SECONDS] [CLIENTS] CPU of serve while the scale streams at line rate
//   serve_probe load BIN [SECONDS] [CONNECTIONS] [WS]  HTTP clients hammering GET
//       /api/scales/default while the scale streams at line rate and WS clients count events
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/report.h"
#include "tools/sim/pty.h"

extern char** environ;

namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
namespace sim = varnel::sim;
using varnel::bench::Report;

constexpr auto kLinePeriod = std::chrono::microseconds(45833);  // 10 characters at 2400 8N2

std::string Frame(int i) {
    char w[8];
    std::snprintf(w, sizeof w, "%05d", i % 100000);
    return std::string("\x02") + "@  " + w + "\r";  // grams, status 0
}

int WeightOf(const std::string& message) {
    const auto k = message.find("\"RawWt\":\"");
    if (k == std::string::npos || message.find("\"event\":\"weight\"") == std::string::npos)
        return -1;
    return std::stoi(message.substr(k + 9, 5));
}

// `varnel serve` for one scale on the pty, on a free port.
struct Server {
    pid_t pid = -1;
    unsigned short port = 0;

    Server(const std::string& bin, const std::string& device, int maxClients) {
        int fds[2];
        if (::pipe(fds) != 0) std::exit(1);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
        posix_spawn_file_actions_addclose(&fa, fds[0]);
        const std::string clients = std::to_string(maxClients);
        std::vector<std::string> args = {bin,        "serve",       "--device",      device,
                                         "--listen", "127.0.0.1:0", "--system-dir",  "/nonexistent",
                                         "--units",  "grams",       "--max-clients", clients};
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (::posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0) std::exit(1);
        posix_spawn_file_actions_destroy(&fa);
        ::close(fds[1]);
        std::string line;
        char c;
        pollfd p{fds[0], POLLIN, 0};
        while (line.find('\n') == std::string::npos && ::poll(&p, 1, 10000) > 0 &&
               ::read(fds[0], &c, 1) == 1)
            line += c;
        ::close(fds[0]);
        const auto at = line.find("127.0.0.1:");
        if (at == std::string::npos) {
            std::fprintf(stderr, "serve did not start: %s\n", line.c_str());
            std::exit(1);
        }
        port = static_cast<unsigned short>(std::stoi(line.substr(at + 10)));
    }
    ~Server() {
        ::kill(pid, SIGTERM);
        int st = 0;
        ::waitpid(pid, &st, 0);
    }

    long long CpuNs() const {
        long long ns = 0;
        std::ifstream("/proc/" + std::to_string(pid) + "/schedstat") >> ns;
        return ns;
    }
    long RssKiB() const {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
        return 0;
    }
};

// A WebSocket client on /api/scales/default/events noting when each weight arrives.
struct Listener : std::enable_shared_from_this<Listener> {
    Listener(net::io_context& io, unsigned short port, int frames)
        : ws(io), got(static_cast<std::size_t>(frames)) {
        ws.next_layer().connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
        ws.handshake("127.0.0.1", "/api/scales/default/events");
    }
    void Read() {
        ws.async_read(buffer, [self = shared_from_this()](beast::error_code ec, std::size_t) {
            if (ec) return;
            const auto now = Clock::now();
            const int w = WeightOf(beast::buffers_to_string(self->buffer.data()));
            self->buffer.consume(self->buffer.size());
            if (w >= 0) {
                ++self->weights;
                if (self->last >= 0 && w != self->last + 1) ++self->gaps;
                self->last = w;
                if (static_cast<std::size_t>(w) < self->got.size())
                    self->got[static_cast<std::size_t>(w)] = now;
            }
            self->Read();
        });
    }
    websocket::stream<tcp::socket> ws;
    beast::flat_buffer buffer;
    std::vector<Clock::time_point> got;
    long weights = 0;
    long gaps = 0;  // weights that did not follow the one before
    int last = -1;
};

// Clients on their own thread, stopped and joined on destruction.
struct ClientThread {
    net::io_context io;
    std::thread thread;
    void Start() {
        thread = std::thread([this] {
            auto guard = net::make_work_guard(io);
            io.run();
        });
    }
    ~ClientThread() {
        io.stop();
        if (thread.joinable()) thread.join();
    }
};

std::vector<std::shared_ptr<Listener>> Listen(net::io_context& io, unsigned short port, int clients,
                                              int frames) {
    std::vector<std::shared_ptr<Listener>> out;
    for (int i = 0; i < clients; ++i) {
        out.push_back(std::make_shared<Listener>(io, port, frames));
        out.back()->Read();
    }
    return out;
}

// Writes frames i = 0..n-1 one period apart: nine characters, a 2 ms pause, then the CR,
// noting when each CR went.
std::vector<Clock::time_point> WriteFrames(const sim::Pty& pty, int n,
                                           std::chrono::microseconds period, bool split) {
    std::vector<Clock::time_point> sent(static_cast<std::size_t>(n));
    auto next = Clock::now() + 300ms;
    for (int i = 0; i < n; ++i) {
        std::this_thread::sleep_until(next);
        const std::string f = Frame(i);
        if (split) {
            if (::write(pty.master(), f.data(), 9) != 9) break;
            std::this_thread::sleep_for(2ms);
            sent[static_cast<std::size_t>(i)] = Clock::now();
            if (::write(pty.master(), f.data() + 9, 1) != 1) break;
        } else if (::write(pty.master(), f.data(), f.size()) != static_cast<ssize_t>(f.size())) {
            break;
        }
        // A line carries one frame per period at most: after a late wake-up the next frame
        // still waits, rather than following at once as no scale's frame could.
        next = std::max(next + period, Clock::now() + period / 2);
    }
    return sent;
}

int Latency(const std::string& bin, int n, int clients) {
    sim::Pty pty = sim::OpenPty();
    Server server(bin, pty.slavePath(), clients + 8);
    ClientThread ct;
    auto listeners = Listen(ct.io, server.port, clients, n);
    ct.Start();
    const auto sent = WriteFrames(pty, n, 20000us, true);
    std::this_thread::sleep_for(200ms);
    ct.io.stop();
    ct.thread.join();
    std::vector<double> all, last;
    for (int i = 0; i < n; ++i) {
        const auto k = static_cast<std::size_t>(i);
        double worst = -1;
        for (const auto& l : listeners) {
            if (l->got[k] <= sent[k]) continue;
            const double us =
                std::chrono::duration<double, std::micro>(l->got[k] - sent[k]).count();
            all.push_back(us);
            worst = std::max(worst, us);
        }
        if (worst >= 0) last.push_back(worst);
    }
    std::printf("%d WebSocket client(s), %d frames\n", clients, n);
    Report("CR -> message, every client", all);
    if (clients > 1) Report("CR -> message at the last client of each frame", last);
    return 0;
}

int Cpu(const std::string& bin, int seconds, int clients) {
    sim::Pty pty = sim::OpenPty();
    Server server(bin, pty.slavePath(), clients + 8);
    ClientThread ct;
    const int frames = seconds * 22 + 30;
    auto listeners = Listen(ct.io, server.port, clients, frames);
    ct.Start();
    std::thread writer([&] { WriteFrames(pty, frames, kLinePeriod, false); });
    std::this_thread::sleep_for(800ms);
    const long long before = server.CpuNs();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const long long after = server.CpuNs();
    writer.join();
    ct.io.stop();
    ct.thread.join();
    long weights = 0, gaps = 0;
    for (const auto& l : listeners) {
        weights += l->weights;
        gaps += l->gaps;
    }
    std::printf(
        "serve at line rate (21.8 frames/s) with %d WebSocket client(s), %d s: CPU %.3f %% of "
        "one core; %ld weights received, %ld gaps\n",
        clients, seconds, static_cast<double>(after - before) / 1e9 / seconds * 100.0, weights,
        gaps);
    return 0;
}

// An HTTP client asking GET /api/scales/default again and again on one connection.
struct Hammer : std::enable_shared_from_this<Hammer> {
    Hammer(net::io_context& io, unsigned short port, const std::atomic<bool>& stopped)
        : socket(io), stop(stopped) {
        socket.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
        req = {http::verb::get, "/api/scales/default", 11};
        req.set(http::field::host, "127.0.0.1:" + std::to_string(port));
    }
    void Next() {
        if (stop) return;
        http::async_write(socket, req,
                          [self = shared_from_this()](beast::error_code ec, std::size_t) {
                              if (ec) return self->Fail();
                              self->res = {};
                              http::async_read(self->socket, self->buffer, self->res,
                                               [self](beast::error_code e, std::size_t) {
                                                   if (e) return self->Fail();
                                                   if (self->res.result_int() == 200) {
                                                       ++self->ok;
                                                   } else {
                                                       ++self->errors;
                                                   }
                                                   self->Next();
                                               });
                          });
    }
    void Fail() {
        if (!stop) ++errors;
    }
    tcp::socket socket;
    const std::atomic<bool>& stop;
    http::request<http::empty_body> req;
    http::response<http::string_body> res;
    beast::flat_buffer buffer;
    long ok = 0;
    long errors = 0;
};

int Load(const std::string& bin, int seconds, int connections, int wsClients) {
    sim::Pty pty = sim::OpenPty();
    Server server(bin, pty.slavePath(), connections + wsClients + 8);
    const int frames = seconds * 22 + 60;
    ClientThread wsThread;
    auto listeners = Listen(wsThread.io, server.port, wsClients, frames);
    wsThread.Start();
    std::thread writer([&] { WriteFrames(pty, frames, kLinePeriod, false); });
    std::this_thread::sleep_for(1s);

    const long rssBefore = server.RssKiB();
    std::atomic<bool> stop{false};
    ClientThread http;
    std::vector<std::shared_ptr<Hammer>> hammers;
    for (int i = 0; i < connections; ++i)
        hammers.push_back(std::make_shared<Hammer>(http.io, server.port, stop));
    for (auto& h : hammers)
        h->Next();
    const long long cpuBefore = server.CpuNs();
    const auto start = Clock::now();
    http.Start();
    std::vector<long> rss;  // once a second
    while (Clock::now() - start < std::chrono::seconds(seconds)) {
        std::this_thread::sleep_for(1s);
        rss.push_back(server.RssKiB());
    }
    stop = true;
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const long long cpuAfter = server.CpuNs();
    http.io.stop();
    http.thread.join();
    writer.join();
    std::this_thread::sleep_for(300ms);
    wsThread.io.stop();
    wsThread.thread.join();
    const long rssAfter = server.RssKiB();

    long ok = 0, errors = 0;
    for (const auto& h : hammers) {
        ok += h->ok;
        errors += h->errors;
    }
    long weights = 0, gaps = 0;
    for (const auto& l : listeners) {
        weights += l->weights;
        gaps += l->gaps;
    }
    std::printf(
        "%d connections, %.1f s: %ld responses (%.0f/s), %ld errors; serve CPU %.0f %% of one "
        "core\n",
        connections, elapsed, ok, static_cast<double>(ok) / elapsed, errors,
        static_cast<double>(cpuAfter - cpuBefore) / 1e9 / elapsed * 100.0);
    std::printf("%d WebSocket clients: %ld weights received (%d frames written each), %ld gaps\n",
                wsClients, weights, frames, gaps);
    std::printf(
        "serve RSS: %ld KiB before the HTTP clients; %ld KiB after 1 s of load, %ld KiB at most, "
        "%ld KiB at the end; %ld KiB once they are gone\n",
        rssBefore, rss.front(), *std::max_element(rss.begin(), rss.end()), rss.back(), rssAfter);
    return errors == 0 && gaps == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    auto num = [&](int i, int d) { return argc > i ? std::atoi(argv[i]) : d; };
    if (argc > 2) {
        if (mode == "latency") return Latency(argv[2], num(3, 500), num(4, 1));
        if (mode == "cpu") return Cpu(argv[2], num(3, 30), num(4, 1));
        if (mode == "load") return Load(argv[2], num(3, 30), num(4, 200), num(5, 10));
    }
    std::fprintf(stderr,
                 "usage: serve_probe latency BIN [N] [CLIENTS] | cpu BIN [SECONDS] [CLIENTS] | "
                 "load BIN [SECONDS] [CONNECTIONS] [WS]\n");
    return 2;
}
