// `kadenzo live`: follows live audio input and drives MIDI clock on a rig
// without a screen. It runs the desktop application's engine facade and
// audio input under a QCoreApplication, prints one status line a second,
// takes the performer's controls from single keys and from a MIDI input
// port (a foot controller), and stops cleanly on Ctrl-C or SIGTERM (stream
// stopped, MIDI Stop sent, engine closed, terminal restored).
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <QCoreApplication>
#include <QList>
#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "audiointerface.h"
#include "cli_support.h"
#include "common.h"
#include "control_input.h"
#include "controls.h"
#include "jack_watch.h"
#include "live_jack.h"
#include "quiet_start.h"
#include "midioutput.h"
#include "output_file.h"
#include "qtempomind.h"
#include "subcommand.h"
#include "tempomind.h"

namespace {

std::atomic<int> stopSignal{0};

void onStopSignal(int signal) {
    stopSignal.store(signal);
}

// A signal that ends the program at once still gives the terminal its
// settings back (keys put it in raw mode).
void onFatalSignal(int signal) {
    TerminalKeys::restoreTerminal();
    ::signal(signal, SIG_DFL);
    raise(signal);
}

void installStopHandlers() {
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    // A closed terminal or ssh session (SIGHUP) stops the program like
    // Ctrl-C, with the MIDI Stop that lets slaved machines stop too.
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    struct sigaction fatal = {};
    fatal.sa_handler = onFatalSignal;
    sigemptyset(&fatal.sa_mask);
    for (int signal : {SIGQUIT, SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL})
        sigaction(signal, &fatal, nullptr);
}

// Exit statuses besides those of every subcommand.
const int kExitInputLost = 3;  // the audio input went away while running

// Engine messages: warnings and errors always, everything with --verbose.
int engineLogLevel = 2;
void logEngineMessage(int level, void* udata, const char* format, va_list args) {
    if (level >= engineLogLevel) tm_logmsg_stderr(level, udata, format, args);
}

bool isIndex(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// Finds a device or port given as its list index or its name: the exact name
// first, then the first name containing the text (ignoring case). -1 when
// nothing matches.
int findInList(const QList<QString>& names, const std::string& wanted) {
    if (isIndex(wanted)) {
        const long index = std::strtol(wanted.c_str(), nullptr, 10);
        return index < names.size() ? static_cast<int>(index) : -1;
    }
    const QString text = QString::fromStdString(wanted);
    for (int i = 0; i < names.size(); ++i) {
        if (names[i] == text) return i;
    }
    for (int i = 0; i < names.size(); ++i) {
        if (names[i].contains(text, Qt::CaseInsensitive)) return i;
    }
    return -1;
}

void printNames(const char* title, const QList<QString>& names, int marked) {
    std::printf("%s\n", title);
    if (names.isEmpty()) std::printf("  (none)\n");
    for (int i = 0; i < names.size(); ++i) {
        std::printf("  %d: %s%s\n", i, names[i].toLocal8Bit().constData(),
                    i == marked ? "  <default>" : "");
    }
}

int listDevices(LiveJackInput* jack) {
    QList<QString> audioNames;
    int defaultAudio = -1;
    if (jack) {
        for (const std::string& name : jack->sourceNames())
            audioNames.append(QString::fromStdString(name));
        if (!audioNames.isEmpty()) defaultAudio = 0;
    } else {
        AudioInterface audio(nullptr, nullptr);
        audioNames = *audio.getAudioDevList();
        if (!audioNames.isEmpty()) defaultAudio = audio.getAudioDevIndex();
    }
    QList<QString> midiNames;
    if (midioutput_state* midi = midioutput_init()) {
        char** names = midioutput_get_port_names(midi);
        for (int i = 0; names && names[i]; ++i) midiNames.append(QString::fromLocal8Bit(names[i]));
        midioutput_free(midi);
    }
    QList<QString> controlNames;
    {
        MidiControlInput input;
        for (const std::string& name : input.ports()) controlNames.append(QString::fromStdString(name));
    }
    std::printf("\n");
    printNames("Audio input devices:", audioNames, defaultAudio);
    printNames("MIDI output ports:", midiNames, midiNames.isEmpty() ? -1 : 0);
    printNames("MIDI input ports (for --control-port):", controlNames, -1);
    std::fflush(stdout);
    return 0;
}

struct Options {
    std::string audioDevice;
    std::string channels;
    std::string midiPort;
    double antiDelayMs = -1.0;
    double halfLife = -1.0;
    double silenceThreshold = -35.0;
    double silenceRelease = 2.0;
    double settle = 3.0;
    bool noClock = false;
    bool phase = false;
    bool verbose = false;
    bool list = false;
    std::string backend = "auto";  // jack, portaudio, or jack when a server runs
    std::string predictionLog;
    ModelChoice model;
    std::string controlPort;
    std::string controlMap;
    bool noKeys = false;

    // Outputs beside the MIDI clock.
    std::string osc;
    std::string oscPrefix = OSC_DEFAULT_PREFIX;
    bool link = false;
    bool linkLead = false;
};

// "1,2" -> channel numbers counted from 1; false with a message for text
// that is not such a list.
bool parseChannels(const std::string& text, std::vector<int>* channels) {
    size_t start = 0;
    while (start <= text.size()) {
        const size_t comma = std::min(text.find(',', start), text.size());
        const std::string item = text.substr(start, comma - start);
        if (!isIndex(item) || std::strtol(item.c_str(), nullptr, 10) < 1) {
            std::fprintf(stderr,
                         "kadenzo live: --channels wants channel numbers from 1, "
                         "separated by commas (got '%s')\n",
                         text.c_str());
            return false;
        }
        channels->push_back(static_cast<int>(std::strtol(item.c_str(), nullptr, 10)));
        start = comma + 1;
    }
    return true;
}

// The MIDI clock runs only while there is music. Music is present while the
// input level reached the silence threshold within the last second (music
// has quiet moments between its notes); the clock starts, with Start at the
// next beat, once music has been present for the settle time, so that the
// tracker has locked on to the music rather than to the silence before it,
// and it stops (MIDI Stop) once the input has stayed below the threshold for
// the release time.
class ClockGate {
  public:
    ClockGate(QTempomind* facade, double threshold, double settleSeconds, double releaseSeconds)
        : facade_(facade),
          threshold_(threshold),
          settle_(settleSeconds),
          release_(releaseSeconds),
          pause_(std::min(1.0, releaseSeconds)) {}

    // The input level of one poll (the engine's level scale).
    void update(int level) {
        const auto now = std::chrono::steady_clock::now();
        if (level >= threshold_) {
            if (!lastLoud_ || seconds(now - *lastLoud_) >= pause_) musicSince_ = now;
            lastLoud_ = now;
        }
        const double quiet = lastLoud_ ? seconds(now - *lastLoud_) : INFINITY;
        if (!running_ && quiet < pause_ && seconds(now - musicSince_) >= settle_) {
            running_ = true;
            facade_->enableMidiClockOutput(1);
            std::printf("kadenzo live: music, the clock starts at the next beat\n");
            std::fflush(stdout);
        } else if (running_ && quiet >= release_) {
            running_ = false;
            facade_->enableMidiClockOutput(0);
            std::printf("kadenzo live: silence, clock stopped\n");
            std::fflush(stdout);
        }
    }
    bool running() const { return running_; }

  private:
    static double seconds(std::chrono::steady_clock::duration d) {
        return std::chrono::duration<double>(d).count();
    }
    QTempomind* facade_;
    double threshold_, settle_, release_, pause_;
    bool running_ = false;
    std::optional<std::chrono::steady_clock::time_point> lastLoud_;
    std::chrono::steady_clock::time_point musicSince_;
};

// What the facade last published, for the status line.
struct Status {
    double barPhase = 0.0;
    double beatPhase = 0.0;
    int level = -100;
};

// A device or port the user named that matches nothing: the program stops
// (status 2) with the list to choose from, rather than run on something else.
int noSuchEntry(const char* what, const std::string& wanted, const char* title,
                const QList<QString>& names) {
    std::fprintf(stderr, "kadenzo live: no %s '%s'\n", what, wanted.c_str());
    std::fprintf(stderr, "%s\n", title);
    if (names.isEmpty()) std::fprintf(stderr, "  (none)\n");
    for (int i = 0; i < names.size(); ++i)
        std::fprintf(stderr, "  %d: %s\n", i, names[i].toLocal8Bit().constData());
    return kExitUsage;
}

// The audio input on Kadenzo's own JACK client: 0, or the exit status.
int selectJackAudio(QTempomind& facade, LiveJackInput& jack, const Options& options,
                    const std::vector<int>& channels) {
    QList<QString> names;
    for (const std::string& name : jack.sourceNames()) names.append(QString::fromStdString(name));
    int index = -1;
    if (!options.audioDevice.empty()) {
        index = findInList(names, options.audioDevice);
        if (index < 0)
            return noSuchEntry("audio input device", options.audioDevice,
                               "Audio input devices:", names);
    }
    std::string problem;
    if (!jack.selectSource(index, channels, &problem)) {
        std::fprintf(stderr, "kadenzo live: %s\n", problem.c_str());
    }
    TempoMind_t* engine = facade.engineHandle();
    jack.start(engine);
    tm_enable_midiclock(engine, facade.getMidiClockEnabled());
    tm_enable_midinote(engine, facade.getMidiNoteEnabled());
    tm_enable_midiphase(engine, facade.getSendPhase());
    return 0;
}

// Opens the audio input: 0, or the exit status when the program cannot go on.
int selectAudio(QTempomind& facade, const Options& options, const std::vector<int>& channels) {
    AudioInterface* audio = facade.audioInterface();
    const QList<QString> names = *audio->getAudioDevList();
    if (!options.audioDevice.empty() && findInList(names, options.audioDevice) < 0) {
        return noSuchEntry("audio input device", options.audioDevice, "Audio input devices:",
                           names);
    }
    if (names.isEmpty()) {
        std::fprintf(stderr,
                     "kadenzo live: no audio input device found; running without audio "
                     "input\n");
        return 0;
    }
    int index = options.audioDevice.empty() ? audio->getAudioDevIndex()
                                            : findInList(names, options.audioDevice);
    if (index < 0 || index >= names.size()) index = 0;
    std::printf("kadenzo live: audio input %d: %s\n", index,
                names[index].toLocal8Bit().constData());
    if (audio->selectAudioDev(index) != 0) {
        // The reason is already on standard error.
        std::fprintf(stderr, "kadenzo live: running without audio input\n");
        return 0;
    }
    if (channels.empty()) return 0;
    const int available = audio->getInputChannelAmount(index);
    audio->toggleChannel(0, 0);
    int mixed = 0;
    for (int channel : channels) {
        if (audio->toggleChannel(channel - 1, 1)) {
            ++mixed;
        } else {
            std::fprintf(stderr,
                         "kadenzo live: the device has %d input channel(s); channel %d "
                         "ignored\n",
                         available, channel);
        }
    }
    if (mixed == 0) {
        std::fprintf(stderr, "kadenzo live: none of the channels exists; the input is silent\n");
    }
    return 0;
}

// The MIDI output ports as they are now, for finding one before the engine starts.
QList<QString> listMidiPorts() {
    QList<QString> names;
    if (midioutput_state* midi = midioutput_init()) {
        char** list = midioutput_get_port_names(midi);
        for (int i = 0; list && list[i]; ++i) names.append(QString::fromLocal8Bit(list[i]));
        midioutput_free(midi);
    }
    return names;
}

void reportMidiPort(QTempomind& facade) {
    const int open = facade.getMidiDevIndex();
    std::unique_ptr<QList<QString>> current(facade.getMidiDevList());
    if (open >= 0 && open < current->size()) {
        std::printf("kadenzo live: MIDI output %d: %s\n", open,
                    current->at(open).toLocal8Bit().constData());
    } else {
        std::fprintf(stderr, "kadenzo live: no MIDI output port is open\n");
    }
}

// Watches the open MIDI port: a receiver that goes away (its program quit,
// its cable pulled) is reported, nothing is sent meanwhile, and when a port
// of the same name comes back it is opened again and the clock resumes with
// a Start at the next beat (when it runs).
class MidiReceiverWatch {
  public:
    explicit MidiReceiverWatch(QTempomind* facade) : facade_(facade) {
        std::unique_ptr<QList<QString>> names(facade_->getMidiDevList());
        const int open = facade_->getMidiDevIndex();
        if (open >= 0 && open < names->size()) name_ = names->at(open);
    }

    // Once a second. clockRunning: whether the clock should be sending.
    void check(bool clockRunning) {
        std::unique_ptr<QList<QString>> names(facade_->getMidiDevList());  // re-lists
        const int open = facade_->getMidiDevIndex();
        if (open >= 0) {
            if (open < names->size()) name_ = names->at(open);
            return;
        }
        if (name_.isEmpty()) return;
        if (!missing_) {
            missing_ = true;
            std::fprintf(stderr,
                         "kadenzo live: MIDI: no receiver (port '%s' is gone); waiting for it "
                         "to come back\n",
                         name_.toLocal8Bit().constData());
        }
        const int back = names->indexOf(name_);
        if (back < 0 || !facade_->selectMidiDev(back)) return;
        missing_ = false;
        // Opening a port switches the clock on; it keeps the gate's state.
        facade_->enableMidiClockOutput(clockRunning ? 1 : 0);
        std::fprintf(stderr, "kadenzo live: MIDI: receiver '%s' is back\n",
                     name_.toLocal8Bit().constData());
    }
    bool receiverMissing() const { return missing_; }

  private:
    QTempomind* facade_;
    QString name_;
    bool missing_ = false;
};

// Notices an audio input that stopped delivering (its device unplugged, the
// audio server gone): a second without a block, while a stream runs.
// A JACK server that closes is known at once.
class AudioInputWatch {
  public:
    explicit AudioInputWatch(AudioInterface* audio) : audio_(audio) {
        if (audio_ && audio_->streamUsesJack())
            jack_ = std::make_unique<JackServerWatch>("kadenzo-watch");
    }
    // Often; true once the input is gone.
    bool lost() {
        if (!audio_ || !audio_->isStreamOpen()) return false;
        if (jack_ && jack_->serverDown()) return true;
        const auto now = std::chrono::steady_clock::now();
        const std::uint64_t blocks = audio_->blocksDelivered();
        if (blocks != blocks_ || !seen_) {
            blocks_ = blocks;
            seen_ = true;
            progress_ = now;
            return audio_->inputLost();
        }
        return audio_->inputLost() ||
               std::chrono::duration<double>(now - progress_).count() >= kLostSeconds;
    }

  private:
    static constexpr double kLostSeconds = 1.0;
    AudioInterface* audio_;
    std::unique_ptr<JackServerWatch> jack_;
    std::uint64_t blocks_ = 0;
    bool seen_ = false;
    std::chrono::steady_clock::time_point progress_;
};

// Ableton Link and OSC, beside the MIDI clock; both follow its Start and Stop.
void startNetworkOutputs(TempoMind_t* engine, const Options& options) {
    if (!options.osc.empty()) {
        std::string error;
        if (tm_set_osc(engine, options.osc.c_str(), options.oscPrefix.c_str(), &error) != 0) {
            std::fprintf(stderr, "kadenzo live: OSC: %s\n", error.c_str());
        } else {
            std::printf("kadenzo live: OSC to %s, addresses %s/...\n", options.osc.c_str(),
                        options.oscPrefix.c_str());
        }
    }
    if (options.link) {
        tm_enable_link(engine, 1, options.linkLead ? 1 : 0);
        std::printf("kadenzo live: Ableton Link on%s\n", options.linkLead ? " (lead)" : "");
    }
}

// "  Link 2 peers 120.0 BPM  OSC 1234 sent" for the status line.
std::string networkStatus(TempoMind_t* engine, const Options& options) {
    std::string text;
    char part[96];
    if (options.link) {
        const link_sink_status link = tm_get_link_status(engine);
        std::snprintf(part, sizeof part, "  Link %d peer%s %.1f BPM%s", link.peers,
                      link.peers == 1 ? "" : "s", link.session_bpm,
                      !link.driving ? " (waiting for the beat)" : "");
        text += part;
    }
    if (!options.osc.empty()) {
        const osc_sink_counts osc = tm_get_osc_counts(engine);
        std::snprintf(part, sizeof part, "  OSC %llu sent%s",
                      static_cast<unsigned long long>(osc.sent),
                      osc.failed ? " (sending fails)" : "");
        text += part;
    }
    return text;
}

int runLive(const Options& options) {
    std::vector<int> channels;
    if (!options.channels.empty() && !parseChannels(options.channels, &channels)) return 2;

    // The libraries' own messages only with --verbose; Kadenzo says what
    // went wrong in its own lines.
    quietStartup(!options.verbose);
    std::string ownPort;
    const std::string kNewPrefix = "new:";
    if (options.midiPort.rfind(kNewPrefix, 0) == 0) {
        ownPort = options.midiPort.substr(kNewPrefix.size());
        if (ownPort.empty()) {
            std::fprintf(stderr, "kadenzo live: --midi-port new:NAME wants a name\n");
            return kExitUsage;
        }
    }
    // JACK when asked for, or by default when a server runs.
    std::unique_ptr<LiveJackInput> jack;
    if (options.backend == "jack" ||
        (options.backend == "auto" && JackEngineClient::server_running())) {
        std::string problem;
        jack = LiveJackInput::open(ownPort, &problem);
        if (!jack) {
            std::fprintf(stderr, "kadenzo live: %s%s\n", problem.c_str(),
                         options.backend == "jack" ? "" : "; using PortAudio and RtMidi");
            if (options.backend == "jack") return kExitFailure;
        }
    }
    if (!jack && !ownPort.empty()) {
        midioutput_live_config config;
        config.own_port = ownPort;
        midioutput_set_live_config(config);
    }

    int qtArgc = 1;
    char qtName[] = "kadenzo";
    char* qtArgv[] = {qtName, nullptr};
    QCoreApplication app(qtArgc, qtArgv);
    installStopHandlers();
    AudioInterface::setJackClientName("kadenzo");
    tm_logmsg_handler = logEngineMessage;
    engineLogLevel = options.verbose ? 0 : 2;

    if (options.list) return listDevices(jack.get());
    std::string oscError, oscHost, oscPort;
    if (!options.osc.empty() && !osc_parse_target(options.osc, &oscHost, &oscPort, &oscError)) {
        std::fprintf(stderr, "kadenzo live: --osc: %s\n", oscError.c_str());
        return kExitUsage;
    }
    if (!osc_prefix_valid(options.oscPrefix)) {
        std::fprintf(stderr, "kadenzo live: --osc-prefix '%s' %s\n", options.oscPrefix.c_str(),
                     OSC_PREFIX_RULE);
        return kExitUsage;
    }

    // The prediction log is written only when asked for, through a
    // temporary file that takes its name when the program ends.
    OutputFile predictionLog;
    if (!options.predictionLog.empty()) {
        OutputPlan plan;
        std::string error;
        if (!plan.addOutput("--prediction-log", options.predictionLog, error) ||
            !predictionLog.open(options.predictionLog, error)) {
            std::fprintf(stderr, "kadenzo live: %s\n", error.c_str());
            return kExitFailure;
        }
    }

    // The performer's controls: the map first (a bad one is a usage error).
    ControlMap controlMap = ControlMap::defaults();
    if (!options.controlMap.empty()) {
        std::ifstream mapFile(options.controlMap);
        if (!mapFile) {
            std::fprintf(stderr, "kadenzo live: cannot read '%s'\n", options.controlMap.c_str());
            return kExitUsage;
        }
        std::vector<std::string> errors;
        if (!ControlMap::parse(mapFile, &controlMap, &errors)) {
            for (const std::string& e : errors)
                std::fprintf(stderr, "kadenzo live: %s: %s\n", options.controlMap.c_str(),
                             e.c_str());
            return kExitUsage;
        }
    }
    std::unique_ptr<MidiControlInput> controlInput;
    if (!options.controlPort.empty()) {
        controlInput = std::make_unique<MidiControlInput>();
        std::string why;
        if (!controlInput->open(options.controlPort, &why)) {
            QList<QString> names;
            for (const std::string& n : controlInput->ports())
                names.append(QString::fromStdString(n));
            std::fprintf(stderr, "kadenzo live: %s\n", why.c_str());
            return noSuchEntry("MIDI input port", options.controlPort, "MIDI input ports:",
                               names);
        }
        std::printf("kadenzo live: controls from MIDI input '%s'\n",
                    controlInput->portName().c_str());
    }

    // A port named on the command line is found before the engine opens
    // one, so that the engine starts on it.
    int midiPort = 0;
    if (!options.midiPort.empty() && ownPort.empty()) {
        const QList<QString> ports = listMidiPorts();
        midiPort = findInList(ports, options.midiPort);
        if (midiPort < 0)
            return noSuchEntry("MIDI output port", options.midiPort, "MIDI output ports:", ports);
    }

    auto* facade = new QTempomind;
    if (!facade->init(midiPort, options.model.model, !jack)) {
        std::fprintf(stderr, "kadenzo live: %s\n",
                     TEMPOMIND_ERROR_STATUS == 3 ? noMidiAdvice(jack != nullptr).c_str()
                                                 : "the engine could not start");
        delete facade;
        return kExitFailure;
    }
    if (predictionLog.isOpen()) facade->setPredictionLog(predictionLog.stream());

    Status status;
    QObject::connect(facade, &QTempomind::barPhase, [&](double p) { status.barPhase = p; });
    QObject::connect(facade, &QTempomind::beatPhase, [&](double p) { status.beatPhase = p; });
    QObject::connect(facade, &QTempomind::audioLevelChange, [&](int db) { status.level = db; });
    // The status line shows the phases once a second and the silence gate
    // works in tenths of a second: no meters to keep smooth.
    facade->setPollInterval(100);
    facade->startProcessing();

    if (options.halfLife > 0.0) facade->changeHalfTime(options.halfLife);
    if (options.antiDelayMs >= 0.0) facade->SetAntiDelay(options.antiDelayMs / 1000.0);
    // The engine starts with every output off: only what is switched on is
    // switched, so that no Stop goes out for an output that never ran.
    if (options.phase) facade->setSendPhase(1);
    startNetworkOutputs(facade->engineHandle(), options);
    int result = jack ? selectJackAudio(*facade, *jack, options, channels)
                      : selectAudio(*facade, options, channels);
    if (result != 0) {
        delete facade;
        return result;
    }
    reportMidiPort(*facade);
    ClockGate gate(facade, options.silenceThreshold, options.settle, options.silenceRelease);
    if (!options.noClock) {
        QObject::connect(facade, &QTempomind::audioLevelChange, [&](int db) { gate.update(db); });
    }
    MidiReceiverWatch midiWatch(facade);

    // The performer's controls reach the engine with the engine-clock time
    // of the press: a key's when the program reads it (at once, through the
    // event loop), a MIDI message's when it arrived.
    TempoMind_t* const engine = facade->engineHandle();
    auto press = [&](const Control& control, double at) {
        apply_control(engine, control, at);
        char text[128];
        tm_get_corrections(engine, text, sizeof text);
        std::printf("kadenzo live: %s at %.3f s; corrections: %s\n", control_text(control).c_str(),
                    at, text[0] ? text : "none");
        std::fflush(stdout);
    };
    std::unique_ptr<TerminalKeys> keys;
    std::unique_ptr<QSocketNotifier> keyNotifier;
    if (!options.noKeys) {
        keys = std::make_unique<TerminalKeys>();
        if (keys->active()) {
            std::printf("kadenzo live: %s\n", TerminalKeys::help());
            std::fflush(stdout);
            keyNotifier = std::make_unique<QSocketNotifier>(STDIN_FILENO, QSocketNotifier::Read);
            QObject::connect(keyNotifier.get(), &QSocketNotifier::activated, [&]() {
                const double at = tm_get_engine_time(engine);
                for (const Control& control : keys->read()) press(control, at);
            });
        }
    }
    QTimer controlPoll;
    if (controlInput) {
        QObject::connect(&controlPoll, &QTimer::timeout, [&]() {
            MidiControlInput::Message message;
            while (controlInput->poll(&message)) {
                Control control;
                if (!controlMap.match(message.bytes.data(), message.size, &control)) continue;
                const double ago = std::chrono::duration<double>(
                                       std::chrono::steady_clock::now() - message.arrival)
                                       .count();
                press(control, tm_get_engine_time(engine) - ago);
            }
        });
        controlPoll.start(5);
    }

    QTimer statusTimer;
    QObject::connect(&statusTimer, &QTimer::timeout, [&]() {
        midiWatch.check(gate.running());
        const double bpm = tm_get_bpm(facade->engineHandle());
        char tempo[32];
        if (std::isfinite(bpm) && bpm > 0.0) {
            std::snprintf(tempo, sizeof tempo, "%6.1f BPM", bpm);
        } else {
            std::snprintf(tempo, sizeof tempo, "  --.- BPM");
        }
        const bool steady = tm_has_steady_beat(engine) != 0;
        const char* clock = options.noClock                   ? "off"
                            : !facade->getMidiClockEnabled() ? "waiting for music"
                            : steady                          ? "on"
                                                              : "waiting for a steady beat";
        char corrections[128];
        tm_get_corrections(engine, corrections, sizeof corrections);
        std::printf("%s  bar %.2f  beat %.2f  level %4d dB  clock %s%s%s%s%s\n", tempo,
                    status.barPhase, status.beatPhase, status.level, clock,
                    corrections[0] ? "  corrections: " : "", corrections,
                    midiWatch.receiverMissing() ? "  MIDI: no receiver" : "",
                    networkStatus(engine, options).c_str());
        std::fflush(stdout);
    });
    statusTimer.start(1000);

    AudioInputWatch audioWatch(facade->audioInterface());
    QTimer signalWatch;
    QObject::connect(&signalWatch, &QTimer::timeout, [&]() {
        if (stopSignal.load()) app.quit();
        if (jack && result == 0 && !jack->client().problem().empty()) {
            std::fprintf(stderr, "kadenzo live: the audio input is gone (%s); exiting\n",
                         jack->client().problem().c_str());
            result = kExitInputLost;
            app.quit();
        } else if (audioWatch.lost()) {
            // A supervisor restarts a program that ends; one that runs on
            // without input would show a stale tempo for ever.
            facade->audioInterface()->declareInputLost(QStringLiteral(
                "The audio input stopped delivering audio (its device or the audio server is "
                "gone)."));
            std::fprintf(stderr,
                         "kadenzo live: the audio input is gone (device unplugged or audio "
                         "server stopped); exiting\n");
            result = kExitInputLost;
            app.quit();
        }
    });
    signalWatch.start(100);

    app.exec();
    statusTimer.stop();
    signalWatch.stop();
    controlPoll.stop();
    keyNotifier.reset();
    keys.reset();  // the terminal as it was
    std::printf("kadenzo live: stopping\n");
    std::fflush(stdout);

    // A stream whose device vanished can hang PortAudio for ever; the rig
    // must not keep a dead process.
    std::thread([] {
        std::this_thread::sleep_for(std::chrono::seconds(10));
        std::fprintf(stderr, "kadenzo live: shutdown took too long; exiting\n");
        TerminalKeys::restoreTerminal();
        _exit(1);
    }).detach();

    facade->stopProcessing();
    facade->enableMidiClockOutput(0);  // MIDI Stop, at once
    if (jack) jack->stop();            // no block inside the closing engine
    delete facade;                     // stream stopped, engine closed
    if (jack) jack->reportTrouble();
    jack.reset();
    if (predictionLog.isOpen()) {
        std::string error;
        if (!predictionLog.commit(error)) {
            std::fprintf(stderr, "kadenzo live: %s\n", error.c_str());
            if (result == 0) result = kExitFailure;
        }
    }
    std::printf("kadenzo live: stopped\n");
    std::fflush(stdout);
    return result;
}

int run_live(int argc, char** argv) {
    CLI::App cli("Follows live audio input and drives MIDI clock, without a window.", "live");
    Options options;
    cli.add_option("--audio-device", options.audioDevice,
                   "Audio input device, by its number or name (default: the system's default "
                   "input)");
    cli.add_option("--channels", options.channels,
                   "Input channels to mix, counted from 1, e.g. 1,2 (default: 1)");
    cli.add_option("--midi-port", options.midiPort,
                   "MIDI output port, by its number or name (default: port 0); new:NAME makes "
                   "a port of Kadenzo's own called NAME that other programs connect to");
    cli.add_option("--backend", options.backend,
                   "Audio and MIDI system: jack (Kadenzo's own JACK client, MIDI at the exact "
                   "frame), portaudio (PortAudio and RtMidi); default: jack when a JACK server "
                   "runs")
        ->check(CLI::IsMember({"auto", "jack", "portaudio"}));
    cli.add_option("--anti-delay", options.antiDelayMs,
                   "Output latency compensation in milliseconds (0 to 500)")
        ->check(finiteRange(0.0, 500.0));
    cli.add_option("--half-life", options.halfLife,
                   "Tracking half-life in seconds: longer is steadier (default 3)")
        ->check(finiteRange(0.5, 60.0));
    cli.add_flag("--no-clock", options.noClock, "Do not send MIDI clock");
    cli.add_option("--silence-threshold", options.silenceThreshold,
                   "Input level below which the input counts as silence, on the level scale of "
                   "the status line (default -35; -100 never stops the clock)")
        ->check(finiteNumber());
    cli.add_option("--silence-release", options.silenceRelease,
                   "Seconds of silence after which the clock stops (default 2)")
        ->check(finiteRange(0.0, 3600.0));
    cli.add_option("--settle", options.settle,
                   "Seconds of music before the clock starts, so that the tracker has locked on "
                   "(default 3)")
        ->check(finiteRange(0.0, 60.0));
    cli.add_flag("--phase", options.phase,
                 "Also send the bar and beat phase as controllers 64 and 65");
    cli.add_option("--prediction-log", options.predictionLog,
                   "Write the engine's prediction log: one line per estimate update, "
                   "\"TIME BEAT_PERIOD NEXT_BEAT BAR_PERIOD NEXT_BAR TATUM_PERIOD NEXT_TATUM\" "
                   "in seconds (complete when the program ends)")
        ->type_name("FILE");
    cli.add_option("--osc", options.osc,
                   "Also send the beats, bars, tempo, phases and Start/Stop as OSC over UDP to "
                   "HOST:PORT, time-tagged and sent ahead by the anti-delay")
        ->type_name("HOST:PORT");
    cli.add_option("--osc-prefix", options.oscPrefix,
                   "Address prefix of the OSC messages (default /kadenzo)");
    cli.add_flag("--link", options.link,
                 "Also drive an Ableton Link session's tempo and beat phase (quantum: the beats "
                 "per bar), beside the MIDI clock");
    cli.add_flag("--link-lead", options.linkLead,
                 "With --link: the session's phase follows the music at once rather than "
                 "gently (for a rig where Kadenzo is the session's clock)");
    addModelOptions(cli, options.model, false);
    cli.add_option("--control-port", options.controlPort,
                   "MIDI input port for the performer's controls (a foot controller), by its "
                   "number or name; its notes and controllers press the controls of the control "
                   "map, each at the message's arrival time")
        ->type_name("NAME|NUMBER");
    cli.add_option("--control-map", options.controlMap,
                   "File mapping MIDI messages to controls, one a line: 'note N ACTION [VALUE]' "
                   "or 'cc N ACTION [VALUE]' (see below for the actions and the default map)")
        ->type_name("FILE");
    cli.add_flag("--no-keys", options.noKeys, "Do not read single keys from the terminal");
    cli.add_flag("--verbose", options.verbose, "Print every engine message");
    cli.add_flag("--list", options.list, "List audio input devices and MIDI output and input ports");
    const std::string footer =
        std::string("Performer controls. ") + TerminalKeys::help() +
        ". Actions of a control map: tap, tempo 2|1/2|3/2|2/3, nudge MS, bar1, hold [on|off] "
        "(a note switches hold over, a controller holds while at 64 or more), reset, "
        "start-on-bar on|off; a note presses when it sounds, a controller at 64 or more. "
        "Default map:\n" +
        ControlMap::defaults().describe() +
        "\nStops cleanly (MIDI Stop, then exit status 0) on Ctrl-C, SIGTERM or SIGHUP. ";
    cli.footer(footer +
        "Exit status: 1 when the engine cannot start, 2 on a usage error or a device or port "
        "that does not exist, 3 when the audio input goes away while running (its device or "
        "the audio server), so that a supervisor can restart the program.");
    int status = 0;
    if (!parseCommandLine(cli, argc, argv, &status)) return status;
    if (options.linkLead) options.link = true;
    return runLive(options);
}

}  // namespace

KADENZO_SUBCOMMAND(live, "live", "follow live audio input and send MIDI clock", run_live);
