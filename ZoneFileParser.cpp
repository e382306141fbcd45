#include "ZoneFileParser.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string_view>
#include <utility>

#include "ConfigFileParser.h"
#include "Vantrel.h"
#include "mylibs.h"

namespace {

// Positions in the text are signed 32-bit and a block end can be the text's
// length plus one, so the text must stay below INT_MAX.
constexpr size_t maxTextSize = static_cast<size_t>(INT_MAX) - 2;

bool sameTime(const timespec& _a, const timespec& _b) {
    return _a.tv_sec == _b.tv_sec && _a.tv_nsec == _b.tv_nsec;
}

// Characters that end a word before the opening brace of a block.
bool isBlank(char _c) {
    return _c == '\n' || _c == ' ' || _c == '\t' || _c == '\r';
}

// Characters that end a word inside a block. A carriage return is not one:
// it stays part of the word it follows.
struct StatementDelimiters {
    bool table[256] = {};
    StatementDelimiters() {
        for (const unsigned char c : {'\n', ' ', '\t', ';', '{', '}'}) {
            table[c] = true;
        }
    }
    bool operator()(char _c) const { return table[static_cast<unsigned char>(_c)]; }
};
const StatementDelimiters isStatementDelimiter;

// Number of bytes equal to |_byte| among the |_length| bytes at |_data|.
int64_t countByte(const char* _data, size_t _length, char _byte) {
    int64_t count = 0;
    while (_length > 0) {
        // An 8-bit counter per chunk of at most 255 bytes keeps the loop
        // vectorisable without widening.
        const size_t chunk = std::min<size_t>(_length, 255);
        uint8_t n = 0;
        for (size_t i = 0; i < chunk; ++i) {
            n = static_cast<uint8_t>(n + (_data[i] == _byte));
        }
        count += n;
        _data += chunk;
        _length -= chunk;
    }
    return count;
}

// Eight bytes of |_name| from |_offset| on as a big-endian number, padded
// with zero bytes past the name's end.
uint64_t namePrefix(const std::string& _name, size_t _offset) {
    uint64_t prefix = 0;
    const size_t end = std::min<size_t>(_name.size(), _offset + 8);
    for (size_t i = _offset; i < end; ++i) {
        prefix |= static_cast<uint64_t>(static_cast<unsigned char>(_name[i]))
                  << (56 - 8 * (i - _offset));
    }
    return prefix;
}

bool byName(const zoneData& _a, const zoneData& _b) {
    // std::string compares through memcmp: ascending unsigned byte order.
    return _a.zoneNameRef() < _b.zoneNameRef();
}

}  // namespace

void (*ZoneFileParser::afterReadHook)(const std::string& _path) = nullptr;

ZoneFileParser::ZoneFileParser(ConfigFileParser* _configFile)
    : configFile(_configFile), zones(new std::vector<zoneData>()) {
    if (configFile != nullptr) {
        filename = configFile->getZoneFileName();
    }
}

ZoneFileParser::~ZoneFileParser() = default;

int ZoneFileParser::readZones() {
    // The API client erases every record whose deletion the service accepted,
    // so a record still flagged deleted is a deletion that failed. The file is
    // then read again, changed or not, and the record flagged once more.
    const std::vector<size_t> owed = resetRecords();
    if (!owed.empty()) {
        deletionPending = true;
    }
    foundZones = 0;
    deletedZones = 0;
    newZones = 0;

    if (!deletionPending && !zonesFileChanged()) {
        eventLog(DEBUG, "Zones file hasn't changed. Deferring update.");
        return 0;
    }

    std::string text;
    if (!loadZonesFile(&text)) {
        // The owed deletions stay flagged, so that a reconciliation in this
        // pass does not insert those zones again.
        for (const size_t i : owed) {
            (*zones)[i].setDeletedZone(true);
        }
        return 0;
    }
    removeComments(&text);

    buildIndex();
    // One buffer for the blocks of this reading; it grows to the largest.
    std::string block;
    int zone_count = 0;
    int zone_pos = findNextZoneStart(&text, 0);
    while (zone_pos != -1) {
        const int ending_position = zoneEnd(&text, zone_pos);
        const size_t blockEnd = std::min(static_cast<size_t>(ending_position), text.size());
        block.assign(text, static_cast<size_t>(zone_pos), blockEnd - zone_pos);
        zoneData record = parse_zone(block);
        // A block without a usable name neither matches nor adds a record.
        if (!record.zoneNameRef().empty() && !findZone(record.zoneNameRef()) &&
            record.getZoneType() == "master") {
            record.setNewZone(true);
            zones->push_back(std::move(record));
            indexRecord(static_cast<uint32_t>(zones->size() - 1), probeHash);
            ++newZones;
        }
        // The next keyword may start right after the "};" that ends this
        // block, so the search goes on from the block's end itself.
        zone_pos = findNextZoneStart(&text, ending_position);
        ++zone_count;
    }
    // The texts and the index are not needed any more; free them before the
    // vector is rearranged.
    std::string().swap(text);
    std::string().swap(block);
    std::vector<IndexSlot>().swap(nameIndex);
    indexCount = 0;
    nestingText = nullptr;

    eventLog(DEBUG, "Zone changes:" + std::to_string(newZones));
    zone_count -= removeTrashZones(zones.get());
    markDeletedZones();
    sortRecords();

    deletionPending = false;
    // A file without any zone block may be one caught between the truncation
    // and the writing of an in-place rewrite: it does not count as a reading
    // that a reconciliation may trust.
    if (zone_count > 0) {
        readSucceeded = true;
    }
    return zone_count;
}

