#include "ZoneFileParser.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

#include "ConfigFileParser.h"
#include "Vantrel.h"
#include "mylibs.h"

namespace {

// Files larger than this (about 2 GiB) are refused.
constexpr size_t maxTextSize = static_cast<size_t>(INT_MAX) - 2;

bool sameTime(const timespec& _a, const timespec& _b) {
    return _a.tv_sec == _b.tv_sec && _a.tv_nsec == _b.tv_nsec;
}

// Bytes read at a time into one reused buffer: small enough to stay in the
// processor's cache (a whole-file buffer costs a page fault per 4 KiB and
// doubles the peak memory), large enough that the system calls cost nothing.
constexpr size_t chunkSize = 128 * 1024;

// Reads the zones file in chunks, handing each with the file's size to
// |_consume|, and its status into |_status|, never through a symbolic link.
// Returns the ERROR message when the file cannot be used, empty text when it
// was read whole.
template <typename Consume>
std::string readZonesFile(const std::string& _path, struct stat* _status, Consume&& _consume) {
    struct stat linkStatus;
    if (lstat(_path.c_str(), &linkStatus) != 0) {
        return "Error reading file!";
    }
    if (!S_ISREG(linkStatus.st_mode)) {
        return "Not a regular file:";
    }
    // O_NOFOLLOW refuses a symbolic link put in place since the check above;
    // O_NONBLOCK keeps a FIFO put there from blocking the open.
    const int fd = open(_path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return errno == ELOOP ? "Not a regular file:" : "Error reading file!";
    }
    struct stat& before = *_status;
    std::string error;
    if (fstat(fd, &before) != 0) {
        error = "Error reading file!";
    } else if (!S_ISREG(before.st_mode)) {
        error = "Not a regular file:";
    } else if (before.st_size < 0 || static_cast<uint64_t>(before.st_size) > maxTextSize) {
        error = "Zones file too large.";
    }
    const size_t size = error.empty() ? static_cast<size_t>(before.st_size) : 0;
    size_t got = 0;
    if (error.empty()) {
        const std::unique_ptr<char[]> buffer(new char[chunkSize]);
        while (got < size) {
            const ssize_t n = read(fd, buffer.get(), std::min(chunkSize, size - got));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                error = n < 0 ? "Error reading file!" : "";
                break;
            }
            got += static_cast<size_t>(n);
            _consume(std::string_view(buffer.get(), static_cast<size_t>(n)), size);
        }
    }
    struct stat after;
    if (error.empty() && fstat(fd, &after) != 0) {
        error = "Error reading file!";
    }
    close(fd);
    // A writer at work during the reading may have left a mix of old and new
    // content; the next pass reads the file again.
    if (error.empty() && (got != size || after.st_size != before.st_size ||
                          !sameTime(after.st_mtim, before.st_mtim))) {
        error = "Zones file changed while it was read. Deferring update.";
    }
    return error;
}

// Removes the comments of the text as it arrives, chunk by chunk, by the
// rules of stripComments (mylibs.h): "//" runs to the line feed, which stays;
// "/*" runs to the next "*/" searched from its own "*"; a NUL byte outside a
// comment ends the removal and the rest is kept as it is.
class CommentStripper {
public:
    // Appends |_chunk| without its comments to |_out|.
    void strip(std::string_view _chunk, std::string* _out);
    // Ends the text: a "/" still waiting for its next character is text.
    void finish(std::string* _out) const {
        if (state == State::Slash) {
            _out->push_back('/');
        }
    }
    // True when the text ended inside a "/*" comment.
    bool inBlockComment() const {
        return state == State::BlockComment || state == State::BlockStar;
    }

private:
    // Slash: a "/" was met outside comments; BlockStar: a "*" was met inside
    // a "/*" comment (its opening "*" counts); Verbatim: a NUL byte ended the
    // removal.
    enum class State { Text, Slash, LineComment, BlockComment, BlockStar, Verbatim };
    State state = State::Text;
};

