#include "service/configuration.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <optional>
#include <set>
#include <toml++/toml.h>

#include "board/output_bits.h"
#include "board/values.h"

namespace {

// Collects problems as "FILE:LINE: what", each naming where it stands.
struct Problems {
    std::string path;
    std::vector<std::string>* list;

    void Add(const toml::node& where, const std::string& what) const {
        list->push_back(path + ":" + std::to_string(where.source().begin.line) + ": " + what);
    }
    void Add(int line, const std::string& what) const {
        list->push_back(path + ":" + std::to_string(line) + ": " + what);
    }
};

// Every key of table must be one of known; the others are problems.
void CheckKeys(const toml::table& table, std::initializer_list<const char*> known, const std::string& where,
               const Problems& problems) {
    for (const auto& [key, node] : table) {
        bool found = false;
        for (const char* name : known) found = found || key.str() == name;
        if (!found) problems.Add(node, "unknown key '" + std::string(key.str()) + "'" + where);
    }
}

void ReadString(const toml::table& table, const char* key, std::string* into, const Problems& problems) {
    const toml::node* node = table.get(key);
    if (!node) return;
    if (const auto* text = node->as_string())
        *into = text->get();
    else
        problems.Add(*node, std::string(key) + " must be a string");
}

void ReadInteger(const toml::table& table, const char* key, std::int64_t least, std::int64_t most,
                 std::int64_t* into, const Problems& problems) {
    const toml::node* node = table.get(key);
    if (!node) return;
    const auto* number = node->as_integer();
    if (!number || number->get() < least || number->get() > most)
        problems.Add(*node, std::string(key) + " must be a whole number from " + std::to_string(least) + " to " +
                                std::to_string(most));
    else
        *into = number->get();
}

void ReadPowerOn(const toml::table& table, PowerOn* into, const Problems& problems) {
    std::string text;
    ReadString(table, "power_on", &text, problems);
    if (text.empty()) return;
    if (text == "off")
        *into = PowerOn::Off;
    else if (text == "on")
        *into = PowerOn::On;
    else if (text == "last")
        *into = PowerOn::Last;
    else
        problems.Add(*table.get("power_on"), "power_on must be \"off\", \"on\" or \"last\", not " + Quoted(text));
}

void ReadOutputs(const toml::table& outputs, BoardSettings* board, const Problems& problems) {
    for (const auto& [key, node] : outputs) {
        std::int64_t number = 0;
        if (!ParseWholeNumber(std::string(key.str()), board->outputs, &number) || number < 1) {
            problems.Add(node, "[board.output." + std::string(key.str()) + "]: an output is a number from 1 to " +
                                   std::to_string(board->outputs));
            continue;
        }
        const auto* table = node.as_table();
        if (!table) {
            problems.Add(node, "board.output." + std::string(key.str()) + " must be a table");
            continue;
        }
        OutputSettings& output = board->output[static_cast<std::size_t>(number - 1)];
        CheckKeys(*table, {"name", "power_on", "pulse_ms", "auto_off_ms"},
                  " in [board.output." + std::string(key.str()) + "]", problems);
        ReadString(*table, "name", &output.name, problems);
        ReadPowerOn(*table, &output.powerOn, problems);
        ReadInteger(*table, "pulse_ms", 1, 3600000, &output.pulseMs, problems);
        ReadInteger(*table, "auto_off_ms", 1, kLongestAutoOffMs, &output.autoOffMs, problems);
    }
}

// [[board.interlock]]: outputs = [1, 2], dead_time_ms = 500.
void ReadInterlocks(const toml::node& node, BoardSettings* board, const Problems& problems) {
    const auto* list = node.as_array();
    if (!list) return problems.Add(node, "board.interlock must be an array of tables: [[board.interlock]]");
    for (const toml::node& entry : *list) {
        const auto* table = entry.as_table();
        if (!table) {
            problems.Add(entry, "board.interlock must be an array of tables: [[board.interlock]]");
            continue;
        }
        CheckKeys(*table, {"outputs", "dead_time_ms"}, " in [[board.interlock]]", problems);
        InterlockSettings group;
        ReadInteger(*table, "dead_time_ms", 0, 3600000, &group.deadTimeMs, problems);
        const toml::node* outputs = table->get("outputs");
        const auto* numbers = outputs ? outputs->as_array() : nullptr;
        bool good = numbers != nullptr;
        for (std::size_t i = 0; good && i < numbers->size(); ++i) {
            const auto* number = numbers->get(i)->as_integer();
            good = number && number->get() >= 1 && number->get() <= board->outputs &&
                   std::count(group.outputs.begin(), group.outputs.end(), number->get()) == 0;
            if (good) group.outputs.push_back(static_cast<int>(number->get()));
        }
        if (!good || group.outputs.size() < 2) {
            problems.Add(outputs ? *outputs : entry, "an interlock's outputs are two or more different outputs "
                                                     "from 1 to " + std::to_string(board->outputs) +
                                                     ": outputs = [1, 2]");
            continue;
        }
        board->interlocks.push_back(group);
    }
}

// A power-on state that switches two members of an interlock on.
void CheckPowerOn(const BoardSettings& board, int line, const Problems& problems) {
    const BoardRules rules = RulesOf(board);
    std::uint64_t on = 0;
    for (int output = 1; output <= board.outputs; ++output)
        if (board.output[static_cast<std::size_t>(output - 1)].powerOn == PowerOn::On)
            on |= BitOfOutput(output, board.outputs);
    const std::string conflict = InterlockConflict(rules, on);
    if (!conflict.empty()) problems.Add(line, "board " + Quoted(board.name) + ": power_on = \"on\" breaks an interlock: " + conflict);
}

BoardSettings ReadBoard(const toml::table& table, const Problems& problems) {
    BoardSettings board;
    CheckKeys(table, {"name", "port", "outputs", "invert", "pulse_ms", "auto_off_ms", "power_on", "output",
                      "interlock"},
              " in [[board]]", problems);
    ReadString(table, "name", &board.name, problems);
    ReadString(table, "port", &board.port, problems);
    std::int64_t outputs = 8;
    ReadInteger(table, "outputs", 8, 64, &outputs, problems);
    if (outputs % 8 != 0) problems.Add(*table.get("outputs"), "outputs must be 8 to 64 in steps of 8");
    board.outputs = static_cast<int>(outputs - outputs % 8);
    if (const toml::node* invert = table.get("invert")) {
        if (const auto* flag = invert->as_boolean())
            board.invert = flag->get();
        else
            problems.Add(*invert, "invert must be true or false");
    }
    OutputSettings defaults;
    ReadInteger(table, "pulse_ms", 1, 3600000, &defaults.pulseMs, problems);
    ReadInteger(table, "auto_off_ms", 1, kLongestAutoOffMs, &defaults.autoOffMs, problems);
    ReadPowerOn(table, &defaults.powerOn, problems);
    board.output.assign(static_cast<std::size_t>(board.outputs), defaults);
    if (const toml::node* outputTables = table.get("output")) {
        if (const auto* tables = outputTables->as_table())
            ReadOutputs(*tables, &board, problems);
        else
            problems.Add(*outputTables, "board.output must be a table of [board.output.N]");
    }
    if (const toml::node* interlocks = table.get("interlock")) ReadInterlocks(*interlocks, &board, problems);
    CheckPowerOn(board, table.source().begin.line, problems);
    const int line = table.source().begin.line;
    if (board.name.empty())
        problems.Add(line, "a [[board]] needs a name");
    else if (!IsBoardName(board.name))
        problems.Add(*table.get("name"), "board name " + Quoted(board.name) + " may hold only a-z, 0-9, _ and -");
    if (board.port.empty()) problems.Add(line, "a [[board]] needs a port");
    return board;
}

void ReadMqtt(const toml::table& table, MqttSettings* mqtt, const Problems& problems) {
    mqtt->enabled = true;
    CheckKeys(table, {"host", "port", "username", "password_file", "ca_file", "certificate_file", "key_file",
                      "client_id", "topic_prefix", "discovery_prefix"},
              " in [mqtt]", problems);
    ReadString(table, "host", &mqtt->host, problems);
    std::int64_t port = mqtt->port;
    ReadInteger(table, "port", 1, 65535, &port, problems);
    mqtt->port = static_cast<int>(port);
    ReadString(table, "username", &mqtt->username, problems);
    ReadString(table, "password_file", &mqtt->passwordFile, problems);
    ReadString(table, "ca_file", &mqtt->caFile, problems);
    ReadString(table, "certificate_file", &mqtt->certificateFile, problems);
    ReadString(table, "key_file", &mqtt->keyFile, problems);
    ReadString(table, "client_id", &mqtt->clientId, problems);
    ReadString(table, "topic_prefix", &mqtt->topicPrefix, problems);
    ReadString(table, "discovery_prefix", &mqtt->discoveryPrefix, problems);
    if (mqtt->topicPrefix.empty() || mqtt->topicPrefix.find_first_of("+#") != std::string::npos)
        problems.Add(*table.get("topic_prefix"), "topic_prefix must be a topic without + or #");
    if (mqtt->certificateFile.empty() != mqtt->keyFile.empty())
        problems.Add(table.source().begin.line, "certificate_file and key_file go together");
}

// The parser stops at its first error; to report the others too, the line
// at fault is blanked and the rest read again, so that a stray quote does not
// hide a wrong key further down.
std::optional<toml::table> ParseReadable(std::vector<std::string>* lines, const Problems& problems) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        std::string text;
        for (const std::string& line : *lines) text += line + "\n";
        try {
            return toml::parse(text, problems.path);
        } catch (const toml::parse_error& error) {
            const auto line = static_cast<std::size_t>(error.source().begin.line);
            problems.Add(static_cast<int>(line), std::string(error.description()));
            if (line < 1 || line > lines->size() || (*lines)[line - 1].empty()) break;
            (*lines)[line - 1].clear();
        }
    }
    return std::nullopt;
}

}  // namespace

