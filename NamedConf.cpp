#include "NamedConf.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <string_view>
#include <unordered_map>

#include "mylibs.h"

namespace {

// Bytes read from a file at a time.
constexpr size_t BUFFER_SIZE = 64 * 1024;
// All files of one reading together may hold at most this many bytes.
constexpr uint64_t MAX_TEXT_BYTES = static_cast<uint64_t>(INT_MAX) - 2;
// Blocks nested deeper than this are refused.
constexpr int MAX_BLOCK_DEPTH = 64;
// A word or quoted string longer than this is refused.
constexpr size_t MAX_TOKEN_BYTES = 64 * 1024;

enum class token { End, Word, String, Open, Close, Semicolon, Mark };

// What a byte means to the lexer outside quoted strings.
enum byteClass : uint8_t { Letter, Blank, LineFeed, Special, Quote, Hash, Slash, Nul };

const std::array<byteClass, 256> bytes = [] {
    std::array<byteClass, 256> of{};  // every byte a Letter but these
    for (const unsigned char c : {' ', '\t', '\r', '\v', '\f'}) {
        of[c] = Blank;
    }
    for (const unsigned char c : {'{', '}', ';', '!'}) {
        of[c] = Special;
    }
    of['\n'] = LineFeed;
    of['"'] = Quote;
    of['#'] = Hash;
    of['/'] = Slash;
    of[0] = Nul;
    return of;
}();

// True for the bytes that end a plain run inside a quoted string.
bool endsStringRun(char _c) {
    return _c == '"' || _c == '\\' || _c == '\n' || _c == '\0';
}

// The words that begin the statements the reader interprets; GoesOn for
// those whose block may be followed by more of the statement, Module for
// dyndb and plugin.
enum class keyword { Other, Include, Zone, View, Options, Directory, Type, InView, GoesOn, Module };

keyword keywordOf(const std::string& _word) {
    static const std::pair<std::string_view, keyword> known[] = {
        {"include", keyword::Include},     {"zone", keyword::Zone},
        {"view", keyword::View},           {"options", keyword::Options},
        {"directory", keyword::Directory}, {"type", keyword::Type},
        {"in-view", keyword::InView},      {"inet", keyword::GoesOn},
        {"unix", keyword::GoesOn},         {"response-policy", keyword::GoesOn},
        {"dyndb", keyword::Module},        {"plugin", keyword::Module}};
    for (const auto& candidate : known) {
        const std::string_view name = candidate.first;
        if (_word.size() == name.size() &&
            std::equal(name.begin(), name.end(), _word.begin(),
                       [](char _a, char _b) { return _a == asciiFold(_b); })) {
            return candidate.second;
        }
    }
    return keyword::Other;
}

// True for the zone types BIND 9.18 or 9.20 knows (delegation-only is
// 9.18's alone), in lower case.
bool isKnownType(const std::string& _type) {
    static const std::string_view known[] = {
        "master", "primary", "slave",    "secondary",   "stub",           "forward",
        "hint",   "mirror",  "redirect", "static-stub", "delegation-only"};
    return std::find(std::begin(known), std::end(known), _type) != std::end(known);
}

// True for the class words BIND reads as IN: "in" in any letter case, and
// "class" followed by one to five characters that read as the number 1 ("+"
// and leading zeros allowed).
bool isClassIn(const std::string& _word) {
    const std::string lower = asciiLower(_word);
    if (lower == "in") {
        return true;
    }
    if (lower.size() < 6 || lower.size() > 10 || lower.compare(0, 5, "class") != 0) {
        return false;
    }
    const size_t digits = lower[5] == '+' ? 6 : 5;
    return lower.back() == '1' && lower.find_first_not_of('0', digits) == lower.size() - 1;
}

// Where a statement stands: what its keywords may mean there.
enum class scope { Top, View, Zone, Options, Other };

// One file being read.
struct source {
    int fd = -1;
    uint32_t index = 0;  // in namedConf::files
    std::unique_ptr<char[]> buffer{new char[BUFFER_SIZE]};
    const char* at = nullptr;
    const char* end = nullptr;
    uint32_t line = 1;
    uint64_t got = 0;
};

bool sameStatus(const struct stat& _a, const struct stat& _b) {
    return _a.st_size == _b.st_size && _a.st_mtim.tv_sec == _b.st_mtim.tv_sec &&
           _a.st_mtim.tv_nsec == _b.st_mtim.tv_nsec;
}

std::string quoted(const std::string& _text) {
    return "\"" + _text + "\"";
}

class reader {
public:
    reader(bool _follow, namedConf* _out) : follow(_follow), out(_out) {}
    ~reader() {
        for (const source& s : stack) {
            if (s.fd >= 0) {
                close(s.fd);
            }
        }
    }
    std::string read(const std::string& _path);

private:
    // The lexer: the next token of the innermost file, which is left for
    // the one that included it at its end. A word's or string's text lands
    // in |text|, the line it starts on in |line|.
    token next();
    token word();
    token string();
    bool refill();
    int peek();
    void skipLine();
    void skipComment();
    bool closeFile();
    bool openFile(const std::string& _path, bool _main);