void CommentStripper::strip(std::string_view _chunk, std::string* _out) {
    const char* at = _chunk.data();
    const char* const end = at + _chunk.size();
    const auto find = [end](const char* _from, char _c) {
        const void* hit = std::memchr(_from, _c, static_cast<size_t>(end - _from));
        return hit != nullptr ? static_cast<const char*>(hit) : end;
    };
    const char* nul = find(at, '\0');  // the next NUL byte from |at| on
    while (at < end) {
        switch (state) {
            case State::Text: {
                if (nul < at) {
                    nul = find(at, '\0');  // the last one lay inside a comment
                }
                // Text up to the next comment or NUL byte is kept as it is,
                // appended in one piece: most slashes are in file paths.
                const char* slash = find(at, '/');
                while (slash < nul && slash + 1 < end && slash[1] != '/' && slash[1] != '*') {
                    slash = find(slash + 1, '/');
                }
                slash = std::min(slash, nul);
                _out->append(at, static_cast<size_t>(slash - at));
                at = slash;
                if (at < end) {
                    state = *at == '/' ? State::Slash : State::Verbatim;
                    at += *at == '/';
                }
                break;
            }
            case State::Slash:
                if (*at == '/' || *at == '*') {
                    state = *at == '/' ? State::LineComment : State::BlockStar;
                    ++at;
                } else {
                    _out->push_back('/');  // this character is read as text
                    state = State::Text;
                }
                break;
            case State::LineComment:
                at = find(at, '\n');  // the line feed is text
                state = at < end ? State::Text : state;
                break;
            case State::BlockComment:
                at = find(at, '*');
                if (at < end) {
                    state = State::BlockStar;
                    ++at;
                }
                break;
            case State::BlockStar:
                state = *at == '/'   ? State::Text
                        : *at == '*' ? State::BlockStar
                                     : State::BlockComment;
                ++at;
                break;
            case State::Verbatim:
                _out->append(at, static_cast<size_t>(end - at));
                at = end;
                break;
        }
    }
}

// One zone block as the reading needs it: the name (a view into the text)
// and what its type statement gave.
struct Block {
    std::string_view name;
    bool master = false;
    bool typeless = true;
};

bool isBlank(char _c) {
    return _c == '\n' || _c == ' ' || _c == '\t' || _c == '\r';
}

// The characters that end a word inside a block; a carriage return is not one.
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

// The position of the first "type" in |_text| from |_from| on, or npos. Most
// blocks hold none past their type statement, so sixteen starting positions
// at a time are tested as one vector: the byte at each and the three after
// it compared with those of the word; the last few are tested one by one.
size_t findType(std::string_view _text, size_t _from) {
    size_t i = _from;
#if defined(__SSE2__)
    const char* const data = _text.data();
    const auto at = [data](size_t _at, char _c) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + _at));
        return _mm_cmpeq_epi8(v, _mm_set1_epi8(_c));
    };
    for (; i + 19 <= _text.size(); i += 16) {
        const __m128i hit = _mm_and_si128(_mm_and_si128(at(i, 't'), at(i + 1, 'y')),
                                          _mm_and_si128(at(i + 2, 'p'), at(i + 3, 'e')));
        const int bits = _mm_movemask_epi8(hit);
        if (bits != 0) {
            return i + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(bits)));
        }
    }
#endif
    return _text.find("type", i);
}

// True when |_word| with A-Z folded is |_lower|.
bool equalsFolded(std::string_view _word, std::string_view _lower) {
    if (_word.size() != _lower.size()) {
        return false;
    }
    for (size_t i = 0; i < _word.size(); ++i) {
        if (asciiFold(_word[i]) != _lower[i]) {
            return false;
        }
    }
    return true;
}

