// ZoneFileParser keeps the agent's zone inventory, the zone vector, and brings
// it up to date from the zones file (the top-level `zone` statements of a
// named.conf-style file) once per pass of the main loop. It owns the vector
// for its whole life; the API client borrows the pointer from getZones().
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

    // True once a reading has parsed a file holding at least one zone block
    // (also one without any master zone). A file without any zone block may
    // be caught in the middle of a rewrite and never counts.
    bool hasReadSuccessfully() const { return readSucceeded; }

private:
    // Lets the tests reach the text operations and the read hook.
    friend class ZoneFileParserProbe;

    // One slot of the name index: the folded name's hash and the record's
    // position in the zone vector (emptySlot when unused).
    struct IndexSlot {
        uint32_t hash;
        uint32_t position;
    };
    static constexpr uint32_t emptySlot = UINT32_MAX;

    // Opens the zones file (never through a symbolic link), reads it whole and
    // checks that it did not change during the reading. Fills |_text| and
    // records the file's status for the change check. Logs the reason at
    // ERROR and returns false when the file cannot be queried, is not a
    // regular file, cannot be opened or read, is too large, or changed while
    // it was read; nothing is recorded then.
    bool loadZonesFile(std::string* _text);

    // Reads up to |_size| bytes from |_fd| into |_text|, which ends up holding
    // exactly the bytes read. Returns false on a read error.
    bool read_file(int _fd, size_t _size, std::string* _text);
    // Removes "//" and "/*" ... "*/" comments in place, up to the first NUL.
    void removeComments(std::string* str);
    // Position of the next "zone" at or after |startPos| that stands outside
    // every brace and double quote counted from the start of the text; logs
    // each skipped occurrence at DEBUG. Returns -1 when there is none.
    int findNextZoneStart(std::string* str, int startPos);
    // One past the end of the zone block whose keyword is at |position|: the
    // character after the brace matching the block's first "{", plus one.
    // Returns the text's length plus one when there is no "{" or the braces
    // never balance.
    int zoneEnd(std::string* str, int position);
    // The record of one zone block: its quoted name and the folded value of
    // its `type` statement, flags false. Logs "Loading zone:" with the name.
    // A block without two double quotes gives a record with an empty name.
    zoneData parse_zone(std::string& source);
    // Folds A-Z to a-z in place, up to the first NUL.
    void lowercase(std::string* str);

    // Looks |_zoneName| up ignoring ASCII letter case; when a record has it,
    // flags that record found, counts it and returns true. Returns false when
    // no record has the name.
    bool findZone(const std::string& _zoneName);
    // Clears every record's flags. Returns the positions of the records that
    // were still flagged deleted (deletions the API client has not completed).
    std::vector<size_t> resetRecords();
    // Flags deleted every record neither found nor new and counts them.
    void markDeletedZones();
    // Puts the zone vector in ascending byte order of the names.
    void sortRecords();
    // True when the zones file's status differs from what the last completed
    // reading recorded, when nothing is recorded yet, and when the status
    // cannot be taken.
    bool zonesFileChanged();
    // Erases the records whose type is "slave", keeping the order of the
    // rest. Returns the number erased.
    int removeTrashZones(std::vector<zoneData>* _zones);

    // Brings the brace and quote counts up to position |_pos| of |_text|,
    // going on from where the previous search left them; starts again from
    // position 0 for another text or an earlier position.
    void advanceNesting(const std::string& _text, size_t _pos);
    // Fills the name index with the records now in the zone vector.
    void buildIndex();
    // Adds the record at |_position| of the zone vector to the name index.
    void indexRecord(uint32_t _position, uint32_t _hash);
    // Doubles the name index's capacity and places every entry again.
    void growIndex();
    // Hash of |_name| with A-Z folded to a-z.
    static uint32_t hashName(const std::string& _name);

    // Test hook run after the file was read and before its status is taken a
    // second time; nullptr outside tests.
    static void (*afterReadHook)(const std::string& _path);

    // The configuration, borrowed; asked for the zones file path.
    ConfigFileParser* configFile;
    // The zone vector, owned for the parser's whole life.
    std::unique_ptr<std::vector<zoneData>> zones;
    // The zones file path, taken from the configuration at construction.
    std::string filename;
    // Counts of the latest reading: blocks that met a known record, records
    // flagged deleted, records added.
    int32_t foundZones = 0;
    int32_t deletedZones = 0;
    int32_t newZones = 0;

    // Status of the zones file as the last completed reading saw it.
    bool fileRecorded = false;
    timespec fileMtime = {0, 0};
    timespec fileCtime = {0, 0};
    int64_t fileSize = 0;
    ino_t fileInode = 0;
    dev_t fileDevice = 0;

    // A record stayed flagged deleted into a later pass: the file is read
    // again until a reading completes.
    bool deletionPending = false;

    // Nesting state of the text being searched, valid for positions before
    // nestingPos.
    const char* nestingText = nullptr;
    size_t nestingSize = 0;
    size_t nestingPos = 0;
    int64_t nestingBracket = 0;
    bool nestingQuote = false;

    // Open-addressing index of the zone vector by case-folded name; filled
    // for one reading and released at its end.
    std::vector<IndexSlot> nameIndex;
    size_t indexCount = 0;
    // Hash of the name the latest findZone looked up, so that adding the
    // record it did not find needs no second hashing.
    uint32_t probeHash = 0;

    // Set once a reading has parsed the file; never cleared.
    bool readSucceeded = false;
};

#endif  // VANTREL_ZONEFILEPARSER_H