    // The walker: the statements of a block up to its "}" (of the file up
    // to its end at depth 0), and one statement of each kind.
    void statements(scope _scope, int _depth, uint32_t _openLine);
    // The rest of a generic statement from its token |_read| on. A block
    // ends it unless |_moreAfterBlock|, as in a few statements of BIND's
    // grammar.
    void rest(int _depth, bool _moreAfterBlock, token _read);
    void block(scope _scope, int _depth);
    void zone(int _depth);
    void view(int _depth);
    void include();
    void module(bool _plugin);
    bool rawBlock();
    uint32_t classOf(const std::string& _word);
    bool expect(token _kind, const char* _what);
    uint32_t intern(const std::string& _word);

    // Sets the error, naming the innermost file and |_line| (its current
    // line when 0); the first error stands.
    void fail(const std::string& _reason, uint32_t _line = 0);
    bool failed() const { return !error.empty(); }

    const bool follow;
    namedConf* const out;
    std::vector<source> stack;
    std::string text;
    uint32_t line = 0;
    bool afterWord = false;  // the last word ended at a "/"
    uint64_t total = 0;
    std::string base;  // the folder relative include paths start from
    std::string error;
    uint32_t currentView = 0;
    uint32_t viewClass = zoneStatement::NO_WORD;  // the current view's, when not IN
    size_t currentZone = SIZE_MAX;                // the zone whose body is being read
    std::unordered_map<std::string, uint32_t> wordIndex;
    uint32_t lastWord = 0;
};

void reader::fail(const std::string& _reason, uint32_t _line) {
    if (failed()) {
        return;
    }
    const source& s = stack.back();
    error = out->files[s.index].path + ":" + std::to_string(_line != 0 ? _line : line) + ": " +
            _reason + "; deferring update.";
}

bool reader::openFile(const std::string& _path, bool _main) {
    // The main file must be the file itself; an include may be a link, as
    // for BIND. O_NONBLOCK keeps a FIFO from blocking the open.
    struct stat status;
    if (_main && lstat(_path.c_str(), &status) != 0) {
        error = "Error reading file!";
        return false;
    }
    if (_main && !S_ISREG(status.st_mode)) {
        error = "Not a regular file:";
        return false;
    }
    const int fd =
        open(_path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | (_main ? O_NOFOLLOW : 0));
    const int openError = errno;
    if (fd < 0 || fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        if (fd >= 0) {
            close(fd);
        }
        if (_main) {
            error = fd < 0 && openError != ELOOP ? "Error reading file!" : "Not a regular file:";
        } else if (fd >= 0) {
            fail("included file " + quoted(_path) + " is not a regular file");
        } else if (openError == EACCES) {
            fail("included file " + quoted(_path) + " cannot be read (" + std::strerror(openError) +
                 "); " + readAccessAdvice());
        } else {
            fail("included file " + quoted(_path) + " cannot be read (" + std::strerror(openError) +
                 ")");
        }
        return false;
    }
    for (const source& s : stack) {
        const struct stat& other = out->files[s.index].status;
        if (other.st_dev == status.st_dev && other.st_ino == status.st_ino) {
            close(fd);
            fail("include of " + quoted(_path) + " forms a cycle");
            return false;
        }
    }
    total += static_cast<uint64_t>(status.st_size);
    if (total > MAX_TEXT_BYTES) {
        close(fd);
        if (_main) {
            error = "Zones file too large.";
        } else {
            fail("included file " + quoted(_path) + " makes the text larger than 2 GiB");
        }
        return false;
    }
    out->files.push_back({_path, status});
    stack.emplace_back();
    stack.back().fd = fd;
    stack.back().index = static_cast<uint32_t>(out->files.size() - 1);
    return true;
}

bool reader::refill() {
    source& s = stack.back();
    for (;;) {
        const ssize_t n = ::read(s.fd, s.buffer.get(), BUFFER_SIZE);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            fail(std::string("cannot be read (") + std::strerror(errno) + ")");
            return false;
        }
        s.at = s.buffer.get();
        s.end = s.at + n;
        // BIND reads a byte-order mark as the start of the first word, which
        // it then refuses as an unknown option.
        if (s.got == 0 && n >= 3 && std::memcmp(s.at, "\xEF\xBB\xBF", 3) == 0) {
            fail("the file starts with a byte-order mark, which BIND refuses", 1);
            return false;
        }
        s.got += static_cast<uint64_t>(n);
        return n > 0;
    }
}

