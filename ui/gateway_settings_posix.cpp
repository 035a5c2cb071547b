#include "ui/gateway_settings_posix.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>

namespace Korval {

namespace {

const char GATEWAY_VARIABLE[] = "KORVAL_GATEWAY";
const char NODE_VARIABLE[] = "KORVAL_NODE";
const std::size_t MAX_HOST_NAME = 253;
const std::size_t MAX_LABEL = 63;
const std::size_t MAX_SHOWN = 64;
const int32_t MAX_NODE_ID = 127;

// An unset and an empty variable mean the same: nothing chosen.
std::string variable(const EnvironmentLookup &environment, const char *name) {
    const char *value = environment(name);
    return value != nullptr ? value : "";
}

// A value as the message shows it: quoted, on one line, and short.
std::string quoted(const std::string &value) {
    std::string text = "\"";
    for (std::size_t i = 0; i < value.size() && i < MAX_SHOWN; ++i) {
        const auto c = static_cast<unsigned char>(value[i]);
        if (c < 0x20 || c >= 0x7F || c == '"' || c == '\\') {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            text += escaped;
        } else {
            text += static_cast<char>(c);
        }
    }
    return text + (value.size() > MAX_SHOWN ? "...\"" : "\"");
}

bool isLabelCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_';
}

bool isHostName(const std::string &text) {
    std::string name = text;
    if (!name.empty() && name.back() == '.')
        name.pop_back(); // a fully qualified name may end in the root's dot
    if (name.empty() || name.size() > MAX_HOST_NAME)
        return false;
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t end = name.find('.', start);
        if (end == std::string::npos)
            end = name.size();
        const std::string label = name.substr(start, end - start);
        if (label.empty() || label.size() > MAX_LABEL || label.front() == '-' ||
            label.back() == '-')
            return false;
        for (char c : label)
            if (!isLabelCharacter(c))
                return false;
        start = end + 1;
    }
    return true;
}

// The first line of the remembered address's file, without the blanks around it. False with
// the problem when the file exists but cannot be read; a missing file is no problem.
bool readRememberedAddress(const std::string &path, bool &present, std::string &address,
                           std::string &problem) {
    present = false;
    if (path.empty())
        return true;
    std::FILE *file = std::fopen(path.c_str(), "re");
    if (file == nullptr) {
        if (errno == ENOENT || errno == ENOTDIR)
            return true;
        problem = "Cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    char buffer[MAX_HOST_NAME + 64];
    const std::size_t count = std::fread(buffer, 1, sizeof buffer, file);
    const bool failed = std::ferror(file) != 0;
    const int error = errno;
    std::fclose(file);
    if (failed) {
        problem = "Cannot read " + path + ": " + std::strerror(error);
        return false;
    }
    std::string text(buffer, count);
    text = text.substr(0, text.find('\n'));
    const char *blanks = " \t\r";
    const std::size_t first = text.find_first_not_of(blanks);
    address = first == std::string::npos
                  ? ""
                  : text.substr(first, text.find_last_not_of(blanks) - first + 1);
    present = true;
    return true;
}

bool parseNodeId(const std::string &text, int32_t &nodeId) {
    if (text.empty() || text.size() > 3 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    nodeId = static_cast<int32_t>(std::stoi(text));
    return nodeId <= MAX_NODE_ID;
}

GatewaySettings missing(const std::string &problem) {
    GatewaySettings settings;
    settings.problem = problem;
    return settings;
}

} // namespace

bool isGatewayAddress(const std::string &text) {
    // Digits and dots only must be a dotted quad: the resolver would read "10.1" as 10.0.0.1.
    if (!text.empty() && text.find_first_not_of("0123456789.") == std::string::npos) {
        in_addr address{};
        return inet_pton(AF_INET, text.c_str(), &address) == 1;
    }
    return isHostName(text);
}

std::string gatewayFilePath(const EnvironmentLookup &environment) {
    const std::string configHome = variable(environment, "XDG_CONFIG_HOME");
    // A relative XDG_CONFIG_HOME is to be ignored, as if it were not set.
    if (!configHome.empty() && configHome.front() == '/')
        return configHome + "/korval/gateway";
    const std::string home = variable(environment, "HOME");
    return home.empty() ? "" : home + "/.config/korval/gateway";
}

GatewaySettings readGatewaySettings(const EnvironmentLookup &environment) {
    GatewaySettings settings;
    const std::string path = gatewayFilePath(environment);
    const std::string shownPath =
        path.empty() ? "$XDG_CONFIG_HOME/korval/gateway (~/.config/korval/gateway)" : path;
    const std::string fromEnvironment = variable(environment, GATEWAY_VARIABLE);
    if (!fromEnvironment.empty()) {
        if (!isGatewayAddress(fromEnvironment))
            return missing(std::string(GATEWAY_VARIABLE) + "=" + quoted(fromEnvironment) +
                           " is not a host name or IPv4 address");
        settings.hostName = fromEnvironment;
    } else {
        bool present = false;
        std::string problem;
        if (!readRememberedAddress(path, present, settings.hostName, problem))
            return missing(problem);
        if (!present)
            return missing(std::string("No KORVAL gateway is named: set ") + GATEWAY_VARIABLE +
                           " to its host name or IPv4 address, or write the address to " +
                           shownPath);
        if (!isGatewayAddress(settings.hostName))
            return missing(path + " holds " + quoted(settings.hostName) +
                           ", which is not a host name or IPv4 address");
    }

    const std::string node = variable(environment, NODE_VARIABLE);
    if (!node.empty() && !parseNodeId(node, settings.nodeId))
        return missing(std::string(NODE_VARIABLE) + "=" + quoted(node) +
                       " is not a node id from 1 to 127, or 0 for every node");
    settings.found = true;
    return settings;
}

} // namespace Korval