BoardRules RulesOf(const BoardSettings& board) {
    BoardRules rules;
    rules.outputs = board.outputs;
    for (const InterlockSettings& group : board.interlocks) {
        Interlock interlock{0, group.deadTimeMs};
        for (const int output : group.outputs) interlock.members |= BitOfOutput(output, board.outputs);
        rules.interlocks.push_back(interlock);
    }
    for (const OutputSettings& output : board.output) rules.autoOffMs.push_back(output.autoOffMs);
    return rules;
}

bool IsBoardName(const std::string& name) {
    if (name.empty() || name.size() > 64) return false;
    for (const char c : name)
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-')) return false;
    return true;
}

Configuration ConfigurationForPort(const std::string& port) {
    Configuration configuration;
    BoardSettings board;
    board.name = "board";
    board.port = port;
    board.output.assign(8, OutputSettings{});
    configuration.boards.push_back(board);
    return configuration;
}

Configuration ReadConfiguration(const std::string& path, std::vector<std::string>* problemList) {
    const Problems problems{path, problemList};
    Configuration configuration;
    std::ifstream file(path);
    if (!file) {
        problemList->push_back(path + ": " + std::strerror(errno) +
                               "; name a configuration with --config FILE, or run one board with --port PATH");
        return configuration;
    }
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    const std::optional<toml::table> readable = ParseReadable(&lines, problems);
    if (!readable) return configuration;
    const toml::table& root = *readable;
    CheckKeys(root, {"listen", "token_file", "state_directory", "board", "mqtt"}, "", problems);
    ReadString(root, "listen", &configuration.listen, problems);
    ReadString(root, "token_file", &configuration.tokenFile, problems);
    configuration.tokenFileGiven = root.contains("token_file");
    ReadString(root, "state_directory", &configuration.stateDirectory, problems);
    if (const toml::node* mqtt = root.get("mqtt")) {
        if (const auto* table = mqtt->as_table())
            ReadMqtt(*table, &configuration.mqtt, problems);
        else
            problems.Add(*mqtt, "mqtt must be a table: [mqtt]");
    }
    const toml::node* boards = root.get("board");
    const toml::array* list = boards ? boards->as_array() : nullptr;
    if (boards && !list) problems.Add(*boards, "board must be an array of tables: [[board]]");
    if (!list || list->empty()) problems.Add(1, "no [[board]]: the service needs at least one");
    std::set<std::string> names, ports;
    if (list) {
        for (const toml::node& node : *list) {
            const auto* table = node.as_table();
            if (!table) {
                problems.Add(node, "board must be an array of tables: [[board]]");
                continue;
            }
            configuration.boards.push_back(ReadBoard(*table, problems));
            const std::string& name = configuration.boards.back().name;
            if (!name.empty() && !names.insert(name).second)
                problems.Add(*table->get("name"), "board name " + Quoted(name) + " is used twice");
            const std::string& port = configuration.boards.back().port;
            if (!port.empty() && !ports.insert(port).second)
                problems.Add(*table->get("port"), "port '" + port + "' belongs to two boards");
        }
    }
    return configuration;
}
