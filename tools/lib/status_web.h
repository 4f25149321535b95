// What `algctl serve --metrics` and `algctl serve --http` answer, rendered from an Overview.
#pragma once

#include <string>

#include "algctl_service.h"

namespace alg::ctl {

// The Prometheus text exposition (format 0.0.4) of the status records and message counters.
std::string FormatMetrics(const Overview& overview);
// One self-contained HTML page (no outside assets, no script) that reloads itself every 3 s:
// the `algctl status` rows, each gateway's active sessions over 10 minutes as an inline SVG
// chart, and the latest forwarded messages.
std::string FormatStatusPage(const Overview& overview);

}  // namespace alg::ctl
