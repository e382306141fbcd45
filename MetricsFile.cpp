#include "MetricsFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// One metric without labels, with its help and type lines.
std::string gauge(const char* _name, const char* _help, const std::string& _value) {
    return std::string("# HELP ") + _name + " " + _help + "\n# TYPE " + _name + " gauge\n" + _name +
           " " + _value + "\n";
}

}  // namespace

std::string formatMetrics(const metricsValues& _values) {
    std::string text =
        gauge("vantrel_zones", "Master zones the agent knows.", std::to_string(_values.zones)) +
        gauge("vantrel_last_pass_timestamp_seconds", "End of the latest pass.",
              std::to_string(_values.lastPass)) +
        gauge("vantrel_last_success_timestamp_seconds",
              "End of the latest pass whose every request succeeded.",
              std::to_string(_values.lastSuccess)) +
        gauge("vantrel_deletions_held", "Zone deletions held back by MAX_DELETE_PERCENT.",
              std::to_string(_values.deletionsHeld)) +
        gauge("vantrel_deletions_waiting", "Zone deletions waiting for DELETE_GRACE to pass.",
              std::to_string(_values.deletionsWaiting)) +
        gauge("vantrel_sync_pending", "1 while a full reconciliation is owed.",
              _values.syncPending ? "1" : "0");
    if (_values.bindConfigOk >= 0) {
        text += gauge("vantrel_bind_config_ok",
                      "1 when BIND's checker accepted the configuration BIND loads at its latest "
                      "run, 0 when it refused it or gave no verdict.",
                      _values.bindConfigOk > 0 ? "1" : "0");
    }
    text +=
        "# HELP vantrel_requests_total Requests sent to the service.\n"
        "# TYPE vantrel_requests_total counter\n";
    if (_values.requests != nullptr) {
        for (const auto& entry : *_values.requests) {
            text += "vantrel_requests_total{endpoint=\"" + entry.first.first + "\",outcome=\"" +
                    entry.first.second + "\"} " + std::to_string(entry.second) + "\n";
        }
    }
    return text;
}

bool replaceFile(const std::string& _path, const std::string& _text, std::string& _error) {
    const std::string temporary = _path + ".tmp." + std::to_string(getpid());
    const int fd =
        open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        _error = std::strerror(errno);
        return false;
    }
    size_t written = 0;
    while (written < _text.size()) {
        const ssize_t n = write(fd, _text.data() + written, _text.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        written += static_cast<size_t>(n);
    }
    const bool whole = written == _text.size();
    const int writeErrno = errno;
    if (close(fd) != 0 || !whole || std::rename(temporary.c_str(), _path.c_str()) != 0) {
        _error = std::strerror(whole ? errno : writeErrno);
        unlink(temporary.c_str());
        return false;
    }
    return true;
}
