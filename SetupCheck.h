// The checks an operator runs before trusting the agent with a service:
// findings about the configuration (printed at every start) and check mode
// (-t), which also reads the zones file once and sends no request.
#ifndef VANTREL_SETUPCHECK_H
#define VANTREL_SETUPCHECK_H

#include <string>
#include <vector>

// What is wrong with a setup: problems keep the agent from working, warnings
// deserve an operator's look.
struct setupFindings {
    std::vector<std::string> problems;
    std::vector<std::string> warnings;
};

// Findings about the configuration read from |_path| (the global configFile),
// without reading the zones file; |_requested| is the -c path, empty when none
// was given.
setupFindings checkConfiguration(const std::string& _path, const std::string& _requested);

// Check mode: prints the file used, every setting (the token masked), the
// master zones and one "Error:" or "Warning:" line per finding. Returns 0 when
// the agent could run, 1 otherwise.
int runCheck(const std::string& _path, const std::string& _requested);

#endif  // VANTREL_SETUPCHECK_H