bool reader::closeFile() {
    source& s = stack.back();
    const fileStamp& stamp = out->files[s.index];
    struct stat after;
    // A writer at work during the reading may have left a mix of old and
    // new content; the next pass reads the file again.
    if (fstat(s.fd, &after) != 0 || !sameStatus(after, stamp.status) ||
        s.got != static_cast<uint64_t>(stamp.status.st_size)) {
        if (stack.size() == 1) {
            error = "Zones file changed while it was read. Deferring update.";
        } else {
            fail("changed while it was read");
        }
        return false;
    }
    close(s.fd);
    s.fd = -1;
    if (stack.size() == 1) {
        return false;  // the main file's end ends the text; it stays on the stack
    }
    stack.pop_back();
    return true;
}

int reader::peek() {
    source& s = stack.back();
    if (s.at == s.end && !refill()) {
        return -1;
    }
    return static_cast<unsigned char>(*s.at);
}

void reader::skipLine() {
    for (;;) {
        source& s = stack.back();
        const void* feed = std::memchr(s.at, '\n', static_cast<size_t>(s.end - s.at));
        if (feed != nullptr) {
            s.at = static_cast<const char*>(feed);  // the line feed is counted by next()
            return;
        }
        if (!refill()) {
            return;
        }
    }
}

void reader::skipComment() {
    const uint32_t opened = stack.back().line;
    bool star = false;
    for (;;) {
        source& s = stack.back();
        if (s.at == s.end && !refill()) {
            fail("comment opened on line " + std::to_string(opened) +
                 " is still open at the end of the file");
            return;
        }
        const char c = *s.at++;
        if (star && c == '/') {
            return;
        }
        star = c == '*';
        s.line += c == '\n';
    }
}

token reader::next() {
    // BIND does not read "/*" right after an unquoted word as a comment.
    bool touching = afterWord;
    afterWord = false;
    for (;; touching = false) {
        if (failed()) {
            return token::End;
        }
        source& s = stack.back();
        if (s.at == s.end && !refill()) {
            if (failed() || !closeFile()) {
                return token::End;
            }
            continue;
        }
        // Blanks and line feeds, much of a file, are passed over in one run.
        const char* at = s.at;
        for (byteClass kind;
             at < s.end &&
             ((kind = bytes[static_cast<unsigned char>(*at)]) == Blank || kind == LineFeed);
             ++at) {
            s.line += kind == LineFeed;
            touching = false;
        }
        s.at = at;
        if (at == s.end) {
            continue;
        }
        const char c = *s.at++;
        line = s.line;
        switch (bytes[static_cast<unsigned char>(c)]) {
            case LineFeed:
            case Blank:  // never here: passed over above
                continue;
            case Hash:
                skipLine();
                continue;
            case Slash: {
                const int after = peek();
                if (after == '/') {
                    skipLine();
                    continue;
                }
                if (after == '*' && !touching) {
                    ++stack.back().at;
                    skipComment();
                    continue;
                }
                return token::Mark;
            }
            case Special:
                return c == '{'   ? token::Open
                       : c == '}' ? token::Close
                       : c == ';' ? token::Semicolon
                                  : token::Mark;
            case Quote:
                return string();
            case Nul:
                fail("NUL byte in the text");
                return token::End;
            case Letter:
                return word();
        }
    }
}

