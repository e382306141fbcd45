// ZoneFileParser keeps the agent's zone inventory, the zone vector, and brings
// it up to date from the zones file (the top-level `zone` statements of a
// named.conf-style file) once per pass of the main loop. It owns the vector
// for its whole life; the API client borrows the pointer from getZones(),
// erases the records whose deletion the service accepted and sets their
// atService mark, and reads the flags of the latest reading.
#ifndef VANTREL_ZONEFILEPARSER_H
#define VANTREL_ZONEFILEPARSER_H

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "ZoneData.h"

class ConfigFileParser;

// A zone of the zones file that the agent does not mirror, and why.
struct skippedZone {
    std::string name;
    std::string reason;
};

// What the latest readZones() did.
enum class readResult {
    Unchanged,     // the file was unchanged and no deletion was owed: not read
    Read,          // the file was parsed and held at least one zone block
    NoZoneBlocks,  // the file was parsed and held no zone block
    Failed         // missing, not regular, unreadable, too large, changed
                   // while read, or its text ends inside a block, quote or
                   // comment
};

class ZoneFileParser {
public:
    // Borrows |_configFile| (asked for the zones file path once); creates the
    // empty zone vector.
    explicit ZoneFileParser(const ConfigFileParser* _configFile);
    ~ZoneFileParser();
    ZoneFileParser(const ZoneFileParser&) = delete;
    ZoneFileParser& operator=(const ZoneFileParser&) = delete;

    // One reading of the zones file. Returns the number of zone blocks found;
    // 0 when the file is unchanged, cannot be used (the reason is logged at
    // ERROR and nothing is recorded or flagged but the deletions still owed)
    // or holds no zone block.
    int readZones();

    // The zone vector; the same pointer for the parser's whole life.
    std::vector<zoneData>* getZones();
    // A newly allocated array (release with delete[]) holding a copy of every
    // record in vector order; |zone_count| is set to their number.
    zoneData* getZones(int& zone_count);

    // When the latest reading found, added or flagged any record, stores the
    // new and deleted counts and returns true; otherwise returns false and
    // leaves both untouched.
    bool zonesChanged(int& _newZones, int& _deletedZones);

    // True once a reading has parsed a whole text holding at least one zone
    // block (also one without any master zone); never cleared.
    bool hasReadSuccessfully() const { return readSucceeded; }
    // What the latest readZones() did.
    readResult getLastResult() const { return lastResult; }
    // The ERROR text the latest reading logged when it failed; empty when it
    // did not fail.
    std::string getReadError() const { return readError; }
    // Names of the zone blocks of the latest parsed reading that gave no type
    // (empty for a block without a quoted name), in file order.
    const std::vector<std::string>& getTypelessZones() const { return typelessZones; }
    // Every zone of the latest parsed reading that is not mirrored, with a
    // short reason, in file order.
    const std::vector<skippedZone>& getSkippedZones() const { return skippedZones; }

private:
    // Clears the found and new flags and keeps the deleted ones, which mark
    // deletions the API client has not completed. Returns whether any is
    // left. Touches no record when no flag was set.
    bool clearFlags();
    // True when the file's status differs from the one the last trusted
    // reading recorded, when none is recorded and when it cannot be taken.
    bool zonesFileChanged() const;
    // Ends a failed reading: logs |_error| at ERROR and remembers it.
    int failReading(const std::string& _error);

    // The zone vector, owned for the parser's whole life.
    std::unique_ptr<std::vector<zoneData>> zones;
    // The zones file path, taken from the configuration at construction.
    std::string filename;
    // Counts of the latest reading: blocks that met a known record, records
    // flagged deleted, records added.
    int32_t foundZones = 0;
    int32_t deletedZones = 0;
    int32_t newZones = 0;
    // Some record carries a flag; when false clearFlags has nothing to do.
    bool flagsSet = false;

    // Status of the zones file as the last trusted reading saw it.
    bool fileRecorded = false;
    timespec fileMtime = {0, 0};
    timespec fileCtime = {0, 0};
    int64_t fileSize = 0;
    ino_t fileInode = 0;
    dev_t fileDevice = 0;

    // Set once a reading has parsed a file holding a zone block.
    bool readSucceeded = false;
    readResult lastResult = readResult::Unchanged;
    std::string readError;
    std::vector<std::string> typelessZones;
    std::vector<skippedZone> skippedZones;
};

#endif  // VANTREL_ZONEFILEPARSER_H
