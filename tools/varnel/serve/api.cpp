#include "tools/varnel/serve/api.h"

#include <charconv>
#include <cmath>
#include <nlohmann/json.hpp>
#include <vector>

#include "control/variant.h"
#include "tools/varnel/output.h"
#include "tools/varnel/serve/assets.h"
#include "tools/varnel/units.h"

namespace varnel::serve {

namespace {

using json = nlohmann::json;

constexpr int kDefaultStable = 3;
constexpr int kMaxStable = 100;
constexpr double kDefaultTimeout = 10.0;  // seconds
constexpr double kMaxTimeout = 60.0;

Reply Error(unsigned status, const std::string& message) {
    return Reply{status, "application/json", "{\"error\":" + cli::JsonString(message) + "}", "",
                 false};
}

Reply Json(std::string body) {
    return Reply{200, "application/json", std::move(body), "", false};
}

constexpr std::string_view kGetHead = "GET, HEAD";

// "/api/scales/a" -> {"api", "scales", "a"}; nothing for a path that does not start with '/'.
std::vector<std::string_view> Segments(std::string_view path) {
    std::vector<std::string_view> out;
    if (!path.starts_with('/')) return out;
    while (!path.empty()) {
        path.remove_prefix(1);  // the '/'
        const auto slash = path.find('/');
        out.push_back(path.substr(0, slash));
        if (slash == std::string_view::npos) break;
        path.remove_prefix(slash);
    }
    return out;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string PercentDecode(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '+') {
            out += ' ';
        } else if (s[i] == '%' && i + 2 < s.size() && HexDigit(s[i + 1]) >= 0 &&
                   HexDigit(s[i + 2]) >= 0) {
            out += static_cast<char>(HexDigit(s[i + 1]) * 16 + HexDigit(s[i + 2]));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front())))
        s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())))
        s.remove_suffix(1);
    return s;
}

// A setting from a request body: a name as plain text or a JSON string, or {"<key>": name or
// enum number}. nullopt for anything else.
template <typename Enum>
std::optional<Enum> SettingFrom(std::string_view body, const char* key, int highest,
                                std::optional<Enum> (*parse)(std::string_view)) {
    body = Trim(body);
    if (body.empty() || (body.front() != '{' && body.front() != '"')) return parse(body);
    const json j = json::parse(body.begin(), body.end(), nullptr, false);
    const json* value = &j;
    if (j.is_object()) {
        if (j.size() != 1 || !j.contains(key)) return std::nullopt;
        value = &j[key];
    }
    if (value->is_string()) return parse(value->get<std::string>());
    if (j.is_object() && value->is_number_integer() && value->get<long long>() >= 0 &&
        value->get<long long>() <= highest) {
        return static_cast<Enum>(value->get<int>());
    }
    return std::nullopt;
}

std::optional<double> Number(std::string_view text) {
    double v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || !std::isfinite(v))
        return std::nullopt;
    return v;
}

}  // namespace

std::string_view PathOf(std::string_view target) {
    return target.substr(0, target.find('?'));
}

std::optional<std::string> QueryParameter(std::string_view target, std::string_view key) {
    const auto q = target.find('?');
    if (q == std::string_view::npos) return std::nullopt;
    std::string_view query = target.substr(q + 1);
    while (!query.empty()) {
        const auto amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        const auto eq = pair.find('=');
        if (PercentDecode(pair.substr(0, eq)) == key) {
            return eq == std::string_view::npos ? "" : PercentDecode(pair.substr(eq + 1));
        }
        if (amp == std::string_view::npos) break;
        query.remove_prefix(amp + 1);
    }
    return std::nullopt;
}

bool Api::IsEventStream(std::string_view target, std::string& scale) {
    const auto s = Segments(PathOf(target));
    if (s.size() == 2 && s[0] == "api" && s[1] == "events") {
        scale.clear();
        return true;
    }
    if (s.size() == 4 && s[0] == "api" && s[1] == "scales" && s[3] == "events" && hub_.Has(s[2])) {
        scale = std::string(s[2]);
        return true;
    }
    return false;
}