// Parses one zone block in one forward pass: the name lies strictly between
// its first two double quotes; the statements start after the first "{" past
// the name, with the word written against that brace as the start of their
// first word; the last word before a value is the parameter name and the
// value touches its ";". The last non-empty value of a `type` statement
// before any allow-update or allow-transfer statement, folded to lower case,
// is the type; "primary" is read as master. The pass stops at such a
// statement, and once no "type" lies ahead outside an unfinished type
// statement, since nothing after can change the record.
Block parseBlock(std::string_view _block) {
    Block out;
    const char* const data = _block.data();
    const size_t size = _block.size();
    const void* quote = std::memchr(data, '"', size);
    const size_t open =
        quote != nullptr ? static_cast<size_t>(static_cast<const char*>(quote) - data) : size;
    const void* close =
        open + 1 < size ? std::memchr(data + open + 1, '"', size - open - 1) : nullptr;
    size_t nameEnd =
        close != nullptr ? static_cast<size_t>(static_cast<const char*>(close) - data) : 0;
    if (nameEnd != 0) {
        out.name = _block.substr(open + 1, nameEnd - open - 1);
    }
    const size_t start = nameEnd + 1;
    const void* braceAt = start < size ? std::memchr(data + start, '{', size - start) : nullptr;
    if (braceAt == nullptr) {
        return out;
    }
    const size_t brace = static_cast<size_t>(static_cast<const char*>(braceAt) - data);
    size_t carried = brace;
    while (carried > start && !isBlank(data[carried - 1])) {
        --carried;
    }
    std::string firstWord;  // the carried word joined to the first word
    std::string_view paramName;
    std::string_view type;
    bool param = false;
    size_t nextType = 0;  // the next "type" past the latest word's end, or npos
    for (size_t pos = brace + 1; pos < size;) {
        size_t runEnd = pos;
        while (runEnd < size && !isStatementDelimiter(data[runEnd])) {
            ++runEnd;
        }
        if (runEnd == size) {
            break;  // an unterminated last word counts for nothing
        }
        std::string_view word = _block.substr(pos, runEnd - pos);
        if (pos == brace + 1 && carried < brace) {
            firstWord.assign(data + carried, brace - carried);
            firstWord.append(word);
            word = firstWord;
        }
        if (data[runEnd] == ';' && param) {
            if (paramName == "allow-update" || paramName == "allow-transfer") {
                break;
            }
            if (paramName == "type" && !word.empty()) {
                type = word;
            }
            param = false;
        } else if (!word.empty()) {
            paramName = word;
            param = true;
        }
        if (!(param && paramName == "type")) {
            // A word "type" holds no delimiter, so one still to come starts
            // past this word's end.
            if (nextType <= runEnd) {
                nextType = findType(_block, runEnd + 1);
            }
            if (nextType == std::string_view::npos) {
                break;
            }
        }
        pos = runEnd + 1;
    }
    if (!type.empty()) {
        out.typeless = false;
        out.master = equalsFolded(type, "master") || equalsFolded(type, "primary");
    }
    return out;
}

// The first eight bytes from |_offset| on of |_name| with A-Z folded, as a
// big-endian number padded with zero bytes: comparing two such numbers
// compares those bytes as unsigned values. The eight bytes are folded at
// once: a byte of A-Z has its 0x20 bit set.
uint64_t foldedPrefix(std::string_view _name, size_t _offset) {
    unsigned char bytes[8] = {};
    if (_offset < _name.size()) {
        std::memcpy(bytes, _name.data() + _offset, std::min<size_t>(8, _name.size() - _offset));
    }
    uint64_t word = 0;
#if defined(__GNUC__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    std::memcpy(&word, bytes, 8);
    word = __builtin_bswap64(word);
#else
    for (const unsigned char byte : bytes) {
        word = word << 8 | byte;
    }
#endif
    constexpr uint64_t ones = 0x0101010101010101ULL;
    const uint64_t low = word & (0x7f * ones);
    const uint64_t fromA = low + (0x80 - 'A') * ones;  // high bit: at least 'A'
    const uint64_t pastZ = low + (0x7f - 'Z') * ones;  // high bit: past 'Z'
    const uint64_t upper = fromA & ~pastZ & ~word & (0x80 * ones);
    return word | upper >> 2;
}

