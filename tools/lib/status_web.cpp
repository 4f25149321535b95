#include "status_web.h"

#include <QString>

#include <algorithm>
#include <cstdlib>

#include "algctl_format.h"
#include "basis.h"

namespace alg::ctl {

namespace {

constexpr int kChartWidth = 240, kChartHeight = 40;

// Any bytes as valid UTF-8 (invalid sequences become U+FFFD), as both formats require.
std::string Utf8(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<int>(text.size())).toUtf8().toStdString();
}

std::string LabelValue(const std::string& text) {
    std::string out;
    for (char c : Utf8(text)) {
        if (c == '\\' || c == '"')
            out += std::string("\\") + c;
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

std::string Labels(std::initializer_list<std::pair<const char*, std::string>> labels) {
    std::string out = "{";
    for (const auto& [name, value] : labels)
        out += std::string(out.size() > 1 ? "," : "") + name + "=\"" + LabelValue(value) + "\"";
    return out + "}";
}

bool Number(const std::string& text, long long& value) {
    char* end = nullptr;
    value = std::strtoll(text.c_str(), &end, 10);
    return !text.empty() && *end == '\0';
}

void Family(std::string& out, const char* name, const char* type, const char* help) {
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

std::string Html(const std::string& text) {
    std::string out;
    for (char c : Utf8(text)) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
    return out;
}

// Active sessions over the last 10 minutes, newest at the right edge.
std::string Chart(const std::vector<Overview::Sample>& samples) {
    long top = 1;
    for (const Overview::Sample& s : samples) top = std::max(top, s.active);
    std::string points;
    for (const Overview::Sample& s : samples) {
        const long long x = kChartWidth - s.ageMs * kChartWidth / Service::kHistoryMs;
        const long long y = kChartHeight - 2 - s.active * (kChartHeight - 4) / top;
        points += std::to_string(x) + "," + std::to_string(y) + " ";
    }
    return "<svg class=\"chart\" width=\"" + std::to_string(kChartWidth) + "\" height=\"" +
           std::to_string(kChartHeight) + "\"><title>active sessions, last 10 minutes, peak " +
           std::to_string(top) + "</title><line x1=\"0\" y1=\"" +
           std::to_string(kChartHeight - 1) + "\" x2=\"" + std::to_string(kChartWidth) +
           "\" y2=\"" + std::to_string(kChartHeight - 1) +
           "\" stroke=\"#bbb\"/><polyline fill=\"none\" stroke=\"#26c\" points=\"" +
           points + "\"/></svg>";
}

}  // namespace

std::string FormatMetrics(const Overview& o) {
    std::string out;
    struct Gauge {
        const char* name;
        const char* type;
        const char* help;
        std::string ProxyInfo::*field;
    };
    const Gauge gauges[] = {
        {"alg_gateway_active_sessions", "gauge", "Sessions in progress.", &ProxyInfo::activeRequests},
        {"alg_gateway_sessions_total", "counter", "Sessions since the gateway started.",
         &ProxyInfo::totalRequests},
        {"alg_gateway_listen_port", "gauge", "TCP port the gateway listens on.",
         &ProxyInfo::listenerPort},
    };
    for (const Gauge& g : gauges) {
        Family(out, g.name, g.type, g.help);
        for (const StatusEntry& e : o.entries) {
            long long value = 0;
            if (Number(e.info.*g.field, value))
                out += g.name + Labels({{"service", e.service}}) + " " + std::to_string(value) +
                       "\n";
        }
    }
    Family(out, "alg_gateway_info", "gauge",
           "Always 1; the gateway's version, authentication system and log levels as labels.");
    for (const StatusEntry& e : o.entries)
        out += "alg_gateway_info" +
               Labels({{"service", e.service},
                       {"version", e.info.version},
                       {"auth_system", e.info.authSystem},
                       {"syslog_level", e.info.sysLogLevel},
                       {"console_level", e.info.consoleLevel},
                       {"snmp_level", e.info.snmpLevel}}) +
               " 1\n";
    Family(out, "alg_gateway_record_age_seconds", "gauge",
           "Seconds since the gateway's latest status record.");
    for (const StatusEntry& e : o.entries) {
        char age[32];
        std::snprintf(age, sizeof age, "%.3f", double(e.ageMs) / 1000);
        out += "alg_gateway_record_age_seconds" + Labels({{"service", e.service}}) + " " + age +
               "\n";
    }
    Family(out, "alg_gateway_stale", "gauge",
           "1 when the latest status record is older than 10 seconds.");
    for (const StatusEntry& e : o.entries)
        out += "alg_gateway_stale" + Labels({{"service", e.service}}) +
               (e.ageMs > kStaleMs ? " 1\n" : " 0\n");
    Family(out, "alg_forwarded_messages_total", "counter",
           "Messages the gateways forwarded to the management service since it started.");
    for (const Overview::Count& c : o.counts)
        out += "alg_forwarded_messages_total" +
               Labels({{"service", c.service}, {"type", TypeName(c.type)}}) + " " +
               std::to_string(c.messages) + "\n";
    return out;
}

std::string FormatStatusPage(const Overview& o) {
    std::string out =
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">"
        "<meta http-equiv=\"refresh\" content=\"3\"><title>gateways</title><style>"
        "body{font-family:sans-serif;font-size:13px}table{border-collapse:collapse}"
        "td,th{border:1px solid #ccc;padding:2px 6px;text-align:left}"
        "tr.stale td{background:#fdd}</style></head><body>\n<h1>Gateways</h1>\n"
        "<table id=\"status\"><tr>";
    for (const std::string& h : StatusHeader()) out += "<th>" + Html(h) + "</th>";
    out += "<th>ACTIVE, 10 MIN</th></tr>\n";
    for (const StatusEntry& e : o.entries) {
        const bool stale = e.ageMs > kStaleMs;
        out += "<tr class=\"gateway" + std::string(stale ? " stale" : "") + "\" data-service=\"" +
               Html(e.service) + "\">";
        for (const std::string& cell : StatusRow(e)) out += "<td>" + Html(cell) + "</td>";
        const auto history = o.history.find(e.service);
        out += "<td>" + Chart(history == o.history.end() ? std::vector<Overview::Sample>{}
                                                         : history->second) +
               "</td></tr>\n";
    }
    out += "</table>\n<h2>Latest messages</h2>\n<table id=\"messages\">"
           "<tr><th>TIME</th><th>SERVICE</th><th>TYPE</th><th>MESSAGE</th></tr>\n";
    for (const LogEntry& m : o.recent) {
        // FormatLogEntry's stamp is the first 19 characters.
        const std::string line = FormatLogEntry(m);
        out += "<tr><td>" + Html(line.substr(0, 19)) + "</td><td>" + Html(EscapeControls(m.service)) +
               "</td><td>" + Html(TypeName(m.type)) + "</td><td>" + Html(EscapeControls(m.line)) +
               "</td></tr>\n";
    }
    return out + "</table>\n</body></html>\n";
}

}  // namespace alg::ctl
