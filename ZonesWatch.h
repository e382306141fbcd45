// ZonesWatch tells the main loop when the zones file, or a file it includes,
// may have changed, through Linux inotify on the files' folders, so that a
// rename into place, a delete and re-create and an in-place rewrite are all
// seen. It owns its inotify descriptor. When the watch cannot be set up it
// says why once and the loop keeps polling; ensure() tries again at every
// pass.
#ifndef VANTREL_ZONESWATCH_H
#define VANTREL_ZONESWATCH_H

#include <map>
#include <set>
#include <string>
#include <vector>

class ZonesWatch {
public:
    // Watches the folder of |_path| for events about its last component.
    explicit ZonesWatch(const std::string& _path);
    ~ZonesWatch();
    ZonesWatch(const ZonesWatch&) = delete;
    ZonesWatch& operator=(const ZonesWatch&) = delete;

    // Watches |_paths| instead: the files the latest reading read.
    void setPaths(const std::vector<std::string>& _paths);
    // Sets the watch up unless it is active. Returns false, having logged the
    // reason at ERROR the first time in a row, when it cannot be.
    bool ensure();
    // The descriptor to wait on; -1 while the watch is not active.
    int getFd() const { return fd; }
    // Reads every pending event. True when one concerns a watched file or
    // events were lost; an event that ends a folder's watch (the folder went
    // away) deactivates the watch.
    bool consumeEvents();

private:
    void close();
    // Adds a watch for every folder; false when one cannot be watched.
    bool addWatches(std::string* _failed);

    // The watched files' names, by folder.
    std::map<std::string, std::set<std::string>> folders;
    // The folder of each watch descriptor.
    std::map<int, std::string> watched;
    int fd = -1;
    // The last failure was logged; cleared by a success.
    bool failureLogged = false;
};

#endif  // VANTREL_ZONESWATCH_H