// <0, 0 or >0 as |_a| sorts before, with or after |_b| with A-Z folded.
int compareFolded(std::string_view _a, std::string_view _b) {
    const size_t common = std::min(_a.size(), _b.size());
    for (size_t i = 0; i < common; ++i) {
        const unsigned char x = static_cast<unsigned char>(asciiFold(_a[i]));
        const unsigned char y = static_cast<unsigned char>(asciiFold(_b[i]));
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    return _a.size() < _b.size() ? -1 : _a.size() > _b.size() ? 1 : 0;
}

// A name in folded order: its first sixteen folded bytes as two numbers, so
// that most comparisons touch no text, and the name itself.
struct FoldedKey {
    uint64_t head;
    uint64_t tail;
    std::string_view name;

    // <0, 0 or >0 as this name sorts before, with or after |_other|'s.
    int compare(const FoldedKey& _other) const {
        if (head != _other.head) {
            return head < _other.head ? -1 : 1;
        }
        if (tail != _other.tail) {
            return tail < _other.tail ? -1 : 1;
        }
        return compareFolded(name, _other.name);
    }
};

FoldedKey foldedKey(std::string_view _name) {
    return FoldedKey{foldedPrefix(_name, 0), foldedPrefix(_name, 8), _name};
}

bool hasUpper(std::string_view _name) {
    // Eight bytes at a time, by the bit test of foldedPrefix.
    for (size_t offset = 0; offset < _name.size(); offset += 8) {
        uint64_t word = 0;
        std::memcpy(&word, _name.data() + offset, std::min<size_t>(8, _name.size() - offset));
        constexpr uint64_t ones = 0x0101010101010101ULL;
        const uint64_t low = word & (0x7f * ones);
        const uint64_t fromA = low + (0x80 - 'A') * ones;
        const uint64_t pastZ = low + (0x7f - 'Z') * ones;
        if ((fromA & ~pastZ & ~word & (0x80 * ones)) != 0) {
            return true;
        }
    }
    return false;
}

// A named block awaiting the lookup. Its name is copied into the scan's name
// store in file order, so that the text can go before the lookup and the
// store's offsets give the file order.
struct Entry {
    uint64_t head;
    uint64_t tail;
    uint32_t offset;
    uint32_t size;
    bool master;
    bool upper;
};

// The characters the scan acts on; every other one is passed over.
struct ScanCharacters {
    bool table[256] = {};
    ScanCharacters() {
        for (const unsigned char c : {'{', '}', '"', 'z'}) {
            table[c] = true;
        }
    }
    bool operator()(char _c) const { return table[static_cast<unsigned char>(_c)]; }
};
const ScanCharacters isScanCharacter;

// The position of the first scan character in |_data| from |_from| on, or
// |_size| when there is none. The bulk of the text plays no part, so sixteen
// bytes at a time are compared as one vector (SSE2 or NEON instructions); the
// lowest flagged byte is the first in memory on a little-endian machine.
size_t nextScanCharacter(const char* _data, size_t _from, size_t _size) {
    size_t i = _from;
#if defined(__GNUC__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    using Bytes = char __attribute__((vector_size(16)));
    using Halves = uint64_t __attribute__((vector_size(16)));
    for (; i + 16 <= _size; i += 16) {
        Bytes v;
        std::memcpy(&v, _data + i, 16);
        const Halves hit =
            reinterpret_cast<Halves>((v == '{') | (v == '}') | (v == '"') | (v == 'z'));
        if ((hit[0] | hit[1]) != 0) {
            return i +
                   (hit[0] != 0 ? __builtin_ctzll(hit[0]) / 8 : 8 + __builtin_ctzll(hit[1]) / 8);
        }
    }
#endif
    while (i < _size && !isScanCharacter(_data[i])) {
        ++i;
    }
    return i;
}

// Passes over the inside of an open zone block from |_from| on, carrying the
// brace depth |_depth| and the quote parity |_quoted| over the bytes passed.
// Once a keyword opened a block, only braces and quotes count: a "z" no
// longer does, and quotes only change the parity. So sixteen bytes at a
// time are compared as one vector: the quotes of a piece are taken by the
// parity of their compare mask and its braces one by one from theirs. The
// pass stops at the first brace while the block has met no "{" (|_braced|
// false) and else at the "}" that brings the depth back to |_outside|,
// leaving that brace to the byte-by-byte scan; it also stops at the last
// bytes too few for a vector. Returns where it stopped; where SSE2 is not
// available it passes over nothing.
size_t skipInsideBlock(const char* _data, size_t _from, size_t _size, bool _braced,
                       int64_t _outside, int64_t* _depth, bool* _quoted) {
    size_t i = _from;
#if defined(__SSE2__)
    int64_t depth = *_depth;
    unsigned quotes = 0;  // the quote masks passed, XORed: its parity is theirs
    const __m128i open = _mm_set1_epi8('{');
    const __m128i close = _mm_set1_epi8('}');
    const __m128i quote = _mm_set1_epi8('"');
    for (; i + 16 <= _size; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(_data + i));
        const unsigned closes = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, close)));
        const unsigned quoteBits =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, quote)));
        unsigned braces =
            closes | static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, open)));
        unsigned stop = 0;  // the bit of the brace to stop at
        while (braces != 0 && stop == 0) {
            const unsigned bit = braces & (0u - braces);
            if (!_braced || ((closes & bit) != 0 && depth - 1 == _outside)) {
                stop = bit;
            } else {
                depth += (closes & bit) != 0 ? -1 : 1;
                braces ^= bit;
            }
        }
        if (stop != 0) {
            quotes ^= quoteBits & (stop - 1);
            i += static_cast<size_t>(__builtin_ctz(stop));
            break;
        }
        quotes ^= quoteBits;
    }
    *_depth = depth;
    *_quoted = *_quoted != (__builtin_parity(quotes) != 0);
