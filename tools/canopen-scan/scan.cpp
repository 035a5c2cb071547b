#include "scan.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <set>

namespace canopenscan {

namespace {

bool parseNumber(const std::string &text, unsigned min, unsigned max, unsigned &value) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != text.npos)
        return false;
    const unsigned long number = std::stoul(text);
    if (number < min || number > max)
        return false;
    value = static_cast<unsigned>(number);
    return true;
}

std::string hex32(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
    return text;
}

std::string numberCell(const std::vector<uint8_t> &data) {
    if (data.empty())
        return "empty value";
    uint32_t value = 0;
    for (size_t i = 0; i < data.size(); ++i)
        value |= static_cast<uint32_t>(data[i]) << (8 * i);
    return hex32(value);
}

// A visible string may come padded with NULs; anything unprintable would upset the table.
std::string nameCell(const std::vector<uint8_t> &data) {
    std::string name(data.begin(), data.end());
    while (!name.empty() && name.back() == '\0')
        name.pop_back();
    for (char &c : name)
        if (c < 0x20 || c > 0x7E)
            c = '?';
    return name.empty() ? "(empty)" : name;
}

struct Item {
    uint16_t index;
    uint8_t sub;
    bool text;
};

const Item ITEMS[] = {{0x1000, 0, false}, {0x1008, 0, true},  {0x1018, 1, false},
                      {0x1018, 2, false}, {0x1018, 3, false}, {0x1018, 4, false}};

const char *const HEADERS[] = {"node",         "device type", "device name", "vendor id",
                               "product code", "revision",    "serial"};

void appendRow(std::string &out, const std::vector<std::string> &cells,
               const std::vector<size_t> &widths) {
    std::string line;
    for (size_t i = 0; i < cells.size(); ++i) {
        line += cells[i];
        if (i + 1 < cells.size())
            line += std::string(widths[i] - cells[i].size() + 2, ' ');
    }
    out += line + "\n";
}

} // namespace

bool parseOptions(const std::vector<std::string> &arguments, Options &options, std::string &error) {
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string &arg = arguments[i];
        if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg == "--notify") {
            options.notify = true;
        } else if (arg == "--listen" || arg == "--sdo-timeout") {
            if (i + 1 >= arguments.size()) {
                error = arg + " needs a value";
                return false;
            }
            const std::string &value = arguments[++i];
            const bool listen = arg == "--listen";
            if (!parseNumber(value, 1, listen ? 3600 : 60000,
                             listen ? options.listenSeconds : options.sdoTimeoutMs)) {
                error = arg +
                        (listen ? " takes seconds from 1 to 3600"
                                : " takes milliseconds from 1 to 60000") +
                        ", not '" + value + "'";
                return false;
            }
        } else {
            error = "unknown argument '" + arg + "'";
            return false;
        }
    }
    return true;
}

std::string usageText() {
    return "usage: canopen-scan [--listen S] [--sdo-timeout MS] [--notify] [--help]\n"
           "\n"
           "Lists the CANopen nodes behind a KORVAL gateway through canlib32.dll, which must\n"
           "be in the folder of this program. The DLL asks for the gateway address.\n"
           "\n"
           "  --listen S         seconds to collect heartbeats of active nodes (default 3)\n"
           "  --sdo-timeout MS   time-out of each SDO request in ms (default 1000)\n"
           "  --notify           wait for frames through window notification messages\n"
           "  --help             this text\n"
           "\n"
           "Exit code 0 when at least one node answered, 1 otherwise, 2 for bad arguments.\n";
}

bool listenForHeartbeats(const CanPort &port, uint32_t listenMs, std::vector<uint8_t> &nodes,
                         std::string &error) {
    const auto now = port.nowMs ? port.nowMs : steadyMilliseconds;
    std::set<uint8_t> seen;
    const uint64_t deadline = now() + listenMs;
    for (uint64_t t = now(); t < deadline; t = now()) {
        CanFrame frame;
        const ReadStatus status = port.read(frame, static_cast<uint32_t>(deadline - t), error);
        if (status == ReadStatus::Failed)
            return false;
        if (status == ReadStatus::Frame && frame.id > HEARTBEAT_BASE &&
            frame.id <= HEARTBEAT_BASE + 127)
            seen.insert(static_cast<uint8_t>(frame.id - HEARTBEAT_BASE));
    }
    nodes.assign(seen.begin(), seen.end());
    return true;
}

NodeReport readNode(SdoClient &client, uint8_t node) {
    NodeReport report;
    report.node = node;
    std::vector<std::string> errors;
    for (const Item &item : ITEMS) {
        const SdoResult result =
            client.upload(node, item.index, item.sub, item.text ? MAX_NAME_LENGTH : 4);
        report.answered = report.answered || result.answered;
        if (!result.ok()) {
            // A node that does not answer its first request would only cost a time-out for
            // each of the others.
            if (!report.answered) {
                report.error = result.describe();
                report.cells.clear();
                return report;
            }
            errors.push_back(result.describe());
            report.cells.push_back(errors.back());
        } else {
            report.cells.push_back(item.text ? nameCell(result.data) : numberCell(result.data));
        }
    }
    if (errors.size() == std::size(ITEMS) &&
        std::all_of(errors.begin(), errors.end(),
                    [&](const std::string &e) { return e == errors.front(); })) {
        report.error = errors.front();
        report.cells.clear();
    }
    return report;
}

std::string formatTable(const std::vector<NodeReport> &reports) {
    std::vector<size_t> widths;
    for (const char *header : HEADERS)
        widths.push_back(std::string(header).size());
    for (const NodeReport &report : reports) {
        widths[0] = std::max(widths[0], std::to_string(report.node).size());
        for (size_t i = 0; report.error.empty() && i < report.cells.size(); ++i)
            widths[i + 1] = std::max(widths[i + 1], report.cells[i].size());
    }
    std::string out;
    appendRow(out, std::vector<std::string>(std::begin(HEADERS), std::end(HEADERS)), widths);
    for (const NodeReport &report : reports) {
        std::vector<std::string> cells{std::to_string(report.node)};
        if (report.error.empty())
            cells.insert(cells.end(), report.cells.begin(), report.cells.end());
        else
            cells.push_back(report.error);
        appendRow(out, cells, widths);
    }
    return out;
}

} // namespace canopenscan
