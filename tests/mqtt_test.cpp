// MQTT payloads as the service reads them, and the discovery it publishes.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <set>

#include "service/mqtt_commands.h"
#include "service/mqtt_discovery.h"

using nlohmann::json;

namespace {

// Board "kitchen": 16 outputs, output 2 with a pulse length of 500 ms,
// output 3 named "Pump".
BoardSettings Kitchen() {
    BoardSettings board;
    board.name = "kitchen";
    board.port = "/dev/ttyUSB0";
    board.outputs = 16;
    board.output.assign(16, OutputSettings{});
    board.output[1].pulseMs = 500;
    board.output[2].name = "Pump";
    return board;
}

const MqttTopics kTopics{"octolatch", "homeassistant", "octolatch-pantry"};

TEST(MqttCommand, ReadsEveryFormItTakes) {
    struct Row {
        const char* item;
        const char* payload;
        MqttCommand::Kind kind;
        int output;
        Switch action;
        std::int64_t pulseMs;
        std::uint64_t value;
    };
    const Row rows[] = {
        {"3", "ON", MqttCommand::Output, 3, Switch::On, 0, 0},
        {"3", "off", MqttCommand::Output, 3, Switch::Off, 0, 0},
        {"3", "true", MqttCommand::Output, 3, Switch::On, 0, 0},
        {"3", "False", MqttCommand::Output, 3, Switch::Off, 0, 0},
        {"3", "1", MqttCommand::Output, 3, Switch::On, 0, 0},
        {"3", "0", MqttCommand::Output, 3, Switch::Off, 0, 0},
        {"16", " Toggle\r\n", MqttCommand::Output, 16, Switch::Toggle, 0, 0},
        {"1", "PULSE 250", MqttCommand::Pulse, 1, Switch::On, 250, 0},
        {"2", "PULSE", MqttCommand::Pulse, 2, Switch::On, 500, 0},       // the configured length
        {"2", "pulse  40", MqttCommand::Pulse, 2, Switch::On, 40, 0},     // a length given wins
        {"1", "PULSE 3600000", MqttCommand::Pulse, 1, Switch::On, 3600000, 0},
        {"value", "0xA001", MqttCommand::Value, 0, Switch::On, 0, 0xA001},
        {"value", "65535\n", MqttCommand::Value, 0, Switch::On, 0, 0xFFFF},
        {"value", "0b1000000000000001", MqttCommand::Value, 0, Switch::On, 0, 0x8001},
    };
    for (const Row& row : rows) {
        MqttCommand command;
        EXPECT_EQ(ParseMqttCommand(Kitchen(), row.item, row.payload, &command), "") << row.item << " " << row.payload;
        EXPECT_EQ(command.kind, row.kind) << row.payload;
        if (row.kind != MqttCommand::Value) {
            EXPECT_EQ(command.output, row.output) << row.payload;
        }
        if (row.kind == MqttCommand::Output) {
            EXPECT_EQ(command.action, row.action) << row.payload;
        }
        if (row.kind == MqttCommand::Pulse) {
            EXPECT_EQ(command.pulseMs, row.pulseMs) << row.payload;
        }
        if (row.kind == MqttCommand::Value) {
            EXPECT_EQ(command.value, row.value) << row.payload;
        }
    }
}

TEST(MqttCommand, RefusesWhatItCannotDoWhole) {
    struct Row {
        const char* item;
        std::string payload;
        const char* problem;  // a part of what is said
    };
    const Row rows[] = {
        {"3", "", "bad command '': expected ON, OFF, TOGGLE, true, false, 1 or 0 (in any case), PULSE or PULSE MS"},
        {"3", "2", "bad command '2'"},
        {"3", "yes", "bad command 'yes'"},
        {"", "3=on 17=off", "bad item '17=off': the board has outputs 1 to 16"},
        {"", "3=on 5=pulse:1s", "a pulse goes alone"},
        {"", "", "no items"},
        {"", std::string(1025, ' '), "a command of 1025 bytes; the longest is 1024"},
        {"3", "OPEN", "bad command 'OPEN'"},
        {"3", "ON OFF", "bad command 'ON OFF'"},
        {"3", "ONN", "bad command 'ONN'"},
        {"3", "\"ON\"", "bad command"},
        {"3", "{\"state\": \"ON\"}", "bad command"},
        {"3", "PULSE", "no pulse length"},            // none configured for output 3
        {"1", "PULSE 0", "a pulse lasts 1 to 3600000 ms"},
        {"1", "PULSE 3600001", "a pulse lasts 1 to 3600000 ms"},
        {"1", "PULSE -5", "a pulse lasts"},
        {"1", "PULSE 500ms", "a pulse lasts"},
        {"1", "PULSE 5 5", "bad command"},
        {"0", "ON", "no output '0': board kitchen has outputs 1 to 16"},
        {"17", "ON", "no output '17'"},
        {"x", "ON", "no output 'x'"},
        {"03a", "ON", "no output"},
        {"value", "0x10000", "bad value '0x10000': expected"},  // 17 bits on 16 outputs
        {"value", "65536", "bad value"},
        {"value", "0b101", "bad value"},
        {"value", "ON", "bad value"},
        {"value", "-1", "bad value"},
        {"3", std::string("O\0N", 3), "is not text"},
        {"3", "ON\x1b[2J", "is not text"},
        {"3", "\xff\xfe", "is not text"},
        {"3", "O\xc3", "is not text"},               // a cut UTF-8 sequence
        {"3", "\xc3\x96N", "bad command"},            // UTF-8 text, but no command
        {"3", std::string(81, 'O'), "a command of 81 bytes; the longest is 80"},
        {"value", std::string(200, '1'), "a command of 200 bytes"},
    };
    for (const Row& row : rows) {
        MqttCommand command;
        const std::string problem = ParseMqttCommand(Kitchen(), row.item, row.payload, &command);
        EXPECT_NE(problem.find(row.problem), std::string::npos)
            << "item " << row.item << ", payload of " << row.payload.size() << " bytes: got '" << problem << "'";
    }
}

TEST(MqttCommand, TopicsNameABoardAndAnItem) {
    struct Row {
        const char* topic;
        bool split;
        const char* board;
        const char* item;
    };
    const Row rows[] = {
        {"octolatch/kitchen/3/set", true, "kitchen", "3"},
        {"octolatch/kitchen/value/set", true, "kitchen", "value"},
        {"octolatch/kitchen/3", false, "", ""},
        {"octolatch/kitchen/set", true, "kitchen", ""},
        {"octolatch//set", false, "", ""},
        {"octolatch/kitchen/3/4/set", false, "", ""},
        {"octolatch//3/set", false, "", ""},
        {"octolatch/kitchen//set", false, "", ""},
        {"other/kitchen/3/set", false, "", ""},
        {"octolatchx/kitchen/3/set", false, "", ""},
    };
    for (const Row& row : rows) {
        std::string board, item;
        EXPECT_EQ(SplitCommandTopic(row.topic, "octolatch", &board, &item), row.split) << row.topic;
        if (row.split) {
            EXPECT_EQ(board + " " + item, std::string(row.board) + " " + row.item) << row.topic;
        }
    }
}

TEST(MqttDiscovery, DescribesTheBoardAsOneDevice) {
    const json payload = json::parse(DiscoveryPayload(Kitchen(), kTopics, "1.2.3"));
    EXPECT_EQ(payload["device"]["identifiers"], json::array({"octolatch_kitchen"}));
    EXPECT_EQ(payload["device"]["name"], "kitchen");
    EXPECT_EQ(payload["device"]["model"], "Octolatch");
    EXPECT_EQ(payload["device"]["sw_version"], "1.2.3");
    EXPECT_EQ(payload["origin"]["name"], "octolatchd");
    EXPECT_EQ(payload["availability_mode"], "all");
    EXPECT_EQ(payload["availability"],
              json::parse(R"([{"topic": "octolatch/service/octolatch-pantry/availability"},
                              {"topic": "octolatch/kitchen/availability"}])"));

    // A switch for every output and a button for output 2, each with an id
    // of its own.
    const json& components = payload["components"];
    EXPECT_EQ(components.size(), 17u);
    std::set<std::string> ids;
    for (const auto& [key, component] : components.items()) ids.insert(component["unique_id"].get<std::string>());
    EXPECT_EQ(ids.size(), 17u);
    struct Row {
        const char* key;
        const char* platform;
        const char* uniqueId;
        const char* name;
        const char* command;
        const char* state;      // "" for a button
        const char* press;      // "" for a switch
    };
    const Row rows[] = {
        {"output_1", "switch", "octolatch_kitchen_1", "Output 1", "octolatch/kitchen/1/set", "octolatch/kitchen/1", ""},
        {"output_3", "switch", "octolatch_kitchen_3", "Pump", "octolatch/kitchen/3/set", "octolatch/kitchen/3", ""},
        {"output_16", "switch", "octolatch_kitchen_16", "Output 16", "octolatch/kitchen/16/set", "octolatch/kitchen/16",
         ""},
        {"output_2_pulse", "button", "octolatch_kitchen_2_pulse", "Output 2 pulse", "octolatch/kitchen/2/set", "",
         "PULSE 500"},
    };
    for (const Row& row : rows) {
        ASSERT_TRUE(components.contains(row.key)) << row.key;
        const json& component = components[row.key];
        EXPECT_EQ(component["platform"], row.platform) << row.key;
        EXPECT_EQ(component["unique_id"], row.uniqueId) << row.key;
        EXPECT_EQ(component["name"], row.name) << row.key;
        EXPECT_EQ(component["command_topic"], row.command) << row.key;
        if (*row.state) {
            EXPECT_EQ(component["state_topic"], row.state) << row.key;
        }
        if (*row.press) {
            EXPECT_EQ(component["payload_press"], row.press) << row.key;
        }
    }
}

TEST(MqttDiscovery, RetainedTopicsAreAllThatIsPublishedToStay) {
    BoardSettings hall = Kitchen();
    hall.name = "hall";
    hall.outputs = 8;
    hall.output.resize(8);
    const std::set<std::string> withDiscovery = RetainedTopics({Kitchen(), hall}, kTopics);
    EXPECT_EQ(withDiscovery.size(), 1u + (1 + 2 + 16) + (1 + 2 + 8));
    for (const char* topic :
         {"octolatch/service/octolatch-pantry/availability", "homeassistant/device/octolatch_hall/config",
          "octolatch/kitchen/availability", "octolatch/kitchen/value", "octolatch/kitchen/16", "octolatch/hall/8"})
        EXPECT_EQ(withDiscovery.count(topic), 1u) << topic;
    EXPECT_EQ(withDiscovery.count("octolatch/hall/9"), 0u);

    const MqttTopics noDiscovery{"octolatch", "", "octolatch-pantry"};
    EXPECT_EQ(RetainedTopics({hall}, noDiscovery).size(), 1u + 2 + 8);
}

}  // namespace
