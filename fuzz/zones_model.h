// A character-by-character model of how the zones file is read and of the
// change tracking between readings, shared by the zones fuzzer and the unit
// tests. checkZoneReadings drives a real ZoneFileParser over real files and
// compares every reading with the model; it returns the first difference it
// finds, or empty text when none.
#ifndef VANTREL_FUZZ_ZONES_MODEL_H
#define VANTREL_FUZZ_ZONES_MODEL_H

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "ConfigFileParser.h"
#include "ZoneFileParser.h"
#include "fuzz/fuzz_checks.h"

namespace zonesmodel {

// One record of the zone vector with its flags.
struct ZoneRecord {
    std::string name;
    std::string type;
    bool found;
    bool isNew;
    bool deleted;
    bool operator==(const ZoneRecord& b) const {
        return name == b.name && type == b.type && found == b.found && isNew == b.isNew &&
               deleted == b.deleted;
    }
};

// |text| with A-Z folded to a-z.
inline std::string foldCase(std::string text) {
    for (char& c : text) {
        c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return text;
}

// |records| as "name type:flags" lines (F found, N new, D deleted).
inline std::string describe(const std::vector<ZoneRecord>& records) {
    std::string out;
    for (const ZoneRecord& r : records) {
        out += "\n  \"" + r.name + "\" " + r.type + ":" + (r.found ? "F" : "") +
               (r.isNew ? "N" : "") + (r.deleted ? "D" : "");
    }
    return out;
}

// The name and folded type of one zone block.
struct ZoneBlock {
    std::string name;
    std::string type;
};

// One block by the rules: the name lies strictly between the first two double
// quotes; the body starts after the first "{" past the name's closing quote
// (past the first character without a name), and the non-blank text written
// against that brace starts the body's first word; words end at line feed,
// space, tab, ";", "{" and "}"; the last word before a value is the parameter
// name; a ";" completes a statement whose value is the word before it. A
// non-empty value of "type" (folded up to its first NUL; primary read as
// master, secondary as slave) sets the type; an allow-update or
// allow-transfer statement ends the parsing.
inline ZoneBlock referenceParseBlock(const std::string& block) {
    ZoneBlock out;
    size_t nameEnd = 0;
    const size_t open = block.find('"');
    const size_t close = open == std::string::npos ? open : block.find('"', open + 1);
    if (close != std::string::npos) {
        nameEnd = close;
        out.name = block.substr(open + 1, close - open - 1);
    }
    const size_t brace =
        nameEnd + 1 < block.size() ? block.find('{', nameEnd + 1) : std::string::npos;
    if (brace == std::string::npos) {
        return out;
    }
    size_t carried = brace;
    while (carried > nameEnd + 1 &&
           std::string("\n \t\r").find(block[carried - 1]) == std::string::npos) {
        --carried;
    }
    std::string word = block.substr(carried, brace - carried);
    std::string paramName;
    bool param = false;
    for (size_t i = brace + 1; i < block.size(); ++i) {
        const char c = block[i];
        if (std::string("\n \t;{}", 6).find(c) == std::string::npos) {
            word.push_back(c);
            continue;
        }
        if (c == ';' && param) {
            if (paramName == "allow-update" || paramName == "allow-transfer") {
                break;
            }
            if (paramName == "type" && !word.empty()) {
                const size_t nul = word.find('\0');
                out.type = foldCase(word.substr(0, nul)) +
                           (nul == std::string::npos ? std::string() : word.substr(nul));
                out.type = out.type == "primary" ? "master" : out.type;
                out.type = out.type == "secondary" ? "slave" : out.type;
            }
            param = false;
        } else if (!word.empty()) {
            paramName = word;
            param = true;
        }
        word.clear();
    }
    return out;
}

// What the rules make of one version of the file: its zone blocks, or why
// the reading may not be trusted.
struct FileReading {
    std::vector<ZoneBlock> blocks;
    std::string error;  // empty for a whole text
};

// Comments go as in the configuration format (a NUL outside a comment ends
// the removal); a block starts at each "zone" outside all braces and double
// quotes counted from the start of the text and runs one character past the
// "}" that balances its first "{" (to the end without one); the next "zone"
// is looked for from there. A text that ends inside a "/*" comment, with
// unbalanced braces or with an odd number of double quotes is not trusted.
inline FileReading referenceFileReading(const std::string& raw) {
    FileReading out;
    bool unclosed = false;
    for (size_t i = 0; i < raw.size() && raw[i] != '\0';) {
        if (raw.compare(i, 2, "//") == 0) {
            i = std::min(raw.find('\n', i), raw.size());
        } else if (raw.compare(i, 2, "/*") == 0) {
            const size_t close = raw.find("*/", i + 1);
            unclosed = close == std::string::npos;
            i = unclosed ? raw.size() : close + 2;
        } else {
            ++i;
        }
    }
    const std::string text = fuzzchecks::referenceStripComments(raw);
    std::vector<long> depth(text.size() + 1, 0);
    std::vector<bool> quoted(text.size() + 1, false);
    for (size_t i = 0; i < text.size(); ++i) {
        depth[i + 1] = depth[i] + (text[i] == '{') - (text[i] == '}');
        quoted[i + 1] = quoted[i] != (text[i] == '"');
    }
    if (unclosed) {
        out.error = "Zones file ends inside a comment; deferring update.";
    } else if (depth.back() != 0) {
        out.error = "Zones file ends inside a block; deferring update.";
    } else if (quoted.back()) {
        out.error = "Zones file ends inside a quoted string; deferring update.";
    }
    for (size_t from = 0; from <= text.size() && out.error.empty();) {
        size_t keyword = text.find("zone", from);
        while (keyword != std::string::npos && (depth[keyword] != 0 || quoted[keyword])) {
            keyword = text.find("zone", keyword + 1);
        }
        if (keyword == std::string::npos) {
            break;
        }
        size_t end = text.size() + 1;
        const size_t open = text.find('{', keyword);
        if (open != std::string::npos) {
            long level = 1;
            size_t i = open + 1;
            for (; level > 0 && i < text.size(); ++i) {
                level += (text[i] == '{') - (text[i] == '}');
            }
            end = i + 1;
        }
        out.blocks.push_back(
            referenceParseBlock(text.substr(keyword, std::min(end, text.size()) - keyword)));
        from = end;
    }
    return out;
}

// The vector after a parsed reading of |blocks| on top of |records|: flags
// cleared; a named block whose name a record has (ignoring ASCII case) flags
// that record found, otherwise a master block adds a record flagged new;
// records neither found nor new are flagged deleted; ascending byte order.
inline std::vector<ZoneRecord> referenceReading(std::vector<ZoneRecord> records,
                                                const std::vector<ZoneBlock>& blocks) {
    std::map<std::string, size_t> byFoldedName;
    for (size_t i = 0; i < records.size(); ++i) {
        records[i].found = records[i].isNew = records[i].deleted = false;
        byFoldedName.emplace(foldCase(records[i].name), i);
    }
    for (const ZoneBlock& b : blocks) {
        if (b.name.empty()) {
            continue;
        }
        const auto known = byFoldedName.emplace(foldCase(b.name), records.size());
        if (!known.second) {
            records[known.first->second].found = true;
        } else if (b.type == "master") {
            records.push_back({b.name, b.type, false, true, false});
        } else {
            byFoldedName.erase(known.first);
        }
    }
    for (ZoneRecord& r : records) {
        r.deleted = !r.found && !r.isNew;
    }
    std::sort(records.begin(), records.end(),
              [](const ZoneRecord& a, const ZoneRecord& b) { return a.name < b.name; });
    return records;
}

// What the parser should show after a reading.
struct Expected {
    std::vector<ZoneRecord> records;
    int result = 0;
    readResult last = readResult::Unchanged;
    std::string error;
    std::vector<std::string> typeless;
    bool succeeded = false;
    bool recorded = false;  // the file's status is recorded: an unchanged file is not read
};

// One more reading of |raw| (nullptr: the file is missing). A deletion still
// flagged (owed) makes an unchanged file be read again; a failed reading
// keeps the owed flags and sets no other.
inline void modelStep(Expected& e, const std::string* raw) {
    bool owed = false;
    for (ZoneRecord& r : e.records) {
        r.found = r.isNew = false;
        owed = owed || r.deleted;
    }
    e.result = 0;
    e.error.clear();
    if (!owed && e.recorded) {
        e.last = readResult::Unchanged;
        return;
    }
    const FileReading reading = raw != nullptr ? referenceFileReading(*raw) : FileReading{};
    e.error = raw != nullptr ? reading.error : "Error reading file!";
    if (!e.error.empty()) {
        e.last = readResult::Failed;
        return;
    }
    e.recorded = true;
    e.records = referenceReading(e.records, reading.blocks);
    e.result = static_cast<int>(reading.blocks.size());
    e.last = reading.blocks.empty() ? readResult::NoZoneBlocks : readResult::Read;
    e.succeeded = e.succeeded || !reading.blocks.empty();
    e.typeless.clear();
    for (const ZoneBlock& b : reading.blocks) {
        if (b.type.empty()) {
            e.typeless.push_back(b.name);
        }
    }
}

// Reads once with |parser| and compares everything it shows with |e|, also
// the vector's invariants: names non-empty and unique ignoring case, strictly
// ascending byte order, master records only, the array copy equal to the
// vector, and zonesChanged's counts equal to the flags.
inline std::string checkStep(ZoneFileParser& parser, const Expected& e, const std::string& step) {
    const int result = parser.readZones();
    std::vector<ZoneRecord> records;
    int count = -1;
    zoneData* copy = parser.getZones(count);
    for (const zoneData& z : *parser.getZones()) {
        records.push_back(
            {z.getZoneName(), z.getZoneType(), z.isFound(), z.isNewZone(), z.isDeleted()});
    }
    bool sameCopy = count == static_cast<int>(records.size());
    for (int i = 0; sameCopy && i < count; ++i) {
        sameCopy = copy[i].getZoneName() == records[static_cast<size_t>(i)].name &&
                   copy[i].isDeleted() == records[static_cast<size_t>(i)].deleted;
    }
    delete[] copy;
    int newZones = -1;
    int deletedZones = -1;
    const bool changed = parser.zonesChanged(newZones, deletedZones);
    int flaggedNew = 0;
    int flaggedDeleted = 0;
    int flagged = 0;
    std::set<std::string> folded;
    for (size_t i = 0; i < records.size(); ++i) {
        flaggedNew += records[i].isNew;
        flaggedDeleted += records[i].deleted;
        flagged += records[i].isNew || records[i].deleted || records[i].found;
        if (records[i].name.empty() || records[i].type != "master" ||
            !folded.insert(foldCase(records[i].name)).second ||
            (i > 0 && !(records[i - 1].name < records[i].name))) {
            return step + ": vector breaks its invariants:" + describe(records);
        }
    }
    const bool failed = e.last == readResult::Failed || e.last == readResult::Unchanged;
    if (!sameCopy) {
        return step + ": array copy differs from the vector";
    }
    if (changed != (!failed && flagged > 0) ||
        (changed && (newZones != flaggedNew || deletedZones != flaggedDeleted))) {
        return step + ": zonesChanged does not match the flags";
    }
    if (result != e.result) {
        return step + ": returned " + std::to_string(result) + " instead of " +
               std::to_string(e.result);
    }
    if (!(records == e.records)) {
        return step + ": zone vector" + describe(records) + "\ninstead of" + describe(e.records);
    }
    if (parser.getLastResult() != e.last || parser.getReadError() != e.error) {
        return step + ": reported result or error \"" + parser.getReadError() +
               "\" differs from \"" + e.error + "\"";
    }
    if (parser.getTypelessZones() != e.typeless) {
        return step + ": typeless zones differ";
    }
    if (parser.hasReadSuccessfully() != e.succeeded) {
        return step + ": reported success differs";
    }
    return std::string();
}

// Reads |first| as the zones file named by |config|, then |second| renamed
// into place, the unchanged file, the file moved away, |second| restored, and
// |second| with a fresh parser; every reading must match the model.
inline std::string checkZoneReadings(ConfigFileParser* config, const std::string& first,
                                     const std::string& second) {
    const std::string path = config->getZoneFileName();
    const std::string aside = path + ".aside";
    ZoneFileParser parser(config);
    Expected e;
    std::string problem;
    const auto step = [&](const char* name, const std::string* raw) {
        modelStep(e, raw);
        if (problem.empty()) {
            problem = checkStep(parser, e, name);
        }
    };
    if (!fuzzchecks::replaceWhole(path, first)) {
        return "cannot write " + path;
    }
    step("first reading", &first);
    if (!fuzzchecks::replaceWhole(path, second)) {
        return "cannot write " + path;
    }
    e.recorded = false;
    step("second reading", &second);
    step("unchanged reading", &second);
    // Moved aside rather than removed, so that the restored file gets
    // another inode.
    if (std::rename(path.c_str(), aside.c_str()) != 0) {
        return "cannot move " + path;
    }
    e.recorded = false;
    step("reading of the missing file", nullptr);
    if (!fuzzchecks::replaceWhole(path, second) || std::remove(aside.c_str()) != 0) {
        return "cannot restore " + path;
    }
    e.recorded = false;
    step("reading of the restored file", &second);
    if (!problem.empty()) {
        return problem;
    }
    ZoneFileParser fresh(config);
    e = Expected();
    modelStep(e, &second);
    return checkStep(fresh, e, "fresh reading");
}

// Splits a zones input at its first 0xFF byte into the two versions of the
// file; without one, both versions are the whole input.
inline std::string checkZonesInput(ConfigFileParser* config, const std::string& input) {
    const size_t split = input.find('\xff');
    if (split == std::string::npos) {
        return checkZoneReadings(config, input, input);
    }
    return checkZoneReadings(config, input.substr(0, split), input.substr(split + 1));
}

}  // namespace zonesmodel

#endif  // VANTREL_FUZZ_ZONES_MODEL_H
