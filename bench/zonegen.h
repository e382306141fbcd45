// Generator of zones files as a hosting server's name server has them: the
// key, controls, acl, options and logging statements, the root hint zone, the
// local zones and then one multi-line zone block per hosted domain, written
// in the styles the common control panels use, with about one slave zone in
// ten. The output is valid for BIND (named-checkconf accepts it as long as
// the options' directory exists), so the same files can be fed to both.
#ifndef VANTREL_BENCH_ZONEGEN_H
#define VANTREL_BENCH_ZONEGEN_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

namespace zonegen {

// What to generate.
struct Layout {
    // Number of hosted domains (the root hint and local zones come on top).
    uint64_t zoneCount = 1000;
    // Varies names, block styles and which zones are slaves.
    uint64_t seed = 1;
    // The options' directory; named-checkconf wants it to exist.
    std::string directory = "/var/named";
};

// Number of zone blocks the header holds: the root hint zone (type hint) and
// the two local zones (type master, but served locally: never mirrored).
constexpr uint64_t headerZoneBlocks = 3;
constexpr uint64_t headerMirroredZones = 0;

// A well-mixed 64-bit value of |_x|.
inline uint64_t mix(uint64_t _x) {
    _x += 0x9e3779b97f4a7c15ULL;
    _x = (_x ^ (_x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    _x = (_x ^ (_x >> 27)) * 0x94d049bb133111ebULL;
    return _x ^ (_x >> 31);
}

// The name of hosted domain |_index|: two words, a base-36 serial that keeps
// the names unique, and a top-level domain. Consecutive indexes give names
// far apart in sort order, as a file that grew over years has them.
inline std::string zoneName(uint64_t _index, uint64_t _seed) {
    static const char* const words[] = {
        "alpine", "bakery", "blue",  "cedar",  "city",  "clinic", "coast",   "craft",
        "dental", "design", "eagle", "family", "farm",  "garden", "golden",  "green",
        "harbor", "home",   "hotel", "lake",   "law",   "media",  "metro",   "motor",
        "north",  "oak",    "pixel", "prime",  "river", "shop",   "smith",   "solar",
        "studio", "summit", "tech",  "travel", "urban", "valley", "village", "web",
        "west",   "wine",   "yoga",  "zen",    "apex",  "nova",   "orbit",   "vista"};
    static const char* const tlds[] = {"com",  "net",    "org", "de", "co.uk", "fr", "nl", "eu",
                                       "info", "com.au", "it",  "es", "io",    "ch", "pl", "at"};
    const uint64_t h = mix(_index * 0x100000001b3ULL + _seed);
    std::string name;
    if (h % 97 == 0) {
        name = "xn--";  // an internationalised name now and then
    }
    name += words[(h >> 8) % (sizeof(words) / sizeof(words[0]))];
    if ((h >> 16) % 3 == 0) {
        name += '-';
    }
    name += words[(h >> 24) % (sizeof(words) / sizeof(words[0]))];
    uint64_t serial = _index;
    std::string digits;
    do {
        digits.insert(digits.begin(), "0123456789abcdefghijklmnopqrstuvwxyz"[serial % 36]);
        serial /= 36;
    } while (serial != 0);
    name += digits;
    name += '.';
    name += tlds[(h >> 32) % (sizeof(tlds) / sizeof(tlds[0]))];
    return name;
}

// True when hosted domain |_index| is a slave zone (about one in ten).
inline bool isSlave(uint64_t _index, uint64_t _seed) {
    return mix(_index * 0x100000001b3ULL + _seed) % 10 == 3;
}

// The zone block of hosted domain |_name|. |_style| picks one of the layouts
// that control panels write; the file paths differ per zone as BIND demands.
inline std::string zoneBlock(const std::string& _name, uint64_t _style, bool _slave) {
    std::string b;
    if (_slave) {
        b += "zone \"" + _name + "\" {\n";
        b += "\ttype slave;\n";
        b += "\tmasters { 192.0.2.10; 192.0.2.11 port 53; };\n";
        b += "\tfile \"/var/named/slaves/" + _name + ".db\";\n";
        b += "\tallow-notify { 192.0.2.10; };\n";
        b += "};\n\n";
        return b;
    }
    switch (_style % 4) {
        case 0:  // one control panel's style: a path per zone, nothing else
            b += "zone \"" + _name + "\" {\n";
            b += "\ttype master;\n";
            b += "\tfile \"/var/named/" + _name + ".db\";\n";
            b += "};\n\n";
            break;
        case 1:  // another's: a relative file and a shared transfer acl
            b += "zone \"" + _name + "\" {\n";
            b += "\ttype master;\n";
            b += "\tfile \"" + _name + "\";\n";
            b += "\tallow-transfer {\n\t\tcommon-allow-transfer;\n\t};\n";
            b += "};\n";
            break;
        case 2:  // a third's: the whole statement on one line
            b += "zone \"" + _name + "\" { type master; file \"/etc/bind/pri/" + _name +
                 ".db\"; };\n";
            break;
        default:  // written by hand: the class, notify and a secondary
            b += "zone \"" + _name + "\" IN {\n";
            b += "    type master;\n";
            b += "    file \"/etc/bind/zones/db." + _name + "\";\n";
            b += "    notify yes;\n";
            b += "    allow-transfer { 192.0.2.20; };  // secondary\n";
            b += "};\n\n";
            break;
    }
    return b;
}

// Everything before the hosted domains' blocks.
inline std::string header(const std::string& _directory) {
    std::string h;
    h += "// named.conf of a shared hosting server\n";
    h += "key \"rndc-key\" {\n\talgorithm hmac-sha256;\n";
    h += "\tsecret \"c3VwZXJzZWNyZXRyb25kY2tleWZvcmJlbmNobWFya3M=\";\n};\n\n";
    h += "controls {\n\tinet 127.0.0.1 port 953 allow { 127.0.0.1; } keys { \"rndc-key\"; "
         "};\n};\n\n";
    h += "acl common-allow-transfer {\n\tnone;\n};\n\n";
    h += "options {\n";
    h += "\tdirectory \"" + _directory + "\";\n";
    h += "\tlisten-on port 53 { any; };\n";
    h += "\tlisten-on-v6 port 53 { any; };\n";
    h += "\tallow-transfer { common-allow-transfer; };\n";
    h += "\tzone-statistics yes;\n";
    h += "\tversion \"none\";\n";
    h += "\tnotify yes;\n";
    h += "\t/* authoritative only: no recursion for anyone */\n";
    h += "\trecursion no;\n";
    h += "};\n\n";
    h += "logging {\n";
    h += "\tchannel default_log {\n";
    h += "\t\tfile \"/var/log/named/default.log\" versions 3 size 5m;\n";
    h += "\t\tseverity info;\n\t\tprint-time yes;\n\t};\n";
    h += "\tcategory default { default_log; };\n";
    h += "\tcategory lame-servers { null; };\n";
    h += "};\n\n";
    h += "zone \".\" IN {\n\ttype hint;\n\tfile \"named.ca\";\n};\n\n";
    h += "zone \"localhost\" IN {\n\ttype master;\n\tfile \"localhost.zone\";\n";
    h += "\tallow-update { none; };\n};\n\n";
    h += "zone \"0.0.127.in-addr.arpa\" IN {\n\ttype master;\n\tfile \"named.local\";\n";
    h += "\tallow-update { none; };\n};\n\n";
    return h;
}

// Hands the whole file to |_sink| in pieces of about a megabyte.
inline void generate(const Layout& _layout, const std::function<void(const std::string&)>& _sink) {
    std::string chunk = header(_layout.directory);
    for (uint64_t i = 0; i < _layout.zoneCount; ++i) {
        const uint64_t style = mix(i ^ (_layout.seed << 1)) >> 40;
        chunk += zoneBlock(zoneName(i, _layout.seed), style, isSlave(i, _layout.seed));
        if (chunk.size() >= (1u << 20)) {
            _sink(chunk);
            chunk.clear();
        }
    }
    _sink(chunk);
}

// The whole file as one text.
inline std::string generateText(const Layout& _layout) {
    std::string text;
    generate(_layout, [&text](const std::string& _piece) { text += _piece; });
    return text;
}

// Writes the file to |_path| without holding it in memory. Returns false when
// the file cannot be written.
inline bool writeFile(const std::string& _path, const Layout& _layout) {
    std::FILE* out = std::fopen(_path.c_str(), "wb");
    if (out == nullptr) {
        return false;
    }
    bool ok = true;
    generate(_layout, [out, &ok](const std::string& _piece) {
        ok = ok && std::fwrite(_piece.data(), 1, _piece.size(), out) == _piece.size();
    });
    return std::fclose(out) == 0 && ok;
}

}  // namespace zonegen

#endif  // VANTREL_BENCH_ZONEGEN_H
