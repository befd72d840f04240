#include "service/mqtt.h"

#include <mosquitto.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>

#include "board/state_files.h"
#include "board/values.h"
#include "board/output_bits.h"
#include "service/access.h"
#include "service/log.h"
#include "service/mqtt_commands.h"
#include "service/mqtt_discovery.h"

namespace {

// The first wait before connecting again, doubled after each failure up to
// the longest; a connection that held this long starts the waits over.
constexpr auto kFirstWait = std::chrono::milliseconds(500);
constexpr auto kLongestWait = std::chrono::seconds(30);
constexpr auto kHeld = std::chrono::seconds(10);
// The broker ends the connection, and sends the will, after 1.5 times this
// without a word from the service.
constexpr int kKeepAliveSeconds = 30;
constexpr auto kFarewell = std::chrono::seconds(2);

const char kOnline[] = "online";
const char kOffline[] = "offline";

// The library's messages, fit to stand inside a line: "Connection Refused:
// not authorised." without its full stop.
std::string Sentence(std::string text) {
    while (!text.empty() && text.back() == '.') text.pop_back();
    return text;
}

std::string Seconds(std::chrono::milliseconds wait) {
    const long long ms = wait.count();
    return std::to_string(ms / 1000) + (ms % 1000 ? "." + std::to_string(ms % 1000 / 100) : "") + " s";
}

// The record of the retained topics this service keeps: one a line.
std::set<std::string> ReadRetainedTopics(const std::string& path) {
    std::string text, reason;
    const StateFiles::Read read = StateFiles::ReadText(path, &text, &reason);
    if (read == StateFiles::Read::Failed) Log("mqtt: " + reason + "; nothing of boards removed is cleared");
    std::set<std::string> topics;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        if (!line.empty() && line[0] != '#') topics.insert(line);
    return topics;
}

}  // namespace

std::string DefaultMqttClientId() {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') return "octolatch";
    return std::string("octolatch-") + host;
}

