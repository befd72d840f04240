// The service on an MQTT broker, through libmosquitto: commands on
// PREFIX/B/N/set and PREFIX/B/value/set handed to the boards, each change
// published as retained state, Home Assistant's discovery, and a
// connection that is never given up. One thread of its own connects and
// reads; the boards' writers publish their changes through Follow.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "service/board.h"
#include "service/configuration.h"
#include "service/mqtt_topics.h"

struct mosquitto;
struct mosquitto_message;

class Mqtt {
public:
    // Reads the password and sets the client up; nullptr with *problem set
    // when the settings cannot work (a password file that cannot be read, a
    // CA file that is missing).
    static std::unique_ptr<Mqtt> Create(const MqttSettings& settings, std::vector<std::unique_ptr<Board>>& boards,
                                        const std::string& stateDirectory, const std::string& version,
                                        std::string* problem);
    ~Mqtt();

    // Connects in the background, again and again until Stop.
    void Start();
    // Says the service is offline, disconnects and ends the thread.
    void Stop();

    // A board's follower: publishes what changed. Quick, and never calls a
    // board, since the board's lock is held.
    void Follow(const BoardEvent& event);

private:
    using Clock = std::chrono::steady_clock;

    // What the broker has been told of a board, to tell it again on each
    // connection.
    struct Shown {
        bool known = false;      // the board has sent at least once
        bool available = false;
        std::uint64_t value = 0;
        int outputs = 8;
        std::vector<std::int64_t> offInMs;  // by output, -1 for never
        std::uint64_t autoOff = 0;          // the outputs with an auto-off, which have attributes
    };

    Mqtt(const MqttSettings& settings, std::vector<std::unique_ptr<Board>>& boards, std::string recordPath,
         const std::string& version);

    static void OnConnect(mosquitto*, void* self, int code);
    static void OnDisconnect(mosquitto*, void* self, int code);
    static void OnMessage(mosquitto*, void* self, const mosquitto_message* message);
    static void OnPublish(mosquitto*, void* self, int messageId);
    static void OnLog(mosquitto*, void* self, int level, const char* text);

    void Run();
    bool Stopping() const { return stopping_.load(); }
    std::string WhyNotConnected(int code, int error);
    void Connected();
    void Command(const std::string& topic, const std::string& payload, bool retained);
    void WriteRetainedRecord();
    void Refuse(const std::string& board, const std::string& topic, const std::string& problem);
    void Farewell();

    // With mutex_ held.
    void ClearForgottenBoards();
    void PublishEverything();
    void PublishBoard(const std::string& board, const Shown& shown, std::uint64_t outputs);
    int Publish(const std::string& topic, const std::string& payload, int qos, bool retain);
    void PublishAttributes(const std::string& board, int output, std::int64_t offInMs);

    const MqttSettings settings_;
    const MqttTopics topics_;
    std::vector<std::unique_ptr<Board>>& boards_;
    const std::string recordPath_;
    std::vector<std::string> discovery_;  // each board's discovery payload, in the boards' order
    std::string password_;
    mosquitto* client_ = nullptr;

    // Held while the boards' state is published, so that it reaches the
    // broker in the order it changed, whoever publishes it.
    std::mutex mutex_;
    bool connected_ = false;
    bool cleared_ = false;                // the forgotten boards, once a run
    std::map<std::string, Shown> shown_;  // by board name

    std::atomic<bool> stopping_{false};
    std::mutex stopMutex_;
    std::condition_variable stop_;
    std::thread thread_;

    // The connection's thread only.
    int refusal_ = 0;                     // the broker's CONNACK code, when it refused
    Clock::time_point connectedAt_;
    bool everConnected_ = false;
    std::string lastProblem_;             // said once, not on every attempt
    // The record of retained topics waits until the broker has acknowledged
    // every message that clears a forgotten one; it is written on this
    // thread, never under mutex_, which the boards' writers wait on.
    std::set<int> clearing_;
    std::string recordText_;              // "" when nothing is to be written
    std::mutex libraryMutex_;
    std::string libraryError_;            // the library's last error line (TLS)
};

// "octolatch-" and the host name: the client id when none is given.
std::string DefaultMqttClientId();
