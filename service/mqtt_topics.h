// The service's topics on an MQTT broker, for board B and output N, as the
// README's table gives them.
#pragma once

#include <string>

struct MqttTopics {
    std::string prefix;            // topic_prefix
    std::string discoveryPrefix;   // "" when discovery is off
    std::string clientId;

    std::string Board(const std::string& board) const { return prefix + "/" + board; }
    std::string Output(const std::string& board, int output) const {
        return Board(board) + "/" + std::to_string(output);
    }
    std::string Value(const std::string& board) const { return Board(board) + "/value"; }
    std::string Availability(const std::string& board) const { return Board(board) + "/availability"; }
    std::string Error(const std::string& board) const { return Board(board) + "/error"; }
    // PREFIX/B/N/set and PREFIX/B/value/set, as one subscription.
    std::string Commands(const std::string& board) const { return Board(board) + "/+/set"; }
    // Several outputs at once.
    std::string ItemsCommand(const std::string& board) const { return Board(board) + "/set"; }
    // An auto-off output's attributes for Home Assistant: {"off_in_ms": N}.
    std::string Attributes(const std::string& board, int output) const {
        return Output(board, output) + "/attributes";
    }
    // The connection's will: offline when the service is gone.
    std::string ServiceAvailability() const { return prefix + "/service/" + clientId + "/availability"; }
    std::string Discovery(const std::string& board) const {
        return discoveryPrefix + "/device/octolatch_" + board + "/config";
    }
    // Where Home Assistant says it has (re)started.
    std::string DiscoveryStatus() const { return discoveryPrefix + "/status"; }
};
