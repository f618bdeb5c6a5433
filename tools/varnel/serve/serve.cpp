// varnel serve: the scales over HTTP, WebSocket and Server-Sent Events until Ctrl-C or SIGTERM.
#include <boost/asio/signal_set.hpp>
#include <csignal>
#include <cstdio>

#include "platform/posix/port_resolver.h"
#include "tools/varnel/commands.h"
#include "tools/varnel/serve/server.h"
#include "tools/varnel/units.h"

namespace varnel::cli {

namespace {

std::vector<serve::ScaleSpec> Scales(const ServeOptions& o) {
    if (!o.config.empty()) return serve::LoadScales(o.config);
    serve::ScaleSpec s;
    s.name = "default";
    s.device = o.device;
    if (o.port != 0) s.port = o.port;
    if (!o.units.empty()) s.units = ParseUnits(o.units);
    if (!o.notify.empty()) s.notify = ParseNotify(o.notify);
    return {s};
}

}  // namespace

int RunServe(const ServeOptions& o) {
    std::signal(SIGPIPE, SIG_IGN);
    serve::ServerOptions options;
    std::vector<serve::ScaleSpec> scales;
    const std::string systemDir = o.systemDir.empty() ? posix::DefaultSystemDir() : o.systemDir;
    posix::EventLoop loop;
    std::unique_ptr<serve::Hub> hub;
    std::unique_ptr<serve::Server> server;
    try {
        options.listen = serve::ParseListen(o.listen);
        scales = Scales(o);
        if (!o.tokenFile.empty()) options.token = serve::LoadToken(o.tokenFile);
        for (const std::string& origin : o.allowOrigins)
            options.allowOrigins.push_back(serve::ParseOrigin(origin));
        posix::PortResolver ports(systemDir);
        std::vector<std::string> devices;
        for (const auto& s : scales)
            devices.push_back(s.device.empty() ? ports.Resolve(static_cast<std::int16_t>(s.port))
                                               : s.device);
        serve::RefuseSharedDevices(scales, devices);
        options.maxClients = static_cast<std::size_t>(o.maxClients);
        options.maxStreams = options.maxClients;
        hub = std::make_unique<serve::Hub>(loop, systemDir, scales);
        server = std::make_unique<serve::Server>(loop, *hub, options);
    } catch (const serve::ConfigError& e) {
        std::fprintf(stderr, "varnel: %s\n", e.what());
        return 2;
    }
    const serve::ListenAddress local = server->Local();
    const bool v6 = local.host.find(':') != std::string::npos;
    std::string names;
    for (const auto& s : scales)
        names += (names.empty() ? "" : ", ") + s.name;
    std::printf("varnel serve: listening on http://%s%s%s:%u/ (scales: %s)\n", v6 ? "[" : "",
                local.host.c_str(), v6 ? "]" : "", local.port, names.c_str());
    std::fflush(stdout);

    boost::asio::signal_set signals(loop.Context(), SIGINT, SIGTERM);
    signals.async_wait([&](const boost::system::error_code& ec, int) {
        if (ec) return;
        server->Stop();
        hub->Close();
        loop.Stop();
    });
    hub->Open();
    loop.Run();
    return 0;
}

}  // namespace varnel::cli
