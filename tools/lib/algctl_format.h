// How `algctl status` and `algctl log` show what the management service holds.
#pragma once

#include <QJsonDocument>

#include <cstdint>
#include <string>
#include <vector>

#include "algctl_service.h"

namespace alg::ctl {

// A status record older than this is marked stale.
inline constexpr std::int64_t kStaleMs = 10000;

// The document as indented UTF-8 with DEL, C1 controls and the characters IsHiddenFormatChar
// names written as \u escapes: the same JSON value, and nothing a terminal would take for a
// control sequence or that would reorder or break the lines shown (Qt escapes only C0
// controls).
std::string JsonWithoutC1(const QJsonDocument& document);

// "notice", "info", "warning", "error", or the number for any other value.
std::string TypeName(std::int32_t type);

// Every text a service sent is shown with its terminal controls escaped (EscapeControls).

// The column names of `algctl status` and one service's cells under them.
std::vector<std::string> StatusHeader();
std::vector<std::string> StatusRow(const StatusEntry& entry);
// One header row and one row per service, columns aligned.
std::string FormatStatusTable(const std::vector<StatusEntry>& entries);
// A JSON array with one object per service; every text escaped so the output stays valid
// JSON whatever bytes a service sent.
std::string FormatStatusJson(const std::vector<StatusEntry>& entries);
// "YYYY-MM-DD HH:MM:SS service type line" (local time), without a newline.
std::string FormatLogEntry(const LogEntry& entry);

}  // namespace alg::ctl
