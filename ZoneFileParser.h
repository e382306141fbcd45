// ZoneFileParser keeps the agent's zone inventory, the zone vector, and brings
// it up to date from the zones file (the top-level `zone` statements of a
// named.conf-style file) once per pass of the main loop. It owns the vector
// for its whole life; the API client borrows the pointer from getZones().
#ifndef VANTREL_ZONEFILEPARSER_H
#define VANTREL_ZONEFILEPARSER_H

#include <string>
#include <vector>

#include "ZoneData.h"

class ConfigFileParser;

class ZoneFileParser {
public:
    // Borrows |_configFile| (asked for the zones file path); creates the empty
    // zone vector.
    explicit ZoneFileParser(ConfigFileParser* _configFile);
    ~ZoneFileParser();

    // One reading of the zones file. Returns the number of zone blocks found,
    // less the slave records removed; 0 when the file is unchanged, missing,
    // not a regular file, unreadable, changed during the reading, or holds no
    // zone block.
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

    // True once a reading has parsed the file completely (also one that held
    // no master zone).
    bool hasReadSuccessfully() const { return readSucceeded; }

private:
    // Helper-owned private members follow.
    bool readSucceeded = false;
};

#endif  // VANTREL_ZONEFILEPARSER_H