std::unique_ptr<Mqtt> Mqtt::Create(const MqttSettings& settings, std::vector<std::unique_ptr<Board>>& boards,
                                   const std::string& stateDirectory, const std::string& version,
                                   std::string* problem) {
    if (settings.clientId.empty() || settings.clientId.find_first_of("+#") != std::string::npos) {
        *problem = "mqtt client_id " + Quoted(settings.clientId) + " must be a topic level without + or #";
        return nullptr;
    }
    if (settings.discoveryPrefix.find_first_of("+#") != std::string::npos) {
        *problem = "mqtt discovery_prefix " + Quoted(settings.discoveryPrefix) + " must be a topic without + or #";
        return nullptr;
    }
    if (!settings.passwordFile.empty() && settings.username.empty()) {
        *problem = "mqtt password_file needs a username";
        return nullptr;
    }
    std::unique_ptr<Mqtt> mqtt(new Mqtt(settings, boards, stateDirectory + "/mqtt-retained-topics", version));
    if (!settings.passwordFile.empty()) {
        *problem = ReadSecret(settings.passwordFile, "mqtt-password", "mqtt password_file", &mqtt->password_);
        if (!problem->empty()) return nullptr;
    }
    mosquitto* client = mqtt->client_;
    if (!client) {
        *problem = "mqtt: cannot make a client: " + std::string(std::strerror(errno));
        return nullptr;
    }
    // Callbacks run on the connection's thread, which alone writes to the
    // socket; other threads' publications wake it.
    mosquitto_threaded_set(client, true);
    mosquitto_int_option(client, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_callback_set(client, &Mqtt::OnConnect);
    mosquitto_disconnect_callback_set(client, &Mqtt::OnDisconnect);
    mosquitto_message_callback_set(client, &Mqtt::OnMessage);
    mosquitto_publish_callback_set(client, &Mqtt::OnPublish);
    mosquitto_log_callback_set(client, &Mqtt::OnLog);
    const std::string will = mqtt->topics_.ServiceAvailability();
    mosquitto_will_set(client, will.c_str(), static_cast<int>(std::strlen(kOffline)), kOffline, 1, true);
    if (!settings.username.empty())
        mosquitto_username_pw_set(client, settings.username.c_str(),
                                  mqtt->password_.empty() ? nullptr : mqtt->password_.c_str());
    if (!settings.caFile.empty()) {
        // The broker's certificate must come from the CA and name the host;
        // once set, the client never speaks without TLS.
        const char* certificate = settings.certificateFile.empty() ? nullptr : settings.certificateFile.c_str();
        const char* key = settings.keyFile.empty() ? nullptr : settings.keyFile.c_str();
        const int code = mosquitto_tls_set(client, settings.caFile.c_str(), nullptr, certificate, key, nullptr);
        if (code != MOSQ_ERR_SUCCESS) {
            *problem = "mqtt ca_file " + settings.caFile +
                       (settings.certificateFile.empty() ? "" : ", certificate_file " + settings.certificateFile +
                                                                    ", key_file " + settings.keyFile) +
                       ": cannot be read";
            return nullptr;
        }
        mosquitto_tls_opts_set(client, 1, nullptr, nullptr);
    }
    return mqtt;
}

Mqtt::Mqtt(const MqttSettings& settings, std::vector<std::unique_ptr<Board>>& boards, std::string recordPath,
           const std::string& version)
    : settings_(settings), topics_{settings.topicPrefix, settings.discoveryPrefix, settings.clientId},
      boards_(boards), recordPath_(std::move(recordPath)) {
    mosquitto_lib_init();
    client_ = mosquitto_new(settings.clientId.c_str(), true, this);
    for (const auto& board : boards_) {
        discovery_.push_back(DiscoveryPayload(board->Settings(), topics_, version));
        Shown& shown = shown_[board->Settings().name];
        shown.outputs = board->Settings().outputs;
        shown.offInMs.assign(static_cast<std::size_t>(shown.outputs), -1);
        for (int output = 1; output <= shown.outputs; ++output)
            if (board->Settings().output[static_cast<std::size_t>(output - 1)].autoOffMs > 0)
                shown.autoOff |= BitOfOutput(output, shown.outputs);
    }
}

Mqtt::~Mqtt() {
    Stop();
    if (client_) mosquitto_destroy(client_);
    mosquitto_lib_cleanup();
}

void Mqtt::Start() {
    Log("mqtt: connecting to " + settings_.host + ":" + std::to_string(settings_.port) + " as " +
        settings_.clientId + (settings_.caFile.empty() ? "" : " over TLS"));
    thread_ = std::thread(&Mqtt::Run, this);
}

void Mqtt::Stop() {
    {
        const std::lock_guard<std::mutex> lock(stopMutex_);
        stopping_ = true;
    }
    stop_.notify_all();
    if (thread_.joinable()) thread_.join();
}

// ------------------------------------------------------------- connection

void Mqtt::Run() {
    auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(kFirstWait);
    const std::string broker = settings_.host + ":" + std::to_string(settings_.port);
    while (!Stopping()) {
        {
            const std::lock_guard<std::mutex> lock(libraryMutex_);
            libraryError_.clear();
        }
        refusal_ = 0;
        everConnected_ = false;
        int code = mosquitto_connect_async(client_, settings_.host.c_str(), settings_.port, kKeepAliveSeconds);
        int error = errno;
        if (code == MOSQ_ERR_SUCCESS) {
            while (!Stopping() && (code = mosquitto_loop(client_, 100, 1)) == MOSQ_ERR_SUCCESS) {}
            error = errno;
        }
        if (Stopping()) break;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            connected_ = false;
        }
        const std::string why = WhyNotConnected(code, error);
        if (everConnected_) {
            Log("mqtt: the connection to " + broker + " is lost" +
                (code == MOSQ_ERR_CONN_LOST ? std::string() : ": " + why) + "; connecting again");
            if (Clock::now() - connectedAt_ >= kHeld) wait = kFirstWait;
        } else if (why != lastProblem_) {
            Log("mqtt: not connected to " + broker + ": " + why + "; trying again in " + Seconds(wait) +
                ", then less and less often (every " + Seconds(kLongestWait) + " at most)");
        }
        lastProblem_ = why;
        std::unique_lock<std::mutex> lock(stopMutex_);
        stop_.wait_for(lock, wait, [this] { return stopping_.load(); });
        wait = std::min<std::chrono::milliseconds>(wait * 2, kLongestWait);
    }
    Farewell();
}

