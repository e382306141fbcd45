// Reads a named.conf-style file as BIND's configuration parser reads it and
// collects its zone statements: which zone, in which view, of which type.
//
// The lexical rules are BIND's: "#" and "//" comments to the end of the
// line and "/* */" comments, all recognised only outside quoted strings; a
// quoted string in which a backslash takes the next character literally;
// unquoted words; "{", "}" and ";" as tokens whatever the spacing. Every
// statement ends with ";", blocks nest, keywords are case-insensitive and
// the statements of a block come in any order. Of the statements only those
// that decide which zones BIND serves are interpreted (zone with its class
// and type, view with its class, include, and the options' directory, the
// base of relative include paths); the parameter blocks of dyndb and plugin
// are passed over as BIND reads them, as raw text in which only braces
// count; every other statement is checked for its shape and passed over. A
// text that breaks these rules (a zone type BIND does not know and a file
// that starts with a byte-order mark among them) is refused whole, with the
// file, the line and the reason.
#ifndef VANTREL_NAMEDCONF_H
#define VANTREL_NAMEDCONF_H

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

// The status of one file read, as the reading saw it.
struct fileStamp {
    std::string path;
    struct stat status;
};

// One zone statement. Indexes into the vectors of namedConf; NO_WORD for
// none.
struct zoneStatement {
    static constexpr uint32_t NO_WORD = UINT32_MAX;
    uint32_t nameOffset = 0;  // the name as written, in namedConf::names
    uint32_t nameSize = 0;
    uint32_t view = 0;          // 0 outside views, else 1 + its index in views
    uint32_t type = NO_WORD;    // the type, in lower case, in words
    uint32_t inView = NO_WORD;  // the in-view target, in words
    // The class when it is not IN (the stated one, else its view's), as
    // written, in words.
    uint32_t zoneClass = NO_WORD;
    uint32_t file = 0;  // where the statement starts
    uint32_t line = 0;
    bool typeHidden = false;  // its body holds an include that was not read
};

// What one reading collected.
struct namedConf {
    std::string names;
    std::vector<zoneStatement> zones;
    std::vector<std::string> words;
    std::vector<std::string> views;
    // Include statements that were not followed, as written.
    std::vector<std::string> skippedIncludes;
    // Every file read, the main file first.
    std::vector<fileStamp> files;

    std::string nameOf(const zoneStatement& _zone) const {
        return names.substr(_zone.nameOffset, _zone.nameSize);
    }
};

// Includes nested deeper than this are refused.
constexpr int MAX_INCLUDE_DEPTH = 16;

// Reads |_path| into |_out| and, with |_followIncludes|, every file it
// includes where BIND allows an include (a relative path is resolved against
// the options' directory once that statement has been read, before it
// against the main file's folder). Returns the empty text, or the ERROR line
// that says why the text is refused; |_out| is then incomplete.
std::string readNamedConf(const std::string& _path, bool _followIncludes, namedConf* _out);

// Why |_name| (as written in a zone statement) is no valid DNS name: an
// empty label, a label over 63 or a name over 255 octets, a control byte, a
// lone backslash at its end. Empty when it is valid.
std::string zoneNameProblem(const std::string& _name);

#endif  // VANTREL_NAMEDCONF_H