#else
    static_cast<void>(_data);
    static_cast<void>(_size);
    static_cast<void>(_braced);
    static_cast<void>(_outside);
    static_cast<void>(_depth);
    static_cast<void>(_quoted);
#endif
    return i;
}

// Finds every top-level zone block of the comment-stripped text, fed in
// pieces, in one forward pass that carries the brace depth and quote parity
// (braces count inside quotes too; quotes have no escapes). A block starts at
// each "zone" met at depth 0 outside quotes and runs to two past the "}"
// that balances the first "{" after it, or to the end of the text when there
// is none; the next keyword is looked for from the block's end. Nested
// occurrences are logged and passed over.
class Scan {
public:
    // Notes the DEBUG lines when |_debug|.
    explicit Scan(bool _debug) : debug(_debug) {}
    // Reserves room for a text of |_size| bytes: reserved, not touched, so
    // memory is only used as the lists grow into it.
    void reserveFor(size_t _size) {
        text.reserve(2 * chunkSize);
        entries.reserve(_size / 32);
        names.reserve(_size / 2);
    }

    // The stripped text not scanned yet, after the open block's start; the
    // caller appends to it, then calls scan().
    std::string text;
    // Scans what |text| holds; |_final| when the text is complete. Without
    // it, a "zone" or a block's end that the next piece may complete waits
    // for it, and the text before the open block is dropped.
    void scan(bool _final);

    int blocks = 0;
    std::string names;           // the named blocks' names, one after the other
    std::vector<Entry> entries;  // the named blocks, in file order
    std::vector<std::string> typeless;
    // Brace depth and double-quote parity of the text scanned.
    int64_t depth = 0;
    bool quoted = false;
    // The DEBUG lines, logged once the whole file was read.
    std::vector<std::string> debugLines;

    std::string_view nameOf(const Entry& _entry) const {
        return std::string_view(names).substr(_entry.offset, _entry.size);
    }
    FoldedKey keyOf(const Entry& _entry) const {
        return FoldedKey{_entry.head, _entry.tail, nameOf(_entry)};
    }

private:
    // Parses the zone block |_block| and notes what the lookup needs.
    void addBlock(std::string_view _block);
    void take(char _c) {
        depth += (_c == '{') - (_c == '}');
        quoted = quoted != (_c == '"');
    }

    const bool debug;
    size_t dropped = 0;                       // text dropped before |text|
    size_t next = 0;                          // the next character to scan in |text|
    size_t keyword = std::string_view::npos;  // the open block's keyword in |text|
    int64_t outside = 0;                      // the depth around its braces
    bool braced = false;                      // its first "{" was met
};

void Scan::addBlock(std::string_view _block) {
    const Block block = parseBlock(_block);
    ++blocks;
    if (debug) {
        debugLines.push_back("Loading zone:" + std::string(block.name));
    }
    if (block.typeless) {
        typeless.emplace_back(block.name);
    }
    if (!block.name.empty()) {
        const FoldedKey key = foldedKey(block.name);
        entries.push_back({key.head, key.tail, static_cast<uint32_t>(names.size()),
                           static_cast<uint32_t>(block.name.size()), block.master,
                           hasUpper(block.name)});
        names.append(block.name);
    }
}