std::string Mqtt::WhyNotConnected(int code, int error) {
    if (refusal_ != 0) return "the broker refused: " + Sentence(mosquitto_connack_string(refusal_));
    std::string library;
    {
        const std::lock_guard<std::mutex> lock(libraryMutex_);
        library = libraryError_;
    }
    if (code == MOSQ_ERR_TLS || code == MOSQ_ERR_TLS_HANDSHAKE)
        return "TLS failed" + (library.empty() ? "" : ": " + library) + " (the broker must speak TLS, with a "
               "certificate from " + settings_.caFile + " that names " + settings_.host + ")";
    if (code == MOSQ_ERR_ERRNO) return std::strerror(error);
    if (code == MOSQ_ERR_EAI) return "cannot find the host " + settings_.host;
    return Sentence(mosquitto_strerror(code));
}

// The broker has taken the connection: subscribe to the boards' commands
// and tell it everything again, since anything may have changed meanwhile.
void Mqtt::Connected() {
    everConnected_ = true;
    connectedAt_ = Clock::now();
    lastProblem_.clear();
    for (const auto& board : boards_) {
        const std::string commands = topics_.Commands(board->Settings().name);
        mosquitto_subscribe(client_, nullptr, commands.c_str(), 1);
        const std::string items = topics_.ItemsCommand(board->Settings().name);
        mosquitto_subscribe(client_, nullptr, items.c_str(), 1);
    }
    if (!topics_.discoveryPrefix.empty())
        mosquitto_subscribe(client_, nullptr, topics_.DiscoveryStatus().c_str(), 1);
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        connected_ = true;
        ClearForgottenBoards();
        PublishEverything();
    }
    if (clearing_.empty()) WriteRetainedRecord();
    Log("mqtt: connected to " + settings_.host + ":" + std::to_string(settings_.port) + " as " + settings_.clientId);
}

// A clean end: the will is not sent then, so the service says it itself.
void Mqtt::Farewell() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (!connected_) return;
        Publish(topics_.ServiceAvailability(), kOffline, 1, true);
        connected_ = false;
    }
    mosquitto_disconnect(client_);
    const auto deadline = Clock::now() + kFarewell;
    while (Clock::now() < deadline && mosquitto_loop(client_, 100, 1) == MOSQ_ERR_SUCCESS) {}
}

void Mqtt::OnConnect(mosquitto*, void* self, int code) {
    Mqtt& mqtt = *static_cast<Mqtt*>(self);
    if (code != 0) {
        mqtt.refusal_ = code;
        return;
    }
    mqtt.Connected();
}

// The broker has what a QoS 1 message carried.
void Mqtt::OnPublish(mosquitto*, void* self, int messageId) {
    Mqtt& mqtt = *static_cast<Mqtt*>(self);
    if (mqtt.clearing_.erase(messageId) && mqtt.clearing_.empty()) mqtt.WriteRetainedRecord();
}

void Mqtt::WriteRetainedRecord() {
    if (recordText_.empty()) return;
    const std::string problem = StateFiles::ReplaceText(recordPath_, recordText_);
    if (!problem.empty()) Log("mqtt: cannot keep the record " + recordPath_ + ": " + problem);
    recordText_.clear();
}

void Mqtt::OnDisconnect(mosquitto*, void* self, int) {
    Mqtt& mqtt = *static_cast<Mqtt*>(self);
    const std::lock_guard<std::mutex> lock(mqtt.mutex_);
    mqtt.connected_ = false;
}

