// A character-by-character model of how the zones file is read and of the
// change tracking between readings, shared by the zones fuzzer and the unit
// tests. checkZonesInput drives a real ZoneFileParser over real files and
// compares every reading with the model; it returns the first difference it
// finds, or empty text when none.
#ifndef VANTREL_FUZZ_ZONES_MODEL_H
#define VANTREL_FUZZ_ZONES_MODEL_H

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "ConfigFileParser.h"
#include "ZoneFileParser.h"
#include "fuzz/fuzz_checks.h"

namespace zonesmodel {

// One record of the zone vector (every record is of type master), flags.
struct ZoneRecord {
    std::string name;
    bool found, isNew, deleted;
};

// |text| with A-Z folded to a-z.
inline std::string foldCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
    return text;
}

// The name and folded type of one zone block.
struct ZoneBlock {
    std::string name, type;
};

// One block by the rules: the name lies strictly between the first two double
// quotes; the body starts after the first "{" past the name's closing quote
// (past the first character without a name), and the non-blank text written
// against that brace starts the body's first word; words end at line feed,
// space, tab, ";", "{" and "}"; the last word before a value is the parameter
// name; a ";" completes a statement whose value is the word before it. A
// non-empty value of "type" (folded; primary read as master, secondary as
// slave) sets the type; an allow-update or
// allow-transfer statement ends the parsing.
inline ZoneBlock referenceParseBlock(const std::string& block) {
    ZoneBlock out;
    const size_t open = block.find('"');
    const size_t close = open == std::string::npos ? open : block.find('"', open + 1);
    const size_t nameEnd = close == std::string::npos ? 0 : close;
    out.name = close == std::string::npos ? "" : block.substr(open + 1, close - open - 1);
    const size_t brace = nameEnd + 1 < block.size() ? block.find('{', nameEnd + 1) : block.npos;
    const size_t blank = brace == block.npos ? brace : block.find_last_of("\n \t\r", brace - 1);
    const size_t carried = blank == block.npos || blank < nameEnd + 1 ? nameEnd + 1 : blank + 1;
    std::string word = brace == block.npos ? "" : block.substr(carried, brace - carried);
    std::string paramName;
    bool param = false;
    for (size_t i = brace + 1; brace != block.npos && i < block.size(); ++i) {
        const char c = block[i];
        if (std::string("\n \t;{}", 6).find(c) == std::string::npos) {
            word.push_back(c);
            continue;
        }
        if (c == ';' && param) {
            if (paramName == "allow-update" || paramName == "allow-transfer") {
                break;
            }
            const std::string type = foldCase(word);
            if (paramName == "type" && !word.empty()) {
                out.type = type == "primary" ? "master" : type == "secondary" ? "slave" : type;
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
// the reading may not be trusted (empty for a whole text).
struct FileReading {
    std::vector<ZoneBlock> blocks;
    std::string error;
};

// Comments go as in the configuration format (a NUL outside a comment ends
// the removal); a block starts at each "zone" outside all braces and double
// quotes counted from the start of the text and runs one character past the
// "}" that balances its first "{" (to the end without one); the next "zone"
// is looked for from there. A text that ends inside a "/*" comment, with
// unbalanced braces or with an odd number of double quotes is not trusted.
inline FileReading referenceFileReading(const std::string& raw) {
    FileReading out;
    const std::string text = fuzzchecks::referenceStripComments(raw);
    // A line feed and "*/" added at the end vanish exactly when the text
    // ends inside a "/*" comment.
    const bool unclosed = fuzzchecks::referenceStripComments(raw + "\n*/") == text;
    std::vector<long> depth(text.size() + 1, 0);
    std::vector<bool> quoted(text.size() + 1, false);
    for (size_t i = 0; i < text.size(); ++i) {
        depth[i + 1] = depth[i] + (text[i] == '{') - (text[i] == '}');
        quoted[i + 1] = quoted[i] != (text[i] == '"');
    }
    const char* const ends = unclosed            ? "a comment"
                             : depth.back() != 0 ? "a block"
                             : quoted.back()     ? "a quoted string"
                                                 : nullptr;
    out.error = ends ? std::string("Zones file ends inside ") + ends + "; deferring update." : "";
    for (size_t from = 0; ends == nullptr && from <= text.size();) {
        size_t keyword = from - 1;  // the first "zone" from |from| on outside braces and quotes
        do {
            keyword = text.find("zone", keyword + 1);
        } while (keyword != std::string::npos && (depth[keyword] != 0 || quoted[keyword]));
        if (keyword == std::string::npos) {
            break;
        }
        size_t end = text.find('{', keyword);
        for (long level = 1; end < text.size() && level > 0;) {
            ++end;
            level += end < text.size() ? (text[end] == '{') - (text[end] == '}') : 0;
        }
        end = end < text.size() ? end + 2 : text.size() + 1;
        out.blocks.push_back(
            referenceParseBlock(text.substr(keyword, std::min(end, text.size()) - keyword)));
        from = end;
    }
    return out;
}

// The vector after a parsed reading of |blocks| on top of |records| (flags
// cleared): a named block whose name a record has (ignoring ASCII case) flags
// that record found, otherwise a master block adds a record flagged new;
// records neither found nor new are flagged deleted; ascending byte order.
inline std::vector<ZoneRecord> referenceReading(std::vector<ZoneRecord> records,
                                                const std::vector<ZoneBlock>& blocks) {
    std::map<std::string, size_t> byFoldedName;
    for (size_t i = 0; i < records.size(); ++i) {
        byFoldedName.emplace(foldCase(records[i].name), i);
    }
    for (const ZoneBlock& b : blocks) {
        const auto known = byFoldedName.find(foldCase(b.name));
        if (known != byFoldedName.end()) {
            records[known->second].found = true;
        } else if (!b.name.empty() && b.type == "master") {
            byFoldedName.emplace(foldCase(b.name), records.size());
            records.push_back({b.name, false, true, false});
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

    // The whole of it as text, records as "name type:flags" (F found, N new,
    // D deleted).
    std::string describe() const {
        std::string out = std::to_string(result) + " blocks, result " +
                          std::to_string(static_cast<int>(last)) + ", error \"" + error + "\"" +
                          (succeeded ? ", succeeded" : "") + ", typeless:";
        for (const std::string& name : typeless)
            out += " \"" + name + "\"";
        for (const ZoneRecord& r : records) {
            out += "\n  \"" + r.name + "\":" + (r.found ? "F" : "") + (r.isNew ? "N" : "") +
                   (r.deleted ? "D" : "");
        }
        return out;
    }
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
    const FileReading reading = raw != nullptr ? referenceFileReading(*raw) : FileReading{};
    e.error = !owed && e.recorded ? "" : raw != nullptr ? reading.error : "Error reading file!";
    e.last = !owed && e.recorded      ? readResult::Unchanged
             : !e.error.empty()       ? readResult::Failed
             : reading.blocks.empty() ? readResult::NoZoneBlocks
                                      : readResult::Read;
    if (e.last == readResult::Unchanged || e.last == readResult::Failed) {
        return;
    }
    e.recorded = true;
    e.records = referenceReading(e.records, reading.blocks);
    e.result = static_cast<int>(reading.blocks.size());
    e.succeeded = e.succeeded || !reading.blocks.empty();
    e.typeless.clear();
    for (const ZoneBlock& b : reading.blocks) {
        e.typeless.insert(e.typeless.end(), b.type.empty() ? 1 : 0, b.name);
    }
}

// Reads once with |parser| and compares everything it shows with |e| (the
// model's names are unique ignoring case), also that every record is of type
// master and zonesChanged's counts against the flags.
inline std::string checkStep(ZoneFileParser& parser, const Expected& e, const std::string& step) {
    Expected shown;
    shown.result = parser.readZones();
    int flags[2] = {0, 0};  // new, deleted
    for (const zoneData& z : *parser.getZones()) {
        shown.records.push_back({z.getZoneName(), z.isFound(), z.isNewZone(), z.isDeleted()});
        flags[0] += z.isNewZone();
        flags[1] += z.isDeleted();
        if (z.getZoneType() != "master") {
            return step + ": a record not of type master: " + z.getZoneName();
        }
    }
    int changes[2] = {-1, -1};
    const bool changed = parser.zonesChanged(changes[0], changes[1]);
    const bool read = e.last == readResult::Read || e.last == readResult::NoZoneBlocks;
    // After a parsed reading every record is found, new or deleted.
    if (changed != (read && !e.records.empty()) ||
        (changed && (changes[0] != flags[0] || changes[1] != flags[1]))) {
        return step + ": zonesChanged does not match the flags";
    }
    shown.last = parser.getLastResult();
    shown.error = parser.getReadError();
    shown.typeless = parser.getTypelessZones();
    shown.succeeded = parser.hasReadSuccessfully();
    return shown.describe() == e.describe()
               ? std::string()
               : step + ": the parser shows " + shown.describe() + "\ninstead of " + e.describe();
}

// Splits |input| at its first 0xFF byte into two versions of the file (both
// the whole input without one); reads the first as the zones file named by
// |config|, then the second renamed into place, the unchanged file, the file
// moved away and the second restored; every reading must match the model.
inline std::string checkZonesInput(ConfigFileParser* config, const std::string& input) {
    const size_t split = input.find('\xff');
    const std::string first = input.substr(0, split);
    const std::string second = split == std::string::npos ? input : input.substr(split + 1);
    const std::string path = config->getZoneFileName();
    ZoneFileParser parser(config);
    Expected e;
    std::string problem;
    // A step that |changed| the file (to |raw|, or away when nullptr) lets
    // the parser see a new status, then reads.
    const auto step = [&](const char* name, const std::string* raw, bool changed) {
        const bool written = !changed || raw == nullptr || fuzzchecks::replaceWhole(path, *raw);
        e.recorded = e.recorded && !changed;
        modelStep(e, raw);
        problem = !problem.empty() ? problem
                  : written        ? checkStep(parser, e, name)
                                   : "cannot write";
    };
    step("first reading", &first, true);
    step("second reading", &second, true);
    step("unchanged reading", &second, false);
    // Moved aside rather than removed, so that the restored file gets
    // another inode.
    if (std::rename(path.c_str(), (path + ".aside").c_str()) != 0) {
        return "cannot move " + path;
    }
    step("reading of the missing file", nullptr, true);
    step("reading of the restored file", &second, true);
    std::remove((path + ".aside").c_str());
    return problem;
}

}  // namespace zonesmodel

#endif  // VANTREL_FUZZ_ZONES_MODEL_H
