// ZoneFileParser keeps the agent's zone inventory, the zone vector, and brings
// it up to date once per pass of the main loop from the zones file, read as
// BIND reads its named.conf (NamedConf.h): the primary zones of class IN of
// the file's top level, or of the view ZONES_VIEW names, with the files it
// includes when FOLLOW_INCLUDES is set; never the locally served zones
// (localhost, the private and loopback reverse zones) nor those EXCLUDE_ZONES
// names.
// It owns the vector for its whole life; the API client borrows the pointer
// from getZones(), erases the records whose deletion the service accepted
// and sets their atService mark, and reads the flags of the latest reading.
#ifndef VANTREL_ZONEFILEPARSER_H
#define VANTREL_ZONEFILEPARSER_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "NamedConf.h"
#include "ZoneData.h"

class ConfigFileParser;

// What the latest readZones() did.
enum class readResult {
    Unchanged,     // the files were unchanged and no deletion was owed: not read
    Read,          // the file was read and held a zone statement to consider
    NoZoneBlocks,  // the file was read and held none (getNoZonesReason says why)
    Failed         // a file missing, not regular, unreadable, too large or
                   // changed while read, or a text BIND would refuse
};

// A zone of the zones file that is not mirrored, and why.
struct skippedZone {
    std::string name;
    std::string reason;
};

class ZoneFileParser {
public:
    // Borrows |_configFile| (asked for the zones file path once); creates the
    // empty zone vector.
    explicit ZoneFileParser(const ConfigFileParser* _configFile);
    ~ZoneFileParser();
    ZoneFileParser(const ZoneFileParser&) = delete;
    ZoneFileParser& operator=(const ZoneFileParser&) = delete;

    // One reading of the zones file. Returns the number of zone statements
    // considered (those of the mirrored view, or of the top level); 0 when
    // the files are unchanged, cannot be used (the reason is logged at ERROR
    // and nothing is recorded or flagged but the deletions still owed) or
    // hold no zone statement to consider.
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
    // statement to consider (also one without any primary zone); never
    // cleared.
    bool hasReadSuccessfully() const { return readSucceeded; }
    // What the latest readZones() did.
    readResult getLastResult() const { return lastResult; }
    // The ERROR text the latest reading logged when it failed; empty when it
    // did not fail.
    std::string getReadError() const { return readError; }
    // After setReportSkipped(true), every zone of the latest parsed reading
    // that is not mirrored, with the reason, in file order.
    const std::vector<skippedZone>& getSkippedZones() const { return skippedZones; }
    void setReportSkipped(bool _report) { reportSkipped = _report; }
    // The include statements of the latest parsed reading that were not
    // followed (FOLLOW_INCLUDES is off).
    const std::vector<std::string>& getSkippedIncludes() const { return skippedIncludes; }
    // Why the latest parsed reading held no zone statement to consider, with
    // what would change that.
    const std::string& getNoZonesReason() const { return noZonesReason; }
    // Every file the last trusted reading read, the main file first (only
    // the main file before one).
    std::vector<std::string> getFilesRead() const;

private:
    // Clears the found and new flags and keeps the deleted ones, which mark
    // deletions the API client has not completed. Returns whether any is
    // left. Touches no record when no flag was set.
    bool clearFlags();
    // True when a file's status differs from the one the last trusted
    // reading recorded, when none is recorded and when it cannot be taken.
    bool zonesFileChanged() const;
    // Why statement |_index| of |_conf| is not mirrored when view |_chosen| is
    // considered; empty when it is.
    std::string whyNotMirrored(const namedConf& _conf, uint32_t _index, uint32_t _chosen) const;
    // Sets noZonesReason for a reading of |_conf| that considered |_chosen|.
    void describeNoZones(const namedConf& _conf, uint32_t _chosen);
    // Ends a failed reading: logs |_error| at ERROR and remembers it.
    int failReading(const std::string& _error);
    // Flags the records against the zone statements of |_conf| at |_order|
    // (in folded order of their names) and adds the new ones |_mirrored|
    // marks.
    void mergeRecords(const namedConf& _conf, const std::vector<uint32_t>& _order,
                      const std::vector<bool>& _mirrored);

    // The zone vector, owned for the parser's whole life.
    std::unique_ptr<std::vector<zoneData>> zones;
    // The zones file path, taken from the configuration at construction.
    std::string filename;
    bool followIncludes = false;
    std::string zonesView;
    std::vector<std::string> excludePatterns;
    // Counts of the latest reading: statements that met a known record,
    // records flagged deleted, records added.
    int32_t foundZones = 0;
    int32_t deletedZones = 0;
    int32_t newZones = 0;
    // Some record carries a flag; when false clearFlags has nothing to do.
    bool flagsSet = false;

    // Every file as the last trusted reading saw it; empty before one.
    std::vector<fileStamp> stamps;

    // Set once a reading has parsed a file holding a zone statement.
    bool readSucceeded = false;
    // What the latest trusted reading returned.
    int lastConsidered = 0;
    readResult lastResult = readResult::Unchanged;
    std::string readError;
    bool reportSkipped = false;
    std::vector<skippedZone> skippedZones;
    std::vector<std::string> skippedIncludes;
    std::string noZonesReason;
};

#endif  // VANTREL_ZONEFILEPARSER_H
