#include "algctl_format.h"

#include <time.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

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

QJsonValue JsonText(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<int>(text.size()));
}

}  // namespace

std::string JsonWithoutC1(const QJsonDocument& document) {
    const QByteArray utf8 = document.toJson(QJsonDocument::Indented);
    std::string out;
    out.reserve(static_cast<std::size_t>(utf8.size()));
    for (int i = 0; i < utf8.size(); ++i) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        const auto next = i + 1 < utf8.size() ? static_cast<unsigned char>(utf8[i + 1]) : 0;
        char escape[8];
        if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {
            std::snprintf(escape, sizeof escape, "\\u%04x", next);
            out += escape;
            ++i;
        } else if (c == 0x7F) {
            out += "\\u007f";
        } else if (IsHiddenFormatChar(std::string_view(
                       utf8.constData() + i, static_cast<std::size_t>(utf8.size() - i)))) {
            const auto low = static_cast<unsigned>(((next & 0x3) << 6) | (utf8[i + 2] & 0x3F));
            std::snprintf(escape, sizeof escape, "\\u20%02x", low);
            out += escape;
            i += 2;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}


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

std::vector<std::string> StatusHeader() {
    return {std::begin(kHeader), std::end(kHeader)};
}

std::vector<std::string> StatusRow(const StatusEntry& e) {
    const ProxyInfo& i = e.info;
    return {Dash(e.service),        Dash(i.version),        Dash(i.buildDate),
            Dash(i.listenerPort),   Dash(i.activeRequests), Dash(i.totalRequests),
            Dash(i.authSystem),     Dash(i.sysLogLevel),    Dash(i.consoleLevel),
            Dash(i.snmpLevel),      TypeName(i.lastMsgType), Age(e.ageMs),
            EscapeControls(i.lastMsgText)};
}

std::string FormatStatusTable(const std::vector<StatusEntry>& entries) {
    std::vector<std::vector<std::string>> rows{StatusHeader()};
    for (const StatusEntry& e : entries) rows.push_back(StatusRow(e));
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
    QJsonArray rows;
    for (const StatusEntry& e : entries) {
        const ProxyInfo& i = e.info;
        rows.append(QJsonObject{
            {"name", JsonText(e.service)},
            {"version", JsonText(i.version)},
            {"build_date", JsonText(i.buildDate)},
            {"listener_port", JsonText(i.listenerPort)},
            {"active_requests", JsonText(i.activeRequests)},
            {"total_requests", JsonText(i.totalRequests)},
            {"auth_system", JsonText(i.authSystem)},
            {"syslog_level", JsonText(i.sysLogLevel)},
            {"console_level", JsonText(i.consoleLevel)},
            {"snmp_level", JsonText(i.snmpLevel)},
            {"last_message_type", i.lastMsgType},
            {"last_message", JsonText(i.lastMsgText)},
            {"age_ms", static_cast<qint64>(e.ageMs)},
            {"stale", e.ageMs > kStaleMs},
        });
    }
    return JsonWithoutC1(QJsonDocument(rows));
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
