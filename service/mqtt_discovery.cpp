#include "service/mqtt_discovery.h"

#include <nlohmann/json.hpp>

using nlohmann::json;

namespace {

// What Home Assistant calls an output: its configured name, or its number.
std::string OutputName(const BoardSettings& board, int output) {
    const std::string& name = board.output[static_cast<std::size_t>(output - 1)].name;
    return name.empty() ? "Output " + std::to_string(output) : name;
}

}  // namespace

std::string DiscoveryPayload(const BoardSettings& board, const MqttTopics& topics, const std::string& version) {
    const std::string id = "octolatch_" + board.name;
    json components = json::object();
    for (int output = 1; output <= board.outputs; ++output) {
        const std::string unique = id + "_" + std::to_string(output);
        const std::string command = topics.Output(board.name, output) + "/set";
        components["output_" + std::to_string(output)] = {
            {"platform", "switch"}, {"unique_id", unique}, {"name", OutputName(board, output)},
            {"command_topic", command}, {"state_topic", topics.Output(board.name, output)},
            {"payload_on", "ON"}, {"payload_off", "OFF"}};
        if (board.output[static_cast<std::size_t>(output - 1)].autoOffMs > 0)
            components["output_" + std::to_string(output)]["json_attributes_topic"] =
                topics.Attributes(board.name, output);
        const std::int64_t pulseMs = board.output[static_cast<std::size_t>(output - 1)].pulseMs;
        if (pulseMs > 0)
            components["output_" + std::to_string(output) + "_pulse"] = {
                {"platform", "button"}, {"unique_id", unique + "_pulse"},
                {"name", OutputName(board, output) + " pulse"}, {"command_topic", command},
                {"payload_press", "PULSE " + std::to_string(pulseMs)}};
    }
    // Availability, like qos, is shared by every component: an output is
    // there only while both the service and the board's adapter are.
    const json payload = {
        {"device",
         {{"identifiers", json::array({id})}, {"name", board.name}, {"model", "Octolatch"}, {"sw_version", version}}},
        {"origin", {{"name", "octolatchd"}, {"sw_version", version}}},
        {"availability", json::array({json{{"topic", topics.ServiceAvailability()}},
                                      json{{"topic", topics.Availability(board.name)}}})},
        {"availability_mode", "all"},
        {"qos", 1},
        {"components", components}};
    return payload.dump();
}

std::set<std::string> RetainedTopics(const std::vector<BoardSettings>& boards, const MqttTopics& topics) {
    std::set<std::string> retained = {topics.ServiceAvailability()};
    for (const BoardSettings& board : boards) {
        if (!topics.discoveryPrefix.empty()) retained.insert(topics.Discovery(board.name));
        retained.insert(topics.Availability(board.name));
        retained.insert(topics.Value(board.name));
        for (int output = 1; output <= board.outputs; ++output) {
            retained.insert(topics.Output(board.name, output));
            if (board.output[static_cast<std::size_t>(output - 1)].autoOffMs > 0)
                retained.insert(topics.Attributes(board.name, output));
        }
    }
    return retained;
}