std::vector<zoneData>* ZoneFileParser::getZones() {
    return zones.get();
}

zoneData* ZoneFileParser::getZones(int& zone_count) {
    zone_count = static_cast<int>(zones->size());
    zoneData* copy = new zoneData[zones->size()];
    for (size_t i = 0; i < zones->size(); ++i) {
        copy[i] = (*zones)[i];
    }
    return copy;
}

bool ZoneFileParser::zonesChanged(int& _newZones, int& _deletedZones) {
    if (foundZones > 0 || deletedZones > 0 || newZones > 0) {
        _newZones = newZones;
        _deletedZones = deletedZones;
        return true;
    }
    return false;
}

bool ZoneFileParser::loadZonesFile(std::string* _text) {
    struct stat linkStatus;
    if (lstat(filename.c_str(), &linkStatus) != 0) {
        eventLog(ERROR, "Error reading file!");
        return false;
    }
    if (!S_ISREG(linkStatus.st_mode)) {
        eventLog(ERROR, "Not a regular file:");
        return false;
    }
    // O_NOFOLLOW refuses a symbolic link put in place since the check above;
    // O_NONBLOCK keeps a FIFO put there from blocking the open.
    const int fd = open(filename.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        eventLog(ERROR, errno == ELOOP ? "Not a regular file:" : "Error reading file!");
        return false;
    }
    struct stat before;
    if (fstat(fd, &before) != 0) {
        close(fd);
        eventLog(ERROR, "Error reading file!");
        return false;
    }
    if (!S_ISREG(before.st_mode)) {
        close(fd);
        eventLog(ERROR, "Not a regular file:");
        return false;
    }
    if (before.st_size < 0 || static_cast<uint64_t>(before.st_size) > maxTextSize) {
        close(fd);
        eventLog(ERROR, "Zones file too large.");
        return false;
    }
    const size_t size = static_cast<size_t>(before.st_size);
    const bool readWhole = read_file(fd, size, _text);
    if (afterReadHook != nullptr) {
        afterReadHook(filename);
    }
    struct stat after;
    const bool statusTaken = fstat(fd, &after) == 0;
    close(fd);
    if (!readWhole || !statusTaken) {
        _text->clear();
        eventLog(ERROR, "Error reading file!");
        return false;
    }
    // A writer at work during the reading may have left a mix of old and new
    // content; the next pass reads the file again.
    if (_text->size() != size || after.st_size != before.st_size ||
        !sameTime(after.st_mtim, before.st_mtim)) {
        _text->clear();
        eventLog(ERROR, "Zones file changed while it was read. Deferring update.");
        return false;
    }
    fileRecorded = true;
    fileMtime = before.st_mtim;
    fileCtime = before.st_ctim;
    fileSize = static_cast<int64_t>(before.st_size);
    fileInode = before.st_ino;
    fileDevice = before.st_dev;
    return true;
}

bool ZoneFileParser::read_file(int _fd, size_t _size, std::string* _text) {
    _text->resize(_size);
    size_t got = 0;
    while (got < _size) {
        const ssize_t n = read(_fd, &(*_text)[got], _size - got);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            _text->clear();
            return false;
        }
        if (n == 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }
    _text->resize(got);
    return true;
}

void ZoneFileParser::removeComments(std::string* str) {
    stripComments(str);
}

