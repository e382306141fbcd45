#include "userFileLoader.h"

#include <sys/stat.h>

#include <fstream>

#include "ConfigFileParser.h"
#include "EventLog.h"
#include "mylibs.h"

userFileLoader::userFileLoader(ConfigFileParser* _configFile) : configFile(_configFile) {}

userFileLoader::~userFileLoader() = default;

void userFileLoader::useConfiguredDomainsFile() {
    if (configFile != nullptr) {
        domainsFile = configFile->getCpanelZonesFile();
    }
}

void userFileLoader::reloadData() {
    struct stat status;
    if (lstat(domainsFile.c_str(), &status) != 0) {
        eventLog(ERROR, "CPanel UserFile: Error reading file");
        return;
    }
    if (!S_ISREG(status.st_mode)) {
        eventLog(ERROR, "Not a regular file!");
        return;
    }
    vectorZones.clear();
    std::ifstream infile(domainsFile);
    std::string line;
    while (std::getline(infile, line)) {
        if (!line.empty()) {
            parseLine(line);
        }
    }
    say("Total zones " + std::to_string(vectorZones.size()));
    infile.close();
}

void userFileLoader::parseLine(std::string _line) {
    const size_t colon = _line.find(':');
    if (colon == std::string::npos) {
        // Not an entry of the "domain: account" form: nothing to take.
        return;
    }
    structZoneLine entry;
    entry.zone = trim(_line.substr(0, colon));
    // The colon and the character after it (a space in this format) are
    // skipped.
    if (_line.size() >= colon + 2) {
        entry.username = trim(_line.substr(colon + 2));
    }
    say("Found zone:" + entry.zone + " -- username:" + entry.username);
    vectorZones.push_back(entry);
}
