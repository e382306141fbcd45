#include "ZonesWatch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "EventLog.h"

namespace {

// Everything that changes the file's content, status or place; the file's
// own reading (open, read, close without writing) raises none of them.
constexpr uint32_t WATCHED_EVENTS = IN_CLOSE_WRITE | IN_MODIFY | IN_ATTRIB | IN_CREATE | IN_DELETE |
                                    IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF |
                                    IN_ONLYDIR;

}  // namespace

ZonesWatch::ZonesWatch(const std::string& _path) {
    setPaths({_path});
}

ZonesWatch::~ZonesWatch() {
    close();
}

void ZonesWatch::close() {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
    watched.clear();
}

void ZonesWatch::setPaths(const std::vector<std::string>& _paths) {
    std::map<std::string, std::set<std::string>> next;
    for (const std::string& path : _paths) {
        const size_t slash = path.rfind('/');
        next[slash == std::string::npos ? "."
             : slash == 0               ? "/"
                                        : path.substr(0, slash)]
            .insert(slash == std::string::npos ? path : path.substr(slash + 1));
    }
    if (next == folders) {
        return;
    }
    folders = std::move(next);
    // Watches of folders no longer needed go; the others stay, so that no
    // event is lost while the list changes.
    for (auto at = watched.begin(); at != watched.end();) {
        if (folders.count(at->second) == 0) {
            inotify_rm_watch(fd, at->first);
            at = watched.erase(at);
        } else {
            ++at;
        }
    }
    std::string failed;
    if (fd >= 0 && !addWatches(&failed)) {
        close();
    }
}

bool ZonesWatch::addWatches(std::string* _failed) {
    for (const auto& folder : folders) {
        const int wd = inotify_add_watch(fd, folder.first.c_str(), WATCHED_EVENTS);
        if (wd < 0) {
            *_failed = folder.first;
            return false;
        }
        watched[wd] = folder.first;
    }
    return true;
}

bool ZonesWatch::ensure() {
    if (fd >= 0) {
        return true;
    }
    std::string failed;
    fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd >= 0 && addWatches(&failed)) {
        failureLogged = false;
        return true;
    }
    const std::string reason = std::strerror(errno);
    close();
    if (!failureLogged) {
        failureLogged = true;
        eventLog(ERROR, "Cannot watch " + failed + " for changes of the zones file (" + reason +
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
            const auto folder = watched.find(event->wd);
            if ((event->mask & IN_Q_OVERFLOW) != 0 ||
                (event->len > 0 && folder != watched.end() &&
                 folders[folder->second].count(event->name) > 0)) {
                changed = true;
            }
            if ((event->mask & (IN_DELETE_SELF | IN_MOVE_SELF)) != 0) {
                // A folder is gone or moved: watch again at the next pass.
                changed = true;
                close();
                break;
            }
        }
    }
    return changed;
}