int ZoneFileParser::findNextZoneStart(std::string* str, int startPos) {
    const std::string& text = *str;
    if (startPos <= 0) {
        // A search from the start never relies on state left by another text.
        nestingText = nullptr;
        startPos = 0;
    }
    size_t from = static_cast<size_t>(startPos);
    while (from <= text.size()) {
        const size_t p = text.find("zone", from);
        if (p == std::string::npos) {
            return -1;
        }
        advanceNesting(text, p);
        if (nestingBracket == 0 && !nestingQuote) {
            return static_cast<int>(p);
        }
        eventLog(DEBUG, "Found word zone in file... pos:" + std::to_string(p) + " - ignoring...");
        if (text.size() <= p + 4) {
            return -1;
        }
        from = p + 4;
    }
    return -1;
}

void ZoneFileParser::advanceNesting(const std::string& _text, size_t _pos) {
    if (nestingText != _text.data() || nestingSize != _text.size() || _pos < nestingPos) {
        nestingText = _text.data();
        nestingSize = _text.size();
        nestingPos = 0;
        nestingBracket = 0;
        nestingQuote = false;
    }
    // Braces count inside quotes too and quotes have no escapes, so the state
    // at a position is just three counts over the text before it.
    const char* data = _text.data();
    const size_t length = _pos - nestingPos;
    nestingBracket +=
        countByte(data + nestingPos, length, '{') - countByte(data + nestingPos, length, '}');
    nestingQuote = nestingQuote != ((countByte(data + nestingPos, length, '"') & 1) != 0);
    nestingPos = _pos;
}

int ZoneFileParser::zoneEnd(std::string* str, int position) {
    const std::string& text = *str;
    const size_t size = text.size();
    const size_t open = text.find('{', static_cast<size_t>(position));
    if (open == std::string::npos) {
        return static_cast<int>(size + 1);
    }
    // Jump from one "}" to the next: between two of them the depth only
    // grows, so it can reach 0 only at a "}". The "{" in each stretch are
    // counted in one go.
    const char* data = text.data();
    int64_t depth = 1;
    size_t i = open + 1;
    while (i < size) {
        const void* found = std::memchr(data + i, '}', size - i);
        const size_t close =
            found != nullptr ? static_cast<size_t>(static_cast<const char*>(found) - data) : size;
        depth += countByte(data + i, close - i, '{');
        if (close == size) {
            i = size;
            break;
        }
        i = close + 1;
        if (--depth == 0) {
            break;
        }
    }
    // When the keyword search's nesting state stands at this keyword, carry it
    // to the block's end so that the next search need not count the block
    // again: up to the first "{" there is no "{", and from there to the
    // matching "}" the braces cancel out, so only the "}" before the first
    // "{" and the double quotes change it.
    const size_t from = static_cast<size_t>(position);
    if (depth == 0 && nestingText == data && nestingSize == size && nestingPos == from) {
        nestingBracket -= countByte(data + from, open - from, '}');
        nestingQuote = nestingQuote != ((countByte(data + from, i - from, '"') & 1) != 0);
        nestingPos = i;
    }
    return static_cast<int>(i + 1);
}

zoneData ZoneFileParser::parse_zone(std::string& source) {
    zoneData record;
    const size_t size = source.size();
    const char* data = source.data();

    // The name: the text strictly between the first two double quotes. With
    // fewer than two there is no name, and the brace is looked for from the
    // second character on.
    size_t pos_end = 0;
    const size_t pos_begin = source.find('"');
    if (pos_begin != std::string::npos) {
        const size_t closing = source.find('"', pos_begin + 1);
        if (closing != std::string::npos) {
            pos_end = closing;
            record.setZoneName(std::string(data + pos_begin + 1, pos_end - pos_begin - 1));
        }
    }
    if (isLogged(DEBUG)) {
        eventLog(DEBUG, "Loading zone:" + record.zoneNameRef());
    }

    // The opening brace. Words before it (a class, say) are skipped, but a
    // word written against the brace is carried on as the start of the first
    // word inside the block.
    const size_t start = pos_end + 1;
    if (start >= size) {
        return record;
    }
    const size_t brace = source.find('{', start);
    if (brace == std::string::npos) {
        return record;
    }
    size_t carried = brace;
    while (carried > start && !isBlank(data[carried - 1])) {
        --carried;
    }

    // The statements. Every delimiter leaves the current word empty (it
    // becomes the parameter name, completes a statement, or was empty), so a
    // word is the run of characters between two delimiters; only the first
    // one may begin with the carried word and is put together in a buffer.
    size_t position = brace + 1;
    size_t runEnd = position;
    while (runEnd < size && !isStatementDelimiter(data[runEnd])) {
        ++runEnd;
    }
    std::string firstWord;
    std::string_view word(data + position, runEnd - position);
    if (carried < brace) {
        firstWord.assign(data + carried, brace - carried);
        firstWord.append(word.data(), word.size());
        word = firstWord;
    }

    // Only a word "type" can lead to a type, so once the scan has passed the
    // end of the last "type" in the block, with no type statement waiting for
    // its value, nothing further can change the record.
    size_t typeWordsEnd = word == "type" ? runEnd : 0;
    for (size_t found = source.find("type", position); found != std::string::npos;
         found = source.find("type", found + 1)) {
        typeWordsEnd = std::max(typeWordsEnd, found + 4);
    }
    if (typeWordsEnd == 0) {
        return record;
    }

    std::string_view param_name;
    bool param = false;
    while (runEnd < size) {
        if (data[runEnd] == ';' && param) {
            // The statement is complete and |word| is its value.
            if (param_name == "allow-update" || param_name == "allow-transfer") {
                break;
            }
            if (param_name == "type") {
                std::string value(word);
                lowercase(&value);
                record.setZoneType(value);
            }
            param = false;
        } else if (!word.empty()) {
            // The last word before a value is the parameter name.
            param_name = word;
            param = true;
        }
        if (runEnd >= typeWordsEnd && !(param && param_name == "type")) {
            break;
        }
        position = runEnd + 1;
        runEnd = position;
        while (runEnd < size && !isStatementDelimiter(data[runEnd])) {
            ++runEnd;
        }
        word = std::string_view(data + position, runEnd - position);
    }
    return record;
}