token reader::word() {
    text.clear();
    // The word starts with the character next() has just taken.
    const char* from = stack.back().at - 1;
    for (;;) {
        source& s = stack.back();
        const char* stop = s.at;
        while (stop < s.end && bytes[static_cast<unsigned char>(*stop)] == Letter) {
            ++stop;
        }
        text.append(from, stop);
        s.at = stop;
        from = s.buffer.get();
        if (text.size() > MAX_TOKEN_BYTES) {
            fail("word longer than " + std::to_string(MAX_TOKEN_BYTES) + " bytes");
            return token::End;
        }
        if (stop < s.end || !refill()) {
            break;
        }
    }
    afterWord = peek() == '/';
    return token::Word;
}

token reader::string() {
    text.clear();
    for (;;) {
        source& s = stack.back();
        if (s.at == s.end && !refill()) {
            fail("quoted string opened on line " + std::to_string(line) +
                 " is still open at the end of the file");
            return token::End;
        }
        // The plain run up to the next quote, backslash, line feed or NUL.
        const char* stop = s.at;
        while (stop < s.end && !endsStringRun(*stop)) {
            ++stop;
        }
        text.append(s.at, stop);
        s.at = stop;
        if (text.size() > MAX_TOKEN_BYTES) {
            fail("quoted string longer than " + std::to_string(MAX_TOKEN_BYTES) + " bytes");
            return token::End;
        }
        if (stop == s.end) {
            continue;
        }
        const char c = *s.at++;
        if (c == '"') {
            return token::String;
        }
        if (c == '\0') {
            fail("NUL byte in a quoted string");
            return token::End;
        }
        if (c == '\\') {
            // The next character is taken literally: a quote without the
            // backslash, anything else with it.
            const int after = peek();
            if (after <= 0) {
                continue;  // the string or a NUL byte is reported above
            }
            ++s.at;
            s.line += after == '\n';
            if (after != '"') {
                text.push_back('\\');
            }
            text.push_back(static_cast<char>(after));
            continue;
        }
        s.line += c == '\n';
        text.push_back(c);
    }
}

bool reader::expect(token _kind, const char* _what) {
    if (next() != _kind) {
        fail(std::string(_what) + " expected");
        return false;
    }
    return true;
}

uint32_t reader::intern(const std::string& _word) {
    // Most files state one type after the other: the last word is tried first.
    if (lastWord >= out->words.size() || out->words[lastWord] != _word) {
        const auto known = wordIndex.emplace(_word, static_cast<uint32_t>(out->words.size()));
        if (known.second) {
            out->words.push_back(_word);
        }
        lastWord = known.first->second;
    }
    return lastWord;
}

void reader::statements(scope _scope, int _depth, uint32_t _openLine) {
    if (_depth > MAX_BLOCK_DEPTH) {
        fail("blocks nested deeper than " + std::to_string(MAX_BLOCK_DEPTH));
        return;
    }
    while (!failed()) {
        const token kind = next();
        if (kind == token::End || kind == token::Close) {
            if (kind == token::End && _depth > 0) {
                fail("\"{\" of line " + std::to_string(_openLine) +
                     " is not closed at the end of the file");
            } else if (kind == token::Close && _depth == 0) {
                fail("\"}\" without its \"{\"");
            }
            return;
        }
        if (kind == token::Semicolon) {
            fail("\";\" without a statement");
            return;
        }
        if (kind != token::Word) {
            // Only the elements of a list may begin otherwise.
            if (_scope != scope::Other) {
                fail("statement without a keyword");
                return;
            }
            rest(_depth, false, kind);
            continue;
        }
        const keyword word = keywordOf(text);
        if (word == keyword::Include) {
            include();
        } else if (word == keyword::Zone && (_scope == scope::Top || _scope == scope::View)) {
            zone(_depth);
        } else if (word == keyword::View && _scope == scope::Top) {
            view(_depth);
        } else if (word == keyword::Module && (_scope == scope::Top || _scope == scope::View)) {
            module(asciiLower(text) == "plugin");
        } else if (word == keyword::Options && _scope == scope::Top) {
            block(scope::Options, _depth);
        } else if (word == keyword::Directory && _scope == scope::Options) {
            if (expect(token::String, "the directory's quoted path") &&
                expect(token::Semicolon, "\";\" after the directory")) {
                base = text.empty() || text[0] == '/' ? text : base + "/" + text;
            }
        } else if (word == keyword::Type && _scope == scope::Zone) {
            zoneStatement& z = out->zones[currentZone];
            if (z.type != zoneStatement::NO_WORD) {
                fail("zone " + quoted(out->nameOf(z)) + " states its type twice");
            } else if (expect(token::Word, "an unquoted type")) {
                const std::string type = asciiLower(text);
                if (isKnownType(type)) {
                    z.type = intern(type);
                    expect(token::Semicolon, "\";\" after the type");
                } else {
                    fail("zone " + quoted(out->nameOf(z)) + " has the type " + quoted(text) +
                         ", which BIND does not know");
                }
            }
        } else if (word == keyword::InView && _scope == scope::Zone) {
            const token target = next();
            if (target != token::Word && target != token::String) {
                fail("the view's name expected after in-view");
            } else {
                out->zones[currentZone].inView = intern(text);
                expect(token::Semicolon, "\";\" after in-view");
            }
        } else {
            // The channels of controls, response-policy and the zones of
            // catalog-zones go on after a block.
            rest(_depth,
                 word == keyword::GoesOn || (word == keyword::Zone && _scope == scope::Other),
                 token::Word);
        }
    }
}

