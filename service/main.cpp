// octolatchd: owns boards and switches their outputs on request. The
// story: read the command line and the configuration and check all of it
// (the listen address, the token), bind, start the boards, say ready,
// serve until SIGTERM, then stop everything and leave the lines idle.
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
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

#include "ports/port_paths.h"
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
    "  --token-file FILE    the token every /api/ request must carry (\"\": none, on\n"
    "                       loopback only; left out: the service's own, made once)\n"
    "  --check-config       report every error in the configuration and stop\n"
    "\n"
    "Exit codes: 0 stopped, 1 could not start, 2 a bad argument or configuration.\n";

struct Options {
    std::string config = "/etc/octolatch/octolatchd.toml";
    bool configGiven = false;
    std::string port, listen, tokenFile;
    bool tokenFileGiven = false;
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
            options->tokenFileGiven = true;
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
    FlushLog();
    std::fprintf(stderr, "%s: %s\n", kName, problem.c_str());
    return exitCode;
}

// systemd's StateDirectory, /var/lib/octolatch for root, and for anyone
// else their own $XDG_STATE_HOME/octolatch.
std::string StateDirectory(const Configuration& configuration) {
    if (!configuration.stateDirectory.empty()) return configuration.stateDirectory;
    const char* systemd = std::getenv("STATE_DIRECTORY");
    if (systemd && systemd[0]) return systemd;
    if (geteuid() == 0) return "/var/lib/octolatch";
    const char* state = std::getenv("XDG_STATE_HOME");
    const char* home = std::getenv("HOME");
    if (state && state[0] == '/') return std::string(state) + "/octolatch";
    return std::string(home && home[0] ? home : "") + "/.local/state/octolatch";
}

// An account's own state directory is made, as for the sender's records.
std::string MakeStateDirectory(const Configuration& configuration, const std::string& directory) {
    struct stat status;
    const bool own = configuration.stateDirectory.empty() && !std::getenv("STATE_DIRECTORY") && geteuid() != 0;
    if (stat(directory.c_str(), &status) != 0 && own) {
        for (std::size_t slash = directory.find('/', 1);; slash = directory.find('/', slash + 1)) {
            mkdir(directory.substr(0, slash).c_str(), 0700);
            if (slash == std::string::npos) break;
        }
    }
    errno = 0;
    if (stat(directory.c_str(), &status) != 0 || !S_ISDIR(status.st_mode))
        return "state directory " + directory + ": " +
               (errno == 0 ? "not a directory" : std::string(std::strerror(errno))) +
               "; give another with state_directory in the configuration";
    return "";
}

// What the start needs beside the configuration, each checked as the start
// checks it: the address, and the token (the service's own unless one is
// configured or none is wanted).
struct Start {
    std::string address;
    int port = 0;
    std::string stateDirectory;
    std::string token;
    std::string tokenMade;   // what was said of a token made now
    bool ownToken = false;
};

std::string Prepare(const Configuration& configuration, bool checking, Start* start) {
    const std::string badListen = ParseListen(configuration.listen, &start->address, &start->port);
    if (!badListen.empty()) return badListen;
    start->stateDirectory = StateDirectory(configuration);
    if (configuration.tokenFileGiven && configuration.tokenFile.empty()) {
        if (!IsLoopbackAddress(start->address))
            return "listening on " + configuration.listen +
                   ", outside this machine's loopback, needs a token: leave token_file out (the service then "
                   "makes its own) or name a file";
        return "";
    }
    if (!configuration.tokenFile.empty()) return ReadToken(configuration.tokenFile, &start->token);
    if (checking) {
        // The token the service made at an earlier start, if there is one.
        struct stat status;
        if (lstat((start->stateDirectory + "/token").c_str(), &status) != 0) return "";
        return ReadToken(start->stateDirectory + "/token", &start->token);
    }
    const std::string noDirectory = MakeStateDirectory(configuration, start->stateDirectory);
    if (!noDirectory.empty()) return noDirectory;
    start->ownToken = true;
    return OwnToken(start->stateDirectory, &start->token, &start->tokenMade);
}

// Every connection is a descriptor: as many as the system lets this
// process have.
void RaiseDescriptorLimit() {
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

int Serve(const Configuration& configuration, const Start& start) {
    const std::string problem = MakeStateDirectory(configuration, start.stateDirectory);
    if (!problem.empty()) return Refuse(problem, kExitFailed);
    const std::string& stateDirectory = start.stateDirectory;
    RaiseDescriptorLimit();

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
    HttpApi api(boards, events, {start.token, IsLoopbackAddress(start.address)});
    int bound = 0;
    const std::string taken = api.Bind(start.address, start.port, &bound);
    if (!taken.empty()) return Refuse(taken, kExitFailed);
    const std::string where = start.address.find(':') != std::string::npos ? "[" + start.address + "]" : start.address;
    const std::string page = "http://" + where + ":" + std::to_string(bound) + "/";
    Log("listening on " + page + (start.token.empty() ? " (no token: every local account may switch)" : " (a token is needed)"));
    const char* systemd = std::getenv("STATE_DIRECTORY");
    struct stat runtime;
    if (systemd && systemd[0] && start.ownToken && stat(RuntimeDirectory().c_str(), &runtime) == 0) {
        const std::string unpublished = PublishToken(RuntimeDirectory(), start.token);
        if (!unpublished.empty()) Log(unpublished);
    }
    if (!start.tokenMade.empty()) {
        Log(start.tokenMade);
        Log("the page, with the token for this browser: " + page + "#token=" + start.token);
    }
    const std::string serving = api.Start();
    if (!serving.empty()) return Refuse(serving, kExitFailed);

    for (auto& board : boards) board->Start();
    if (mqtt) mqtt->Start();
    HandOff handOff(boards);
    handOff.Start();
    sd_notify(0, "READY=1");

    int signal = 0;
    sigwait(&stopping, &signal);
    sd_notify(0, "STOPPING=1");
    Log(std::string("stopping (") + strsignal(signal) + ")");
    events.Close();
    api.Stop();
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
    if (!options.listen.empty()) configuration.listen = options.listen;
    if (options.tokenFileGiven) {
        configuration.tokenFile = options.tokenFile;
        configuration.tokenFileGiven = true;
    }
    Start start;
    if (problems.empty()) {
        const std::string problem = Prepare(configuration, options.checkConfig, &start);
        if (!problem.empty()) problems.push_back(problem);
    }
    for (const std::string& problem : problems) std::fprintf(stderr, "%s: %s\n", kName, problem.c_str());
    if (!problems.empty()) return kExitBadConfiguration;
    if (options.checkConfig) return std::printf("%s: the configuration is good\n", options.config.c_str()), 0;
    return Serve(configuration, start);
}
