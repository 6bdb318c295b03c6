// The metrics file's text: the servers' facts in the Prometheus text
// exposition format, for windows_exporter's textfile collector.
#pragma once

#include <stdint.h>
#include <string>

#include "report/server_facts.h"

// Pure: the whole file for the records in use among count, in their order,
// written at nowUnix by a service that began to run at startUnix (seconds),
// servers named by their UTF-8 names: LF line ends, a final newline, HELP
// and TYPE once per metric, label values escaped. A record whose name an
// earlier one already has is left out, so that no series stands twice.
std::string RenderMetrics(const ServerFacts* servers, uint32_t count, int64_t nowUnix,
                          int64_t startUnix);

// Pure: a label value as it stands between the quotes: backslash, double
// quote and line feed escaped.
std::string EscapeLabel(const char* value);
