#include "Plan.h"

#include <json/json.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <memory>
#include <vector>

#include "BindCheck.h"
#include "ConfigFileParser.h"
#include "EventLog.h"
#include "ZoneFileParser.h"
#include "serverConnector.h"

namespace {

// Says why there is no plan; returns PLAN_UNREADABLE.
int noPlan(const std::string& _reason) {
    std::cerr << "vantrel --plan: " << _reason << std::endl;
    return PLAN_UNREADABLE;
}

// Writes |_text| whole to |_fd|; false when it cannot.
bool writeAll(int _fd, const std::string& _text) {
    for (size_t written = 0; written < _text.size();) {
        const ssize_t n = write(_fd, _text.data() + written, _text.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        written += static_cast<size_t>(n);
    }
    return true;
}

// The plan as one JSON object; the field names are documented in vantrel(8).
std::string planJson(const reconciliationPlan& _plan, const std::vector<skippedZone>& _skipped,
                     size_t _mirrored, bool _inSync) {
    const auto array = [](const std::vector<std::string>& _names) {
        Json::Value names(Json::arrayValue);
        for (const std::string& name : _names) {
            names.append(name);
        }
        return names;
    };
    Json::Value root(Json::objectValue);
    root["zones_file"] = configFile->getZoneFileName();
    root["service"] = configFile->getServerHostname();
    root["in_sync"] = _inSync;
    root["mirrored"] = static_cast<Json::UInt64>(_mirrored);
    root["listed"] = static_cast<Json::UInt64>(_plan.listed);
    root["insert"] = array(_plan.inserts);
    root["delete"] = array(_plan.deletes);
    root["waiting"] = array(_plan.waiting);
    root["delete_grace"] = configFile->getDeleteGrace();
    root["held"] = array(_plan.held);
    root["held_reason"] = _plan.heldReason;
    Json::Value skipped(Json::arrayValue);
    for (const skippedZone& zone : _skipped) {
        Json::Value entry(Json::objectValue);
        entry["zone"] = zone.name;
        entry["reason"] = zone.reason;
        skipped.append(entry);
    }
    root["not_mirrored"] = skipped;
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, root) + "\n";
}

// The plan as text: the counts, then one line per zone.
std::string planText(const reconciliationPlan& _plan, const std::vector<skippedZone>& _skipped,
                     size_t _mirrored) {
    const std::string grace = std::to_string(configFile->getDeleteGrace());
    std::string text =
        "Zones file: " + configFile->getZoneFileName() + " (" + std::to_string(_mirrored) +
        " zones to mirror, " + std::to_string(_skipped.size()) +
        " not mirrored)\nService: " + configFile->getServerHostname() + " (" +
        std::to_string(_plan.listed) +
        " zones listed)\nInsert: " + std::to_string(_plan.inserts.size()) +
        "\nDelete: " + std::to_string(_plan.deletes.size()) +
        "\nDelete after DELETE_GRACE=" + grace + " s: " + std::to_string(_plan.waiting.size()) +
        "\nHeld back: " + std::to_string(_plan.held.size()) +
        (_plan.held.empty() ? "" : " (" + _plan.heldReason + ")") +
        "\nNot mirrored: " + std::to_string(_skipped.size()) + "\n";
    const std::pair<const char*, const std::vector<std::string>*> groups[] = {
        {"insert ", &_plan.inserts},
        {"delete ", &_plan.deletes},
        {"wait ", &_plan.waiting},
        {"hold ", &_plan.held}};
    for (const auto& group : groups) {
        for (const std::string& name : *group.second) {
            text += group.first + name + "\n";
        }
    }
    for (const skippedZone& zone : _skipped) {
        text += "skip " + zone.name + " (" + zone.reason + ")\n";
    }
    return text;
}

}  // namespace

int runPlan(bool _json, int _out) {
    if (!configFile->isCofigAcceptable()) {
        return noPlan("SERVER_HOSTNAME or TOKEN is empty in " + configFile->getConfigFileName() +
                      ".");
    }
    ZoneFileParser zonesFile(configFile);
    zonesFile.setReportSkipped(true);
    zonesFile.readZones();
    const std::string path = configFile->getZoneFileName();
    if (zonesFile.getLastResult() == readResult::Failed) {
        return noPlan("the zones file \"" + path +
                      "\" cannot be read: " + zonesFile.getReadError());
    }
    if (zonesFile.getLastResult() == readResult::NoZoneBlocks) {
        return noPlan("the zones file \"" + path + "\": " + zonesFile.getNoZonesReason() + ".");
    }
    serverConnector server(configFile, zonesFile.getZones());
    reconciliationPlan plan;
    if (!server.planReconciliation(plan)) {
        return noPlan("the zone list of " + configFile->getServerHostname() + " cannot be read.");
    }
    // Deletions go only when BIND's checker accepts the configuration.
    BindCheck bind(configFile);
    if (bind.isEnabled() && (!plan.deletes.empty() || !plan.waiting.empty())) {
        const std::string hold = bind.holdReason(bind.runToEnd(zonesFile.getFilesRead()));
        if (!hold.empty()) {
            plan.held.insert(plan.held.end(), plan.deletes.begin(), plan.deletes.end());
            plan.held.insert(plan.held.end(), plan.waiting.begin(), plan.waiting.end());
            plan.deletes.clear();
            plan.waiting.clear();
            plan.heldReason = hold;
        }
    }
    const bool inSync =
        plan.inserts.empty() && plan.deletes.empty() && plan.waiting.empty() && plan.held.empty();
    const size_t mirrored = zonesFile.getZones()->size();
    const std::vector<skippedZone>& skipped = zonesFile.getSkippedZones();
    const std::string text =
        _json ? planJson(plan, skipped, mirrored, inSync) : planText(plan, skipped, mirrored);
    if (!writeAll(_out, text)) {
        return noPlan("the plan cannot be written.");
    }
    return inSync ? PLAN_IN_SYNC : PLAN_CHANGES;
}
