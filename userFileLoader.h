// userFileLoader reads the cPanel control panel's user-domains file (lines of
// "domain: account") into a list of zone and account pairs that a caller can
// fetch. It borrows the configuration and owns the list; the main loop does
// not use it.
#ifndef VANTREL_USERFILELOADER_H
#define VANTREL_USERFILELOADER_H

#include <string>
#include <vector>

class ConfigFileParser;

// One line of the user-domains file.
typedef struct structZoneLine {
    std::string zone;      // the domain, before the colon, spaces trimmed
    std::string username;  // the account, after the colon and its space, trimmed
} typeZoneLine;

class userFileLoader {
public:
    // Borrows |_configFile|; the list and the path start empty.
    explicit userFileLoader(ConfigFileParser* _configFile);
    virtual ~userFileLoader();

    // Sets the path of the user-domains file that reloadData() reads.
    void setDomainsFile(std::string _domainsFile) { domainsFile = _domainsFile; }
    // Takes the path from the configuration's CPANEL_ZONES_FILE.
    void useConfiguredDomainsFile();
    std::string getDomainsFile() const { return domainsFile; }

    // Reads the file anew and replaces the list. When the path cannot be
    // queried or is not a regular file, logs at ERROR and keeps the list.
    void reloadData();
    // The list of the last successful reading; valid until the loader goes.
    std::vector<structZoneLine>* getZonesVector() { return &vectorZones; }

private:
    // Parses one line and appends its entry; a line without a colon is
    // skipped.
    void parseLine(std::string _line);

    ConfigFileParser* configFile;
    std::vector<structZoneLine> vectorZones;
    std::string domainsFile;
};

#endif  // VANTREL_USERFILELOADER_H