// The library says why TLS failed only in its log: "OpenSSL Error[0]: ...".
void Mqtt::OnLog(mosquitto*, void* self, int level, const char* text) {
    if (level != MOSQ_LOG_ERR) return;
    Mqtt& mqtt = *static_cast<Mqtt*>(self);
    std::string line = text;
    const std::size_t said = line.find("]: ");
    if (line.compare(0, 14, "OpenSSL Error[") == 0 && said != std::string::npos) line.erase(0, said + 3);
    const std::lock_guard<std::mutex> lock(mqtt.libraryMutex_);
    mqtt.libraryError_ = line;
}

// --------------------------------------------------------------- commands

void Mqtt::OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
    Mqtt& mqtt = *static_cast<Mqtt*>(self);
    const std::string topic = message->topic;
    const std::string payload(static_cast<const char*>(message->payload),
                              static_cast<std::size_t>(std::max(message->payloadlen, 0)));
    if (!mqtt.topics_.discoveryPrefix.empty() && topic == mqtt.topics_.DiscoveryStatus()) {
        // Home Assistant has started again and forgotten everything.
        if (payload == kOnline && !message->retain) {
            const std::lock_guard<std::mutex> lock(mqtt.mutex_);
            if (mqtt.connected_) mqtt.PublishEverything();
        }
        return;
    }
    mqtt.Command(topic, payload, message->retain);
}

void Mqtt::Command(const std::string& topic, const std::string& payload, bool retained) {
    std::string name, item;
    if (!SplitCommandTopic(topic, topics_.prefix, &name, &item)) return;
    Board* board = nullptr;
    for (const auto& candidate : boards_)
        if (candidate->Settings().name == name) board = candidate.get();
    // An empty message only clears a retained one.
    if (!board || payload.empty()) return;
    // A retained command would be done again on every connection.
    if (retained)
        return Refuse(name, topic, "a retained command is never done: publish commands without retain, "
                                   "and clear this one (an empty retained message)");
    MqttCommand command;
    const std::string problem = ParseMqttCommand(board->Settings(), item, payload, &command);
    if (!problem.empty()) return Refuse(name, topic, problem);
    // The answer is not waited for, so that a burst of commands merges into
    // few transmissions; only a refusal that is known at once is told.
    std::future<Answer> answer;
    switch (command.kind) {
        case MqttCommand::Output: answer = board->SwitchOutput(command.output, command.action, "mqtt"); break;
        case MqttCommand::Pulse: answer = board->PulseOutput(command.output, command.pulseMs, "mqtt"); break;
        case MqttCommand::Value: answer = board->SetValue(command.value, "mqtt"); break;
        case MqttCommand::Items: answer = board->Apply(command.changes, "mqtt"); break;
    }
    if (answer.wait_for(std::chrono::seconds(0)) != std::future_status::ready) return;
    const Answer done = answer.get();
    if (done.status == Answer::Unavailable) Refuse(name, topic, "board " + name + " is unavailable: " + done.reason);
    if (done.status == Answer::Refused) Refuse(name, topic, "refused: " + done.reason);
    if (done.status == Answer::Stopping) Refuse(name, topic, "the service is stopping");
}

void Mqtt::Refuse(const std::string& board, const std::string& topic, const std::string& problem) {
    Log(board + ": " + topic + ": " + problem + "; ignored (mqtt)");
    Publish(topics_.Error(board), topic + ": " + problem, 0, false);
}

// ---------------------------------------------------------------- states

void Mqtt::Follow(const BoardEvent& event) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = shown_.find(event.board);
    if (found == shown_.end()) return;
    Shown& shown = found->second;
    // Back, or there for the first time: every output is told again.
    const bool appeared = event.available && (event.availabilityChanged || !shown.known);
    shown.available = event.available;
    std::uint64_t timed = 0;  // auto-off outputs whose remaining time changed
    if (event.available) {
        shown.known = true;
        shown.value = event.value;
        for (int output = 1; output <= shown.outputs && event.offInMs.size() == shown.offInMs.size(); ++output) {
            const std::size_t k = static_cast<std::size_t>(output - 1);
            if ((shown.autoOff & BitOfOutput(output, shown.outputs)) && (event.offInMs[k] < 0) != (shown.offInMs[k] < 0))
                timed |= BitOfOutput(output, shown.outputs);
            shown.offInMs[k] = event.offInMs[k];
        }
    }
    if (!connected_) return;
    if (event.availabilityChanged || appeared)
        Publish(topics_.Availability(event.board), event.available ? kOnline : kOffline, 0, true);
    if (event.available) PublishBoard(event.board, shown, appeared ? AllOutputs(event.outputs) : event.changed | timed);
}