void Scan::scan(bool _final) {
    const size_t size = text.size();
    const char* const data = text.data();
    size_t i = next;
    while (i < size) {
        if (keyword != std::string_view::npos) {
            i = skipInsideBlock(data, i, size, braced, outside, &depth, &quoted);
        }
        i = nextScanCharacter(data, i, size);
        if (i >= size) {
            break;
        }
        const char c = data[i];
        if (c == 'z') {
            if (keyword == std::string_view::npos && size - i < 4 && !_final) {
                break;  // the next piece may complete the keyword
            }
            if (keyword == std::string_view::npos && size - i >= 4 &&
                std::memcmp(data + i, "zone", 4) == 0) {
                if (depth == 0 && !quoted) {
                    keyword = i;
                    braced = false;
                } else if (debug) {
                    debugLines.push_back("Found word zone in file... pos:" +
                                         std::to_string(dropped + i) + " - ignoring...");
                }
                i += 4;
                continue;
            }
            ++i;
            continue;
        }
        if (c == '}' && i + 1 == size && !_final) {
            break;  // a block's end takes the character after it
        }
        if (c == '{' && keyword != std::string_view::npos && !braced) {
            braced = true;
            outside = depth;
        }
        take(c);
        if (c == '}' && braced && depth == outside) {
            // The block ends with the character after its closing brace.
            const size_t end = std::min(i + 2, size);
            if (i + 1 < size) {
                take(data[i + 1]);
            }
            addBlock(std::string_view(text).substr(keyword, end - keyword));
            keyword = std::string_view::npos;
            braced = false;
            i = end;
            continue;
        }
        ++i;
    }
    next = i;
    if (_final) {
        if (keyword != std::string_view::npos) {
            addBlock(std::string_view(text).substr(keyword));
        }
        return;
    }
    // Only the open block and the characters waiting for the next piece
    // are still needed.
    const size_t keep = std::min(keyword, next);
    text.erase(0, keep);
    dropped += keep;
    next -= keep;
    keyword -= keyword != std::string_view::npos ? keep : 0;
}

// Sorts the entries of [|_first|, |_last|), which agree on their first
// |_byte| folded bytes, by |_less| (folded name, then file order). A radix
// sort on the sixteen folded bytes the entries carry does most of the work
// without touching the names: one counting pass splits the range by its next
// byte into buckets, moved through |_scratch| keeping their order, and each
// bucket is sorted from the byte after. Small ranges, and names that agree on
// all sixteen bytes, finish with std::sort.
template <typename Less>
void sortEntries(Entry* _first, Entry* _last, Entry* _scratch, int _byte, const Less& _less) {
    const size_t count = static_cast<size_t>(_last - _first);
    if (count < 64 || _byte == 16) {
        std::sort(_first, _last, _less);
        return;
    }
    const auto digit = [_byte](const Entry& _entry) {
        const uint64_t word = _byte < 8 ? _entry.head : _entry.tail;
        return static_cast<size_t>(word >> (56 - 8 * (_byte % 8)) & 0xff);
    };
    uint32_t start[257] = {};
    for (const Entry* entry = _first; entry != _last; ++entry) {
        ++start[digit(*entry) + 1];
    }
    if (start[digit(*_first) + 1] == count) {
        // One byte for all: nothing to move at this one.
        sortEntries(_first, _last, _scratch, _byte + 1, _less);
        return;
    }
    for (size_t d = 0; d < 256; ++d) {
        start[d + 1] += start[d];
    }
    uint32_t fill[256];
    std::copy(start, start + 256, fill);
    for (const Entry* entry = _first; entry != _last; ++entry) {
        _scratch[fill[digit(*entry)]++] = *entry;
    }
    std::copy(_scratch, _scratch + count, _first);
    for (size_t d = 0; d < 256; ++d) {
        if (start[d + 1] - start[d] > 1) {
            sortEntries(_first + start[d], _first + start[d + 1], _scratch, _byte + 1, _less);
        }
    }
}

}  // namespace

