// octolatchd: owns boards and switches their outputs on request. The
// story: read the command line and the configuration and check all of it,
// refuse an open address without a token, bind, start the boards, say
// ready, serve until SIGTERM, then stop everything and leave the lines idle.
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "service/access.h"
#include "service/board.h"
#include "service/configuration.h"
#include "service/events.h"
#include "service/hand_off.h"
#include "service/http_api.h"
#include "service/log.h"
#include "service/mqtt.h"
#include "service/record_keeper.h"

namespace {

constexpr char kName[] = "octolatchd";
constexpr int kExitFailed = 1;
constexpr int kExitBadConfiguration = 2;

const char kUsage[] =
    "usage: octolatchd [--config FILE] [--listen ADDRESS:PORT] [--token-file FILE]\n"
    "       octolatchd --port DEVICE [--listen ADDRESS:PORT] [--token-file FILE]\n"
    "       octolatchd --check-config [--config FILE]\n"
    "       octolatchd --help | --version\n"
    "\n"
    "Owns the boards of its configuration (or one board named 'board' on DEVICE)\n"
    "and serves their outputs over HTTP: /api/boards, /api/events, /healthz.\n"
    "\n"
    "  --config FILE        the TOML configuration (/etc/octolatch/octolatchd.toml)\n"
    "  --port DEVICE        one board of 8 outputs on DEVICE, without a file\n"
    "  --listen A:P         the address to listen on (127.0.0.1:8080)\n"
    "  --token-file FILE    the token every /api/ request must carry\n"
    "  --check-config       report every error in the configuration and stop\n"
    "\n"
    "Exit codes: 0 stopped, 1 could not start, 2 a bad argument or configuration.\n";

struct Options {
    std::string config = "/etc/octolatch/octolatchd.toml";
    bool configGiven = false;
    std::string port, listen, tokenFile;
    bool checkConfig = false;
};

std::string ParseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const bool takesValue = argument == "--config" || argument == "--port" || argument == "--listen" ||
                                argument == "--token-file";
        if (takesValue && i + 1 == argc) return "missing value after " + argument;
        if (argument == "--config") {
            options->config = argv[++i];
            options->configGiven = true;
        } else if (argument == "--port") {
            options->port = argv[++i];
        } else if (argument == "--listen") {
            options->listen = argv[++i];
        } else if (argument == "--token-file") {
            options->tokenFile = argv[++i];
        } else if (argument == "--check-config") {
            options->checkConfig = true;
        } else {
            return "unknown argument '" + argument.substr(0, 40) + "'";
        }
    }
    if (!options->port.empty() && (options->configGiven || options->checkConfig))
        return "--port runs one board without a configuration file: leave out --config and --check-config";
    return "";
}

int Refuse(const std::string& problem, int exitCode) {
    std::fprintf(stderr, "%s: %s\n", kName, problem.c_str());
    return exitCode;
}

// $STATE_DIRECTORY is where systemd made the unit's StateDirectory.
std::string StateDirectory(const Configuration& configuration) {
    if (!configuration.stateDirectory.empty()) return configuration.stateDirectory;
    const char* systemd = std::getenv("STATE_DIRECTORY");
    return systemd && systemd[0] ? systemd : "/var/lib/octolatch";
}

