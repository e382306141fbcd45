#include "ZonesWatch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Vantrel.h"

namespace {

// Everything that changes the file's content, status or place; the file's
// own reading (open, read, close without writing) raises none of them.
constexpr uint32_t WATCHED_EVENTS = IN_CLOSE_WRITE | IN_MODIFY | IN_ATTRIB | IN_CREATE | IN_DELETE |
                                    IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF |
                                    IN_ONLYDIR;

}  // namespace

ZonesWatch::ZonesWatch(const std::string& _path) {
    const size_t slash = _path.rfind('/');
    folder = slash == std::string::npos ? "." : slash == 0 ? "/" : _path.substr(0, slash);
    name = slash == std::string::npos ? _path : _path.substr(slash + 1);
}

ZonesWatch::~ZonesWatch() {
    close();
}

void ZonesWatch::close() {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

bool ZonesWatch::ensure() {
    if (fd >= 0) {
        return true;
    }
    fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd >= 0 && inotify_add_watch(fd, folder.c_str(), WATCHED_EVENTS) >= 0) {
        failureLogged = false;
        return true;
    }
    const std::string reason = std::strerror(errno);
    close();
    if (!failureLogged) {
        failureLogged = true;
        eventLog(ERROR, "Cannot watch " + folder + " for changes of the zones file (" + reason +
                            "); checking it every UPDATE_INTERVAL seconds instead.");
    }
    return false;
}

bool ZonesWatch::consumeEvents() {
    bool changed = false;
    alignas(inotify_event) char buffer[16384];
    while (fd >= 0) {
        const ssize_t length = read(fd, buffer, sizeof buffer);
        if (length <= 0) {
            if (length < 0 && errno == EINTR) {
                continue;
            }
            break;
        }
        for (ssize_t at = 0; at < length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if ((event->mask & IN_Q_OVERFLOW) != 0 || (event->len > 0 && name == event->name)) {
                changed = true;
            }
            if ((event->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) != 0) {
                // The folder is gone or moved: watch it again at the next pass.
                changed = true;
                close();
                break;
            }
        }
    }
    return changed;
}