ZoneFileParser::ZoneFileParser(const ConfigFileParser* _configFile)
    : zones(new std::vector<zoneData>()) {
    if (_configFile != nullptr) {
        filename = _configFile->getZoneFileName();
    }
}

ZoneFileParser::~ZoneFileParser() = default;

int ZoneFileParser::readZones() {
    foundZones = 0;
    deletedZones = 0;
    newZones = 0;
    // The API client erases every record whose deletion the service accepted,
    // so a record still flagged deleted is a deletion that failed: the file is
    // read again, changed or not, and the record flagged once more.
    const bool owed = clearFlags();
    if (!owed && !zonesFileChanged()) {
        eventLog(DEBUG, "Zones file hasn't changed. Deferring update.");
        lastResult = readResult::Unchanged;
        readError.clear();
        return 0;
    }

    struct stat status;
    CommentStripper stripper;
    Scan scan(isLogged(DEBUG));
    const std::string loadError =
        readZonesFile(filename, &status, [&stripper, &scan](std::string_view _chunk, size_t _size) {
            if (scan.text.capacity() < chunkSize) {
                scan.reserveFor(_size);  // the first chunk
            }
            stripper.strip(_chunk, &scan.text);
            scan.scan(false);
        });
    if (!loadError.empty()) {
        return failReading(loadError);
    }
    stripper.finish(&scan.text);
    scan.scan(true);
    std::string().swap(scan.text);
    for (const std::string& line : scan.debugLines) {
        eventLog(DEBUG, line);
    }
    // A text that ends inside a comment, a block or a quoted string is a file
    // caught in the middle of a rewrite, or one the rules cannot place.
    if (stripper.inBlockComment()) {
        return failReading("Zones file ends inside a comment; deferring update.");
    }
    if (scan.depth != 0) {
        return failReading("Zones file ends inside a block; deferring update.");
    }
    if (scan.quoted) {
        return failReading("Zones file ends inside a quoted string; deferring update.");
    }
    fileRecorded = true;
    fileMtime = status.st_mtim;
    fileCtime = status.st_ctim;
    fileSize = static_cast<int64_t>(status.st_size);
    fileInode = status.st_ino;
    fileDevice = status.st_dev;
    readError.clear();
    typelessZones = std::move(scan.typeless);
    skippedZones.clear();
    for (const std::string& name : typelessZones) {
        skippedZones.push_back({name, "type cannot be read"});
    }

    // Blocks with the same folded name come together, in file order; the
    // records, in ascending byte order, are walked in folded order beside
    // them (the same order unless a name has a capital letter).
    std::vector<Entry>& entries = scan.entries;
    std::vector<Entry> scratch(entries.size());
    sortEntries(entries.data(), entries.data() + entries.size(), scratch.data(), 0,
                [&scan](const Entry& _a, const Entry& _b) {
                    const int order = scan.keyOf(_a).compare(scan.keyOf(_b));
                    return order != 0 ? order < 0 : _a.offset < _b.offset;
                });
    std::vector<Entry>().swap(scratch);
    std::vector<zoneData>& records = *zones;
    std::vector<std::pair<FoldedKey, size_t>> known;  // key, record's position
    known.reserve(records.size());
    for (size_t i = 0; i < records.size(); ++i) {
        known.emplace_back(foldedKey(records[i].zoneNameRef()), i);
    }
    const auto byKey = [](const auto& _a, const auto& _b) {
        return _a.first.compare(_b.first) < 0;
    };
    if (!std::is_sorted(known.begin(), known.end(), byKey)) {
        std::sort(known.begin(), known.end(), byKey);
    }
    // A group of blocks meets the record of its name, or else its first
    // master block adds one that the later blocks of the group meet.
    std::vector<std::pair<const Entry*, bool>> additions;  // first master, met again
    bool additionsUpper = false;
    size_t next = 0;
    for (size_t group = 0; group < entries.size();) {
        const FoldedKey key = scan.keyOf(entries[group]);
        size_t groupEnd = group + 1;
        while (groupEnd < entries.size() && key.compare(scan.keyOf(entries[groupEnd])) == 0) {
            ++groupEnd;
        }
        int order = 1;
        while (next < known.size() && (order = known[next].first.compare(key)) < 0) {
            ++next;
        }
        if (order == 0) {
            records[known[next].second].setFound(true);
            foundZones += static_cast<int32_t>(groupEnd - group);
        } else {
            size_t first = group;
            while (first < groupEnd && !entries[first].master) {
                ++first;
            }
            if (first < groupEnd) {
                additions.emplace_back(&entries[first], first + 1 < groupEnd);
                additionsUpper = additionsUpper || entries[first].upper;
                foundZones += static_cast<int32_t>(groupEnd - first - 1);
            }
        }
        group = groupEnd;
    }
    std::vector<std::pair<FoldedKey, size_t>>().swap(known);

    const auto now = std::chrono::steady_clock::now();
    for (zoneData& record : records) {
        record.setDeletedZone(!record.isFound());
        deletedZones += record.isDeleted();
        // The grace period runs from the first trusted reading that missed it.
        if (!record.isDeleted()) {
            record.setDeletedSince({});
        } else if (record.getDeletedSince() == decltype(now)()) {
            record.setDeletedSince(now);
        }
    }
    const auto nameOf = [&scan](const Entry* _entry) { return scan.nameOf(*_entry); };
    // The additions join in ascending byte order: their folded order already
    // is that unless a name has a capital letter.
    if (additionsUpper) {
        std::sort(additions.begin(), additions.end(), [&nameOf](const auto& _a, const auto& _b) {
            return nameOf(_a.first) < nameOf(_b.first);
        });
    }
    const size_t knownCount = records.size();
    records.reserve(knownCount + additions.size());
    for (size_t k = 0; k < additions.size(); ++k) {
        // The names lie scattered in the store; asking for a few ahead keeps
        // several memory reads in flight.
        if (k + 8 < additions.size()) {
            __builtin_prefetch(scan.names.data() + additions[k + 8].first->offset);
        }
        const auto& addition = additions[k];
        records.emplace_back(std::string(nameOf(addition.first)));
        records.back().setZoneType("master");
        records.back().setNewZone(true);
        records.back().setFound(addition.second);
    }
    newZones = static_cast<int32_t>(additions.size());
    std::inplace_merge(
        records.begin(), records.begin() + static_cast<std::ptrdiff_t>(knownCount), records.end(),
        [](const zoneData& _a, const zoneData& _b) { return _a.zoneNameRef() < _b.zoneNameRef(); });
    eventLog(DEBUG, "Zone changes:" + std::to_string(newZones));

    flagsSet = !records.empty();
    if (scan.blocks == 0) {
        lastResult = readResult::NoZoneBlocks;
        return 0;
    }
    lastResult = readResult::Read;
    readSucceeded = true;
    return scan.blocks;
}

