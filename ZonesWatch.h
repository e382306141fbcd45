// ZonesWatch tells the main loop when the zones file may have changed, through
// Linux inotify on the file's folder, so that a rename into place, a delete
// and re-create and an in-place rewrite are all seen. It owns its inotify
// descriptor. When the watch cannot be set up it says why once and the loop
// keeps polling; ensure() tries again at every pass.
#ifndef VANTREL_ZONESWATCH_H
#define VANTREL_ZONESWATCH_H

#include <string>

class ZonesWatch {
public:
    // Watches the folder of |_path| for events about its last component.
    explicit ZonesWatch(const std::string& _path);
    ~ZonesWatch();
    ZonesWatch(const ZonesWatch&) = delete;
    ZonesWatch& operator=(const ZonesWatch&) = delete;

    // Sets the watch up unless it is active. Returns false, having logged the
    // reason at ERROR the first time in a row, when it cannot be.
    bool ensure();
    // The descriptor to wait on; -1 while the watch is not active.
    int getFd() const { return fd; }
    // Reads every pending event. True when one concerns the zones file or
    // events were lost; an event that ends the watch (the folder went away)
    // deactivates it.
    bool consumeEvents();

private:
    void close();

    std::string folder;
    std::string name;
    int fd = -1;
    // The last failure was logged; cleared by a success.
    bool failureLogged = false;
};

#endif  // VANTREL_ZONESWATCH_H