void ZoneFileParser::lowercase(std::string* str) {
    for (char& c : *str) {
        if (c == '\0') {
            break;
        }
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
}

bool ZoneFileParser::findZone(const std::string& _zoneName) {
    if (nameIndex.empty()) {
        buildIndex();
    }
    probeHash = hashName(_zoneName);
    const size_t mask = nameIndex.size() - 1;
    for (size_t slot = probeHash & mask; nameIndex[slot].position != emptySlot;
         slot = (slot + 1) & mask) {
        if (nameIndex[slot].hash != probeHash) {
            continue;
        }
        zoneData& record = (*zones)[nameIndex[slot].position];
        if (sameZoneName(record.zoneNameRef(), _zoneName)) {
            record.setFound(true);
            ++foundZones;
            return true;
        }
    }
    return false;
}

std::vector<size_t> ZoneFileParser::resetRecords() {
    std::vector<size_t> stillDeleted;
    for (size_t i = 0; i < zones->size(); ++i) {
        zoneData& record = (*zones)[i];
        if (record.isDeleted()) {
            stillDeleted.push_back(i);
        }
        record.setFound(false);
        record.setNewZone(false);
        record.setDeletedZone(false);
    }
    return stillDeleted;
}

void ZoneFileParser::markDeletedZones() {
    for (zoneData& record : *zones) {
        if (!record.isFound() && !record.isNewZone()) {
            record.setDeletedZone(true);
            ++deletedZones;
        }
    }
}

void ZoneFileParser::sortRecords() {
    // Between readings records are only erased, which keeps the order, so the
    // vector is a sorted run followed by this reading's additions. Sorting the
    // additions and merging them in gives the same order as a full sort.
    std::vector<zoneData>& records = *zones;
    const auto middle = std::is_sorted_until(records.begin(), records.end(), byName);
    if (middle == records.end()) {
        return;
    }
    const size_t from = static_cast<size_t>(middle - records.begin());

    // The additions are sorted as small keys: the first sixteen bytes of the
    // name as two big-endian numbers (order-preserving: smaller numbers mean
    // a smaller name) and the record's position; equal prefixes fall back to
    // the whole names. Names are unique, so no two keys compare equal.
    struct SortKey {
        uint64_t head;
        uint64_t tail;
        size_t position;
    };
    std::vector<SortKey> keys(records.size() - from);
    for (size_t k = 0; k < keys.size(); ++k) {
        const std::string& name = records[from + k].zoneNameRef();
        keys[k] = SortKey{namePrefix(name, 0), namePrefix(name, 8), from + k};
    }
    std::sort(keys.begin(), keys.end(), [&records](const SortKey& _a, const SortKey& _b) {
        if (_a.head != _b.head) {
            return _a.head < _b.head;
        }
        if (_a.tail != _b.tail) {
            return _a.tail < _b.tail;
        }
        return records[_a.position].zoneNameRef() < records[_b.position].zoneNameRef();
    });

    // Gather the additions in key order; reading in key order and writing in
    // sequence keeps many memory reads in flight. When the whole vector was
    // unsorted (a first reading) the gathered vector simply replaces it.
    std::vector<zoneData> ordered;
    ordered.reserve(keys.size());
    for (const SortKey& key : keys) {
        ordered.push_back(std::move(records[key.position]));
    }
    std::vector<SortKey>().swap(keys);
    if (from == 0) {
        records.swap(ordered);
        return;
    }
    std::move(ordered.begin(), ordered.end(), middle);
    std::vector<zoneData>().swap(ordered);
    std::inplace_merge(records.begin(), middle, records.end(), byName);
}

bool ZoneFileParser::zonesFileChanged() {
    struct stat status;
    if (stat(filename.c_str(), &status) != 0) {
        // Let the reading report why the file cannot be used.
        return true;
    }
    if (!fileRecorded) {
        return true;
    }
    // Size and modification time catch edits; the status-change time, inode
    // and device catch a file renamed into place with an older modification
    // time and a change of permissions that makes the file readable again.
    return static_cast<int64_t>(status.st_size) != fileSize ||
           !sameTime(status.st_mtim, fileMtime) || !sameTime(status.st_ctim, fileCtime) ||
           status.st_ino != fileInode || status.st_dev != fileDevice;
}

int ZoneFileParser::removeTrashZones(std::vector<zoneData>* _zones) {
    // remove_if keeps the order of the records it keeps and needs no buffer.
    const auto kept = std::remove_if(_zones->begin(), _zones->end(),
                                     [](const zoneData& z) { return z.getZoneType() == "slave"; });
    const int removed = static_cast<int>(_zones->end() - kept);
    _zones->erase(kept, _zones->end());
    return removed;
}

void ZoneFileParser::buildIndex() {
    size_t capacity = 16;
    while (capacity < 2 * (zones->size() + 1)) {
        capacity *= 2;
    }
    nameIndex.assign(capacity, IndexSlot{0, emptySlot});
    indexCount = 0;
    for (size_t i = 0; i < zones->size(); ++i) {
        indexRecord(static_cast<uint32_t>(i), hashName((*zones)[i].zoneNameRef()));
    }
}

void ZoneFileParser::indexRecord(uint32_t _position, uint32_t _hash) {
    if ((indexCount + 1) * 2 > nameIndex.size()) {
        growIndex();
    }
    const size_t mask = nameIndex.size() - 1;
    size_t slot = _hash & mask;
    while (nameIndex[slot].position != emptySlot) {
        slot = (slot + 1) & mask;
    }
    nameIndex[slot] = IndexSlot{_hash, _position};
    ++indexCount;
}

void ZoneFileParser::growIndex() {
    std::vector<IndexSlot> old(std::max<size_t>(nameIndex.size() * 2, 16), IndexSlot{0, emptySlot});
    old.swap(nameIndex);
    const size_t mask = nameIndex.size() - 1;
    for (const IndexSlot& entry : old) {
        if (entry.position == emptySlot) {
            continue;
        }
        size_t slot = entry.hash & mask;
        while (nameIndex[slot].position != emptySlot) {
            slot = (slot + 1) & mask;
        }
        nameIndex[slot] = entry;
    }
}

uint32_t ZoneFileParser::hashName(const std::string& _name) {
    // Eight bytes at a time: A-Z are folded to a-z within the word (a byte
    // gets 0x20 added when its value lies in 'A'..'Z'), the word is mixed in,
    // and the length separates names that differ only by trailing NULs.
    constexpr uint64_t low7 = 0x7f7f7f7f7f7f7f7fULL;
    constexpr uint64_t high = 0x8080808080808080ULL;
    constexpr uint64_t ones = 0x0101010101010101ULL;
    uint64_t h = 0x9e3779b97f4a7c15ULL ^ _name.size();
    const char* data = _name.data();
    size_t left = _name.size();
    while (left > 0) {
        uint64_t word = 0;
        const size_t take = std::min<size_t>(left, 8);
        std::memcpy(&word, data, take);
        const uint64_t atLeastA = (word & low7) + ones * (0x80 - 'A');
        const uint64_t aboveZ = (word & low7) + ones * (0x80 - 'Z' - 1);
        const uint64_t upper = atLeastA & ~aboveZ & ~word & high;
        word |= upper >> 2;
        h = (h ^ word) * 0xff51afd7ed558ccdULL;
        h ^= h >> 32;
        data += take;
        left -= take;
    }
    h ^= h >> 29;
    h *= 0xc4ceb9fe1a85ec53ULL;
    h ^= h >> 32;
    return static_cast<uint32_t>(h);
}