std::vector<zoneData>* ZoneFileParser::getZones() {
    return zones.get();
}

zoneData* ZoneFileParser::getZones(int& zone_count) {
    zone_count = static_cast<int>(zones->size());
    zoneData* copy = new zoneData[zones->size()];
    std::copy(zones->begin(), zones->end(), copy);
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

bool ZoneFileParser::clearFlags() {
    if (!flagsSet) {
        return false;
    }
    bool owed = false;
    for (zoneData& record : *zones) {
        record.setFound(false);
        record.setNewZone(false);
        owed = owed || record.isDeleted();
    }
    flagsSet = owed;
    return owed;
}

bool ZoneFileParser::zonesFileChanged() const {
    struct stat status;
    if (!fileRecorded || stat(filename.c_str(), &status) != 0) {
        // Let the reading report why the file cannot be used.
        return true;
    }
    // Size and modification time catch edits; the status-change time, inode
    // and device catch a file renamed into place with an older modification
    // time and a change of permissions that makes the file readable again.
    return static_cast<int64_t>(status.st_size) != fileSize ||
           !sameTime(status.st_mtim, fileMtime) || !sameTime(status.st_ctim, fileCtime) ||
           status.st_ino != fileInode || status.st_dev != fileDevice;
}

int ZoneFileParser::failReading(const std::string& _error) {
    eventLog(ERROR, _error);
    readError = _error;
    lastResult = readResult::Failed;
    return 0;
}
