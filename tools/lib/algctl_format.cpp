#include "algctl_format.h"

#include <time.h>

#include <algorithm>
#include <cstdio>

#include "basis.h"

namespace alg::ctl {

namespace {

constexpr const char* kHeader[] = {"NAME",   "VERSION", "BUILD", "PORT", "ACTIVE", "TOTAL",  "AUTH",
                                   "SYSLOG", "CONSOLE", "SNMP",  "LAST", "AGE",    "MESSAGE"};

std::string Age(std::int64_t ms) {
    char text[48];
    std::snprintf(text, sizeof text, "%lld.%llds%s", static_cast<long long>(ms / 1000),
                  static_cast<long long>((ms % 1000) / 100), ms > kStaleMs ? " stale" : "");
    return text;
}

std::string Dash(const std::string& text) {
    return text.empty() ? "-" : EscapeControls(text);
}

std::string JsonText(const std::string& text) {
    std::string out = "\"";
    for (const unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20 || c >= 0x7F) {
            // Bytes are shown as Latin-1 code points: valid JSON whatever the encoding.
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

}  // namespace

std::string TypeName(std::int32_t type) {
    switch (type) {
        case 0:
            return "notice";
        case 1:
            return "info";
        case 2:
            return "warning";
        case 3:
            return "error";
        default:
            return std::to_string(type);
    }
}

std::string FormatStatusTable(const std::vector<StatusEntry>& entries) {
    std::vector<std::vector<std::string>> rows;
    rows.emplace_back(std::begin(kHeader), std::end(kHeader));
    for (const StatusEntry& e : entries) {
        const ProxyInfo& i = e.info;
        rows.push_back({Dash(e.service), Dash(i.version), Dash(i.buildDate), Dash(i.listenerPort),
                        Dash(i.activeRequests), Dash(i.totalRequests), Dash(i.authSystem),
                        Dash(i.sysLogLevel), Dash(i.consoleLevel), Dash(i.snmpLevel),
                        TypeName(i.lastMsgType), Age(e.ageMs), EscapeControls(i.lastMsgText)});
    }
    std::vector<std::size_t> width(std::size(kHeader), 0);
    for (const auto& row : rows)
        for (std::size_t c = 0; c < row.size(); ++c) width[c] = std::max(width[c], row[c].size());
    std::string out;
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t c = 0; c < row.size(); ++c) {
            line += row[c];
            if (c + 1 < row.size()) line += std::string(width[c] - row[c].size() + 2, ' ');
        }
        while (!line.empty() && line.back() == ' ') line.pop_back();
        out += line + "\n";
    }
    return out;
}

std::string FormatStatusJson(const std::vector<StatusEntry>& entries) {
    std::string out = "[";
    for (std::size_t n = 0; n < entries.size(); ++n) {
        const StatusEntry& e = entries[n];
        const ProxyInfo& i = e.info;
        out += n ? ",\n " : "\n ";
        out += "{\"name\": " + JsonText(e.service) + ", \"version\": " + JsonText(i.version) +
               ", \"build_date\": " + JsonText(i.buildDate) +
               ", \"listener_port\": " + JsonText(i.listenerPort) +
               ", \"active_requests\": " + JsonText(i.activeRequests) +
               ", \"total_requests\": " + JsonText(i.totalRequests) +
               ", \"auth_system\": " + JsonText(i.authSystem) +
               ", \"syslog_level\": " + JsonText(i.sysLogLevel) +
               ", \"console_level\": " + JsonText(i.consoleLevel) +
               ", \"snmp_level\": " + JsonText(i.snmpLevel) +
               ", \"last_message_type\": " + std::to_string(i.lastMsgType) +
               ", \"last_message\": " + JsonText(i.lastMsgText) +
               ", \"age_ms\": " + std::to_string(e.ageMs) +
               ", \"stale\": " + (e.ageMs > kStaleMs ? "true" : "false") + "}";
    }
    return out + (entries.empty() ? "]\n" : "\n]\n");
}

std::string FormatLogEntry(const LogEntry& e) {
    const time_t t = time_t(e.time);
    tm parts{};
    localtime_r(&t, &parts);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &parts);
    return std::string(stamp) + " " + Dash(e.service) + " " + TypeName(e.type) + " " +
           EscapeControls(e.line);
}

}  // namespace alg::ctl