void reader::rest(int _depth, bool _moreAfterBlock, token _read) {
    for (; !failed(); _read = next()) {
        switch (_read) {
            case token::Semicolon:
                return;
            case token::Open:
                statements(scope::Other, _depth + 1, line);
                if (!_moreAfterBlock) {
                    expect(token::Semicolon, "\";\" after \"}\"");
                    return;
                }
                break;
            case token::Close:
                fail("\";\" expected before \"}\"");
                return;
            case token::End:
                fail("\";\" expected at the end of the file");
                return;
            default:
                break;
        }
    }
}

void reader::block(scope _scope, int _depth) {
    if (expect(token::Open, "\"{\"")) {
        statements(_scope, _depth + 1, line);
        expect(token::Semicolon, "\";\" after \"}\"");
    }
}

// zone <name> [<class>] { <statements> };
void reader::zone(int _depth) {
    const uint32_t at = line;
    const token name = next();
    if (name != token::Word && name != token::String) {
        fail("zone statement without a name");
        return;
    }
    const std::string problem = zoneNameProblem(text);
    if (!problem.empty()) {
        fail("zone " + quoted(text) + ": " + problem);
        return;
    }
    zoneStatement z;
    z.nameOffset = static_cast<uint32_t>(out->names.size());
    z.nameSize = static_cast<uint32_t>(text.size());
    z.view = currentView;
    z.file = stack.back().index;
    z.line = at;
    out->names += text;
    token kind = next();
    if (kind == token::Word) {
        z.zoneClass = classOf(text);
        kind = next();
    }
    // A stated IN in a view of another class is refused by BIND; the view's
    // class keeps such a zone from being mirrored.
    z.zoneClass = z.zoneClass != zoneStatement::NO_WORD ? z.zoneClass : viewClass;
    if (kind != token::Open) {
        fail("\"{\" expected after the name of zone " + quoted(out->nameOf(z)));
        return;
    }
    currentZone = out->zones.size();
    out->zones.push_back(z);
    statements(scope::Zone, _depth + 1, line);
    currentZone = SIZE_MAX;
    const zoneStatement& read = out->zones.back();
    if (!failed() && read.type == zoneStatement::NO_WORD && read.inView == zoneStatement::NO_WORD &&
        !read.typeHidden) {
        fail("zone " + quoted(out->nameOf(read)) + " has no type", at);
    }
    expect(token::Semicolon, "\";\" after the zone's \"}\"");
}

// view <name> [<class>] { <statements> };
void reader::view(int _depth) {
    const token name = next();
    if (name != token::Word && name != token::String) {
        fail("view statement without a name");
        return;
    }
    for (const std::string& known : out->views) {
        if (known == text) {
            fail("view " + quoted(text) + " declared twice");
            return;
        }
    }
    out->views.push_back(text);
    token kind = next();
    if (kind == token::Word) {
        viewClass = classOf(text);
        kind = next();
    }
    if (kind != token::Open) {
        fail("\"{\" expected after the view's name");
        return;
    }
    currentView = static_cast<uint32_t>(out->views.size());
    statements(scope::View, _depth + 1, line);
    currentView = 0;
    viewClass = zoneStatement::NO_WORD;
    expect(token::Semicolon, "\";\" after the view's \"}\"");
}

