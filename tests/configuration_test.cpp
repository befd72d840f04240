#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/configuration.h"
#include "tests/temporary_directory.h"

namespace {

std::vector<std::string> Problems(const std::string& text, Configuration* configuration = nullptr) {
    TemporaryDirectory directory;
    const std::string path = directory.path + "/octolatchd.toml";
    Write(path, text);
    std::vector<std::string> problems;
    const Configuration read = ReadConfiguration(path, &problems);
    if (configuration) *configuration = read;
    for (std::string& problem : problems) problem = problem.substr(path.size() + 1);  // "LINE: what"
    return problems;
}

TEST(ReadConfiguration, TheDocumentedShape) {
    Configuration read;
    const std::string text =
        "listen = \"127.0.0.1:9000\"\n"
        "token_file = \"/etc/octolatch/token\"\n"
        "state_directory = \"/var/lib/octolatch\"\n"
        "[[board]]\n"
        "name = \"kitchen\"\n"
        "port = \"/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0\"\n"
        "outputs = 16\n"
        "invert = true\n"
        "pulse_ms = 500\n"
        "power_on = \"off\"\n"
        "[board.output.3]\n"
        "name = \"pump\"\n"
        "power_on = \"last\"\n"
        "auto_off_ms = 60000\n"
        "[board.output.16]\n"
        "pulse_ms = 250\n"
        "auto_off_ms = 604800000\n"
        "[[board.interlock]]\n"
        "outputs = [1, 2]\n"
        "dead_time_ms = 500\n"
        "[[board.interlock]]\n"
        "outputs = [2, 3, 16]\n"
        "[[board]]\n"
        "name = \"lab-2\"\n"
        "port = \"/dev/ttyUSB1\"\n";
    EXPECT_EQ(Problems(text, &read), std::vector<std::string>{});
    EXPECT_EQ(read.listen, "127.0.0.1:9000");
    EXPECT_EQ(read.tokenFile, "/etc/octolatch/token");
    ASSERT_EQ(read.boards.size(), 2u);
    const BoardSettings& kitchen = read.boards[0];
    EXPECT_EQ(kitchen.outputs, 16);
    EXPECT_TRUE(kitchen.invert);
    ASSERT_EQ(kitchen.output.size(), 16u);
    EXPECT_EQ(kitchen.output[0].powerOn, PowerOn::Off);
    EXPECT_EQ(kitchen.output[0].pulseMs, 500);
    EXPECT_EQ(kitchen.output[2].name, "pump");
    EXPECT_EQ(kitchen.output[2].powerOn, PowerOn::Last);
    EXPECT_EQ(kitchen.output[15].pulseMs, 250);
    EXPECT_EQ(kitchen.output[2].autoOffMs, 60000);
    EXPECT_EQ(kitchen.output[0].autoOffMs, 0);
    EXPECT_EQ(kitchen.output[15].autoOffMs, 604800000);
    const BoardRules rules = RulesOf(kitchen);
    ASSERT_EQ(rules.interlocks.size(), 2u);
    EXPECT_EQ(rules.interlocks[0].members, 0xC000u);
    EXPECT_EQ(rules.interlocks[0].deadTimeMs, 500);
    EXPECT_EQ(rules.interlocks[1].members, 0x6001u);
    EXPECT_EQ(rules.interlocks[1].deadTimeMs, 0) << "no dead time by default";
    const BoardSettings& lab = read.boards[1];
    EXPECT_EQ(lab.outputs, 8);
    EXPECT_FALSE(lab.invert);
    EXPECT_EQ(lab.output[0].powerOn, PowerOn::Last) << "the default power-on policy";
    EXPECT_FALSE(read.mqtt.enabled);
}

TEST(ReadConfiguration, EveryProblemWithItsLine) {
    const std::string board = "[[board]]\nname = \"a\"\nport = \"/dev/ttyUSB0\"\n";
    struct Row {
        std::string text;
        std::vector<std::string> problems;
    } rows[] = {
        {"", {"1: no [[board]]: the service needs at least one"}},
        {"listen = 5\n" + board, {"1: listen must be a string"}},
        {"colour = \"red\"\n" + board, {"1: unknown key 'colour'"}},
        {board + "colour = \"red\"\n", {"4: unknown key 'colour' in [[board]]"}},
        {board + "outputs = 12\n", {"4: outputs must be 8 to 64 in steps of 8"}},
        {board + "outputs = 72\n", {"4: outputs must be a whole number from 8 to 64"}},
        {board + "invert = \"yes\"\n", {"4: invert must be true or false"}},
        {board + "pulse_ms = 0\n", {"4: pulse_ms must be a whole number from 1 to 3600000"}},
        {board + "power_on = \"sometimes\"\n", {"4: power_on must be \"off\", \"on\" or \"last\", not 'sometimes'"}},
        {board + "[board.output.9]\nname = \"x\"\n", {"4: [board.output.9]: an output is a number from 1 to 8"}},
        {board + "[board.output.2]\nlabel = \"x\"\n", {"5: unknown key 'label' in [board.output.2]"}},
        {"[[board]]\nname = \"Kitchen\"\nport = \"/dev/ttyUSB0\"\n",
         {"2: board name 'Kitchen' may hold only a-z, 0-9, _ and -"}},
        {"[[board]]\nport = \"/dev/ttyUSB0\"\n", {"1: a [[board]] needs a name"}},
        {"[[board]]\nname = \"a\"\n", {"1: a [[board]] needs a port"}},
        {board + "[[board]]\nname = \"a\"\nport = \"/dev/ttyUSB1\"\n", {"5: board name 'a' is used twice"}},
        {board + "[[board]]\nname = \"b\"\nport = \"/dev/ttyUSB0\"\n",
         {"6: port '/dev/ttyUSB0' belongs to two boards"}},
        {"board = 3\n", {"1: board must be an array of tables: [[board]]", "1: no [[board]]: the service needs at least one"}},
        {"listen = \"x\n" + board, {"1: "}},  // the parser's own words follow
        // A syntax error hides nothing after it.
        {board + "outputs = 12\npulse_ms = = 3\ncolour = 2\n",
         {"5: ", "6: unknown key 'colour' in [[board]]", "4: outputs must be 8 to 64 in steps of 8"}},
        {board + "outputs = 12\ninvert = 1\ncolour = 2\n",
         {"6: unknown key 'colour' in [[board]]", "4: outputs must be 8 to 64 in steps of 8",
          "5: invert must be true or false"}},
        {board + "auto_off_ms = 0\n", {"4: auto_off_ms must be a whole number from 1 to 604800000"}},
        {board + "[board.output.2]\nauto_off_ms = 604800001\n", {"5: auto_off_ms must be a whole number"}},
        {board + "[[board.interlock]]\noutputs = [1]\n", {"5: an interlock's outputs are two or more"}},
        {board + "[[board.interlock]]\noutputs = [1, 1]\n", {"5: an interlock's outputs are two or more"}},
        {board + "[[board.interlock]]\noutputs = [1, 9]\n", {"5: an interlock's outputs are two or more"}},
        {board + "[[board.interlock]]\noutputs = [1, \"2\"]\n", {"5: an interlock's outputs are two or more"}},
        {board + "[[board.interlock]]\noutputs = [1, 2]\ndead_time_ms = -1\n",
         {"6: dead_time_ms must be a whole number from 0 to 3600000"}},
        {board + "[[board.interlock]]\noutputs = [1, 2]\ndirection = 1\n",
         {"6: unknown key 'direction' in [[board.interlock]]"}},
        {board + "[board.output.1]\npower_on = \"on\"\n[board.output.2]\npower_on = \"on\"\n"
                 "[[board.interlock]]\noutputs = [1, 2]\n",
         {"1: board 'a': power_on = \"on\" breaks an interlock: outputs 1 and 2 are interlocked"}},
        {"[mqtt]\nport = 0\n" + board, {"2: port must be a whole number from 1 to 65535"}},
        {"[mqtt]\nbroker = \"x\"\n" + board, {"2: unknown key 'broker' in [mqtt]"}},
    };
    for (const Row& row : rows) {
        const std::vector<std::string> problems = Problems(row.text);
        ASSERT_EQ(problems.size(), row.problems.size()) << row.text << testing::PrintToString(problems);
        for (std::size_t i = 0; i < problems.size(); ++i)
            EXPECT_EQ(problems[i].substr(0, row.problems[i].size()), row.problems[i]) << row.text;
    }
}

TEST(ReadConfiguration, AMissingFileNamesTheOptions) {
    std::vector<std::string> problems;
    ReadConfiguration("/nonexistent/octolatchd.toml", &problems);
    EXPECT_EQ(problems, std::vector<std::string>{"/nonexistent/octolatchd.toml: No such file or directory; name a "
                                                 "configuration with --config FILE, or run one board with --port PATH"});
}

}  // namespace
