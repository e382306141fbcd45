// The agent's metrics as a file in the Prometheus text format, for
// node_exporter's textfile collector. The file is replaced whole (a temporary
// file in the same folder, then a rename), so a reader never sees half of it.
#ifndef VANTREL_METRICSFILE_H
#define VANTREL_METRICSFILE_H

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <utility>

// The figures one metrics file reports.
struct metricsValues {
    size_t zones = 0;             // master zones known
    time_t lastPass = 0;          // end of the latest pass or early reading
    time_t lastSuccess = 0;       // end of the latest one whose every request succeeded
    size_t deletionsHeld = 0;     // deletions the guard holds back
    size_t deletionsWaiting = 0;  // deletions waiting for DELETE_GRACE
    bool syncPending = false;     // a repair is owed
    // BIND's latest verdict on its configuration: 1 accepted, 0 refused or
    // no verdict (the checker failed); -1 none (check off or not run yet),
    // which leaves the gauge out of the file.
    int bindConfigOk = -1;
    // Requests by endpoint name and outcome; borrowed.
    const std::map<std::pair<std::string, std::string>, uint64_t>* requests = nullptr;
};

// The metrics text of |_values|.
std::string formatMetrics(const metricsValues& _values);

// Replaces |_path| with |_text|. Returns false with the reason in |_error|;
// no temporary file is left behind either way.
bool replaceFile(const std::string& _path, const std::string& _text, std::string& _error);

#endif  // VANTREL_METRICSFILE_H