uint32_t reader::classOf(const std::string& _word) {
    return isClassIn(_word) ? zoneStatement::NO_WORD : intern(_word);
}

// dyndb <name> "<library>" { <text> };
// plugin query <library> [ { <text> } ];
void reader::module(bool _plugin) {
    const token name = next();
    if (_plugin ? name != token::Word || asciiLower(text) != "query"
                : name != token::Word && name != token::String) {
        fail(_plugin ? "\"query\" expected after plugin" : "dyndb statement without a name");
        return;
    }
    const token library = next();
    if (library != token::String && (!_plugin || library != token::Word)) {
        fail("the library's quoted path expected");
        return;
    }
    const token kind = next();
    if (kind == token::Open && rawBlock()) {
        expect(token::Semicolon, "\";\" after \"}\"");
    } else if (!_plugin || kind != token::Semicolon) {
        fail("\"{\" expected after the library");
    }
}

// The parameters BIND hands to a module as they are, after their "{": only
// braces count, and a backslash takes the next byte out of the count. Returns
// false, the error set, when the file ends first.
bool reader::rawBlock() {
    const uint32_t opened = line;
    int depth = 1;
    bool escaped = false;
    while (depth > 0) {
        source& s = stack.back();
        if (s.at == s.end && !refill()) {
            fail("parameter block opened on line " + std::to_string(opened) +
                 " is still open at the end of the file");
            return false;
        }
        const char c = *s.at++;
        s.line += c == '\n';
        depth += escaped ? 0 : (c == '{') - (c == '}');
        escaped = !escaped && c == '\\';
    }
    return true;
}

// include "<path>"; the included text takes the statement's place.
void reader::include() {
    if (!expect(token::String, "the include's quoted path")) {
        return;
    }
    const std::string path = text;
    if (!expect(token::Semicolon, "\";\" after the include")) {
        return;
    }
    if (!follow) {
        out->skippedIncludes.push_back(path);
        if (currentZone != SIZE_MAX) {
            out->zones[currentZone].typeHidden = true;
        }
        return;
    }
    if (stack.size() > MAX_INCLUDE_DEPTH) {
        fail("includes nested deeper than " + std::to_string(MAX_INCLUDE_DEPTH));
        return;
    }
    openFile(!path.empty() && path[0] == '/' ? path : base + "/" + path, false);
}

std::string reader::read(const std::string& _path) {
    const size_t slash = _path.rfind('/');
    base = slash == std::string::npos ? "." : slash == 0 ? "/" : _path.substr(0, slash);
    if (openFile(_path, true)) {
        // Room for what a hosting server's file holds, reserved as address
        // space: pages are only used as the lists grow into them.
        const size_t size = static_cast<size_t>(out->files[0].status.st_size);
        out->zones.reserve(size / 64);
        out->names.reserve(size / 4);
        statements(scope::Top, 0, 0);
    }
    return error;
}

}  // namespace

std::string readNamedConf(const std::string& _path, bool _followIncludes, namedConf* _out) {
    reader r(_followIncludes, _out);
    return r.read(_path);
}

std::string zoneNameProblem(const std::string& _name) {
    for (const char c : _name) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            return "the name holds a control byte";
        }
    }
    if (_name == ".") {
        return std::string();  // the root zone
    }
    const auto digit = [&_name](size_t _at) {
        return _at < _name.size() && std::isdigit(static_cast<unsigned char>(_name[_at])) != 0;
    };
    size_t label = 0;
    size_t wire = 1;  // the root label's length octet
    for (size_t i = 0; i < _name.size(); ++i) {
        if (_name[i] == '.') {
            if (label == 0) {
                return "the name has an empty label";
            }
            wire += label + 1;
            label = 0;
            continue;
        }
        if (_name[i] == '\\') {
            if (i + 1 == _name.size()) {
                return "the name ends in a lone backslash";
            }
            // \DDD is one octet by its decimal value, \X the character X.
            i += digit(i + 1) && digit(i + 2) && digit(i + 3) ? 3 : 1;
        }
        if (++label > 63) {
            return "a label of the name is longer than 63 octets";
        }
    }
    wire += label > 0 ? label + 1 : 0;
    if (wire > 255) {
        return "the name is longer than 255 octets";
    }
    return std::string();
}