int Serve(const Configuration& configuration, const std::string& address, int port, const std::string& token) {
    const std::string stateDirectory = StateDirectory(configuration);
    struct stat directory;
    if (stat(stateDirectory.c_str(), &directory) != 0 || !S_ISDIR(directory.st_mode))
        return Refuse("state directory " + stateDirectory + ": " +
                          (errno == 0 ? "not a directory" : std::string(std::strerror(errno))),
                      kExitFailed);

    // Every thread is started with the stopping signals blocked; the main
    // thread waits for them.
    sigset_t stopping;
    sigemptyset(&stopping);
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&stopping, signal);
    pthread_sigmask(SIG_BLOCK, &stopping, nullptr);
    signal(SIGPIPE, SIG_IGN);

    RecordKeeper records;
    Events events(32);
    // Every front door that follows the boards' changes, filled in before
    // the boards start.
    std::vector<std::function<void(const BoardEvent&)>> followers;
    followers.push_back([&events](const BoardEvent& event) { events.Publish(HttpApi::EventText(event)); });
    std::vector<std::unique_ptr<Board>> boards;
    for (const BoardSettings& settings : configuration.boards)
        boards.push_back(std::make_unique<Board>(settings, stateDirectory + "/" + settings.name + ".state", records,
                                                 [&followers](const BoardEvent& event) {
                                                     for (const auto& follower : followers) follower(event);
                                                 }));
    std::unique_ptr<Mqtt> mqtt;
    if (configuration.mqtt.enabled) {
        MqttSettings settings = configuration.mqtt;
        if (settings.clientId.empty()) settings.clientId = DefaultMqttClientId();
        std::string problem;
        mqtt = Mqtt::Create(settings, boards, stateDirectory, OCTOLATCH_VERSION, &problem);
        if (!mqtt) return Refuse(problem, kExitBadConfiguration);
        followers.push_back([&mqtt](const BoardEvent& event) { mqtt->Follow(event); });
    }
    HttpApi api(boards, events, {token, IsLoopbackAddress(address)});
    int bound = 0;
    const std::string problem = api.Bind(address, port, &bound);
    if (!problem.empty()) return Refuse(problem, kExitFailed);
    const std::string where = address.find(':') != std::string::npos ? "[" + address + "]" : address;
    Log("listening on http://" + where + ":" + std::to_string(bound) + "/" + (token.empty() ? "" : " (a token is needed)"));

    for (auto& board : boards) board->Start();
    if (mqtt) mqtt->Start();
    HandOff handOff(boards);
    handOff.Start();
    std::thread serving(&HttpApi::Serve, &api);
    sd_notify(0, "READY=1");

    int signal = 0;
    sigwait(&stopping, &signal);
    sd_notify(0, "STOPPING=1");
    Log(std::string("stopping (") + strsignal(signal) + ")");
    api.Stop();
    events.Close();
    serving.join();
    handOff.Stop();
    for (auto& board : boards) board->Stop();
    if (mqtt) mqtt->Stop();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) return std::fputs(kUsage, stdout), 0;
        if (std::strcmp(argv[i], "--version") == 0) return std::printf("%s %s\n", kName, OCTOLATCH_VERSION), 0;
    }
    Options options;
    const std::string wrong = ParseOptions(argc, argv, &options);
    if (!wrong.empty()) return Refuse(wrong + "\n" + kName + ": try 'octolatchd --help'", kExitBadConfiguration);

    std::vector<std::string> problems;
    Configuration configuration =
        options.port.empty() ? ReadConfiguration(options.config, &problems) : ConfigurationForPort(options.port);
    for (const std::string& problem : problems) std::fprintf(stderr, "%s: %s\n", kName, problem.c_str());
    if (!problems.empty()) return kExitBadConfiguration;
    if (options.checkConfig) return std::printf("%s: the configuration is good\n", options.config.c_str()), 0;

    if (!options.listen.empty()) configuration.listen = options.listen;
    if (!options.tokenFile.empty()) configuration.tokenFile = options.tokenFile;
    std::string address;
    int port = 0;
    const std::string badListen = ParseListen(configuration.listen, &address, &port);
    if (!badListen.empty()) return Refuse(badListen, kExitBadConfiguration);
    std::string token;
    if (!configuration.tokenFile.empty()) {
        const std::string badToken = ReadToken(configuration.tokenFile, &token);
        if (!badToken.empty()) return Refuse(badToken, kExitBadConfiguration);
    }
    if (token.empty() && !IsLoopbackAddress(address))
        return Refuse("listening on " + configuration.listen +
                          ", outside this machine's loopback, needs a token: give token_file (or --token-file)",
                      kExitBadConfiguration);
    return Serve(configuration, address, port, token);
}