std::function<void()> Api::Handle(const Request& req, const std::function<void(Reply)>& respond) {
    const std::string_view path = PathOf(req.target);
    const auto s = Segments(path);
    // What the path names, and the methods it answers (OPTIONS besides).
    enum class Resource {
        kNone,
        kServer,
        kAsset,
        kScaleRead,
        kEvents,
        kScales,
        kScale,
        kRead,
        kSet
    };
    Resource resource = Resource::kNone;
    std::string_view methods = kGetHead;
    const Asset* asset = FindAsset(path);
    if (req.target == "*") {
        resource = Resource::kServer;
        methods = "GET, HEAD, PUT, POST";
    } else if (asset) {
        resource = Resource::kAsset;
    } else if (s.size() == 2 && s[0] == "hw_proxy" && s[1] == "scale_read") {
        resource = Resource::kScaleRead;
        methods = "POST";
    } else if (s.size() == 2 && s[0] == "api" && s[1] == "events") {
        resource = Resource::kEvents;
    } else if (s.size() >= 2 && s.size() <= 4 && s[0] == "api" && s[1] == "scales") {
        if (s.size() > 2 && !hub_.Has(s[2])) {
            respond(Error(404, "no scale named \"" + std::string(s[2]) + "\""));
            return {};
        }
        if (s.size() == 2) {
            resource = Resource::kScales;
        } else if (s.size() == 3) {
            resource = Resource::kScale;
        } else if (s[3] == "read") {
            resource = Resource::kRead;
        } else if (s[3] == "units" || s[3] == "notify") {
            resource = Resource::kSet;
            methods = "PUT";
        } else if (s[3] == "events") {
            resource = Resource::kEvents;
        }
    }
    if (resource == Resource::kNone) {
        respond(Error(404, "not found"));
        return {};
    }
    if (req.method == "OPTIONS") {
        respond(Reply{204, "", "", std::string(methods) + ", OPTIONS", false});
        return {};
    }
    const bool allowed =
        methods == kGetHead ? req.method == "GET" || req.method == "HEAD" : req.method == methods;
    if (!allowed || resource == Resource::kServer) {
        Reply r = Error(405, "method not allowed; use " + std::string(methods));
        r.allow = std::string(methods) + ", OPTIONS";
        respond(std::move(r));
        return {};
    }
    switch (resource) {
        case Resource::kAsset:
            respond(
                Reply{200, std::string(asset->contentType), std::string(asset->body), "", true});
            break;
        case Resource::kScaleRead:
            respond(ScaleRead(req.body));
            break;
        case Resource::kEvents:
            respond(Error(426,
                          "this is an event stream: open it as a WebSocket, or with "
                          "Accept: text/event-stream"));
            break;
        case Resource::kScales:
            respond(Json(hub_.States()));
            break;
        case Resource::kScale:
            respond(Json(*hub_.State(s[2])));
            break;
        case Resource::kRead:
            return Read(s[2], req.target, respond);
        case Resource::kSet:
            respond(Setting(s[2], s[3], req.body));
            break;
        default:
            break;
    }
    return {};
}

std::function<void()> Api::Read(std::string_view name, std::string_view target,
                                const std::function<void(Reply)>& respond) {
    int stable = kDefaultStable;
    double timeout = kDefaultTimeout;
    if (auto v = QueryParameter(target, "stable")) {
        const auto n = Number(*v);
        if (!n || *n != std::floor(*n) || *n < 1 || *n > kMaxStable) {
            respond(Error(400,
                          "stable must be a whole number from 1 to " + std::to_string(kMaxStable)));
            return {};
        }
        stable = static_cast<int>(*n);
    }
    if (auto v = QueryParameter(target, "timeout")) {
        const auto n = Number(*v);
        if (!n || *n <= 0 || *n > kMaxTimeout) {
            respond(Error(400, "timeout must be a number of seconds above 0, at most 60"));
            return {};
        }
        timeout = *n;
    }
    if (stable > 1 && hub_.Notify(name) != vnEverytime) {
        respond(Error(409,
                      "this scale reports only changed weights (notify changed), so equal "
                      "weights never repeat: read with stable=1, or set notify to everytime"));
        return {};
    }
    const auto ms = std::chrono::milliseconds(static_cast<long long>(std::ceil(timeout * 1000)));
    const std::uint64_t id =
        hub_.Read(name, stable, ms, [respond, timeout](Hub::ReadOutcome outcome) {
            if (outcome.state) return respond(Json(std::move(*outcome.state)));
            Reply r = Error(
                504, "no stable weight within " + FormatSingle(static_cast<float>(timeout)) + " s");
            r.body.pop_back();
            r.body += ",\"seen\":" + cli::JsonString(outcome.seen) + "}";
            respond(std::move(r));
        });
    if (id == 0) return {};
    return [this, id] { hub_.CancelRead(id); };
}

Reply Api::Setting(std::string_view name, std::string_view what, std::string_view body) {
    if (what == "units") {
        const auto units = SettingFrom<VN_UOM_ENUM>(body, "units", 3, &cli::ParseUnits);
        if (!units) return Error(400, std::string("units must be ") + cli::kUnitsChoices);
        return Json(*hub_.SetUnits(name, *units));
    }
    const auto notify = SettingFrom<VN_NOTIFY_ENUM>(body, "notify", 1, &cli::ParseNotify);
    if (!notify) return Error(400, std::string("notify must be ") + cli::kNotifyChoices);
    return Json(*hub_.SetNotify(name, *notify));
}

Reply Api::ScaleRead(std::string_view body) {
    const auto names = hub_.Names();
    const Hub::Kilograms kg = hub_.WeightInKilograms(names.front());
    std::string result = "{\"weight\":" + FormatSingle(kg.weight) +
                         ",\"unit\":\"kg\",\"info\":" + cli::JsonString(kg.info) + "}";
    // A JSON-RPC call gets its answer in the JSON-RPC envelope.
    const json call = json::parse(body.begin(), body.end(), nullptr, false);
    if (call.is_object() && call.contains("jsonrpc")) {
        const json id = call.contains("id") ? call["id"] : json(nullptr);
        return Json("{\"jsonrpc\":\"2.0\",\"id\":" + id.dump() + ",\"result\":" + result + "}");
    }
    return Json(std::move(result));
}

}  // namespace varnel::serve