// Board states go out with QoS 0: each connection sends them all again, and
// a QoS 1 message left over from a lost connection would be sent after
// them and undo them.
void Mqtt::PublishBoard(const std::string& board, const Shown& shown, std::uint64_t outputs) {
    if (outputs == 0) return;
    for (int output = 1; output <= shown.outputs; ++output) {
        const std::uint64_t bit = BitOfOutput(output, shown.outputs);
        if (outputs & bit) Publish(topics_.Output(board, output), shown.value & bit ? "ON" : "OFF", 0, true);
        if (outputs & bit & shown.autoOff)
            PublishAttributes(board, output, shown.offInMs[static_cast<std::size_t>(output - 1)]);
    }
    Publish(topics_.Value(board), FormatValue(shown.value, shown.outputs), 0, true);
}

// The time left of an auto-off as it stood when the output changed: Home
// Assistant shows it beside the switch.
void Mqtt::PublishAttributes(const std::string& board, int output, std::int64_t offInMs) {
    const std::string left = offInMs < 0 ? "null" : std::to_string(offInMs);
    Publish(topics_.Attributes(board, output), "{\"off_in_ms\": " + left + "}", 0, true);
}

void Mqtt::PublishEverything() {
    Publish(topics_.ServiceAvailability(), kOnline, 1, true);
    if (!topics_.discoveryPrefix.empty())
        for (std::size_t i = 0; i < boards_.size(); ++i)
            Publish(topics_.Discovery(boards_[i]->Settings().name), discovery_[i], 1, true);
    for (const auto& [board, shown] : shown_) {
        Publish(topics_.Availability(board), shown.available ? kOnline : kOffline, 0, true);
        if (shown.known) PublishBoard(board, shown, AllOutputs(shown.outputs));
    }
}

// Once a run, at the first connection: the retained messages of boards
// that have left the configuration are cleared, going by the record of
// what this service published, so that nobody else's are touched.
void Mqtt::ClearForgottenBoards() {
    if (cleared_) return;
    cleared_ = true;
    std::vector<BoardSettings> boards;
    for (const auto& board : boards_) boards.push_back(board->Settings());
    const std::set<std::string> current = RetainedTopics(boards, topics_);
    const std::set<std::string> recorded = ReadRetainedTopics(recordPath_);
    std::string names;
    for (const std::string& topic : recorded) {
        if (current.count(topic)) continue;
        clearing_.insert(Publish(topic, "", 1, true));
        const std::string suffix = "/availability", start = topics_.prefix + "/";
        if (topic.size() > start.size() + suffix.size() && topic.compare(0, start.size(), start) == 0 &&
            topic.compare(topic.size() - suffix.size(), suffix.size(), suffix) == 0) {
            const std::string board = topic.substr(start.size(), topic.size() - start.size() - suffix.size());
            if (board.find('/') == std::string::npos) names += (names.empty() ? "" : ", ") + board;
        }
    }
    if (!names.empty()) Log("mqtt: cleared what was published of " + names + ", no longer configured here");
    if (recorded == current) return;
    recordText_ = "# The retained topics octolatchd keeps on the MQTT broker, cleared once unused.\n";
    for (const std::string& topic : current) recordText_ += topic + "\n";
}

int Mqtt::Publish(const std::string& topic, const std::string& payload, int qos, bool retain) {
    int messageId = 0;
    mosquitto_publish(client_, &messageId, topic.c_str(), static_cast<int>(payload.size()),
                      payload.empty() ? nullptr : payload.data(), qos, retain);
    return messageId;
}
