// The metrics of the last runs, for node_exporter's textfile collector: a
// Prometheus text-format file ("metrics.textfile") replaced atomically after
// each run, so that a scrape never reads it half-written.
#pragma once

#include <string>
#include <vector>

#include "localplatform/history/run_history.h"

namespace localplatform {

// The text of the file: per registration item (label "item"), its last run's
// start and end (Unix seconds), duration, success (1 for "completed", else
// 0), mailboxes processed, messages deleted and moved, bytes freed and
// folders that failed, each metric named "quellix_last_run_..." with its
// HELP and TYPE lines. Runs without an end are left out.
[[nodiscard]] std::string MetricsText(const std::vector<RunRecord>& lastRuns);

// Label value quoting of the text format: backslash, double quote and line
// break escaped.
[[nodiscard]] std::string MetricsLabelValue(const std::string& value);

// Replaces the file at path with text: written to a new file in the same
// folder, flushed to disk, renamed over path (mode 0644, for the collector),
// and the folder flushed. Raises platform::Error naming the path; the old
// file is then left as it was.
void WriteMetricsFile(const std::string& path, const std::string& text);

}  // namespace localplatform
