// Home Assistant's device discovery: one retained message per board that
// describes the board as a device with a switch for each output and a
// button for each output with a pulse length.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "service/configuration.h"
#include "service/mqtt_topics.h"

// The payload for DISCOVERY/device/octolatch_B/config.
std::string DiscoveryPayload(const BoardSettings& board, const MqttTopics& topics, const std::string& version);

// Every topic the service keeps a retained message on for these boards:
// what it must clear once a board has left its configuration.
std::set<std::string> RetainedTopics(const std::vector<BoardSettings>& boards, const MqttTopics& topics);
