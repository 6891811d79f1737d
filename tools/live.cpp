// `kadenzo live`: follows live audio input and drives MIDI clock on a rig
// without a screen. It runs the desktop application's engine facade and
// audio input under a QCoreApplication, prints one status line a second and
// stops cleanly on Ctrl-C or SIGTERM (stream stopped, MIDI Stop sent, engine
// closed).
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <QCoreApplication>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "audiointerface.h"
#include "common.h"
#include "midioutput.h"
#include "qtempomind.h"
#include "subcommand.h"
#include "tempomind.h"

namespace {

std::atomic<int> stopSignal{0};

void onStopSignal(int signal) {
    stopSignal.store(signal);
}

void installStopHandlers() {
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

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

int listDevices() {
    QList<QString> audioNames;
    int defaultAudio = -1;
    {
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
    std::printf("\n");
    printNames("Audio input devices:", audioNames, defaultAudio);
    printNames("MIDI output ports:", midiNames, midiNames.isEmpty() ? -1 : 0);
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

void selectAudio(QTempomind& facade, const Options& options, const std::vector<int>& channels) {
    AudioInterface* audio = facade.audioInterface();
    const QList<QString> names = *audio->getAudioDevList();
    if (names.isEmpty()) {
        std::fprintf(stderr,
                     "kadenzo live: no audio input device found; running without audio "
                     "input\n");
        return;
    }
    int index = audio->getAudioDevIndex();
    if (!options.audioDevice.empty()) {
        index = findInList(names, options.audioDevice);
        if (index < 0) {
            std::fprintf(stderr,
                         "kadenzo live: no audio input device '%s' (see kadenzo live --list); "
                         "running without audio input\n",
                         options.audioDevice.c_str());
            return;
        }
    }
    if (index < 0 || index >= names.size()) index = 0;
    std::printf("kadenzo live: audio input %d: %s\n", index,
                names[index].toLocal8Bit().constData());
    if (audio->selectAudioDev(index) != 0) {
        // The reason is already on standard error.
        std::fprintf(stderr, "kadenzo live: running without audio input\n");
        return;
    }
    if (channels.empty()) return;
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
}

void selectMidi(QTempomind& facade, const Options& options) {
    std::unique_ptr<QList<QString>> names(facade.getMidiDevList());
    if (!options.midiPort.empty()) {
        const int index = findInList(*names, options.midiPort);
        if (index < 0) {
            std::fprintf(stderr,
                         "kadenzo live: no MIDI output port '%s' (see kadenzo live "
                         "--list); staying on the current port\n",
                         options.midiPort.c_str());
        } else if (!facade.selectMidiDev(index)) {
            std::fprintf(stderr, "kadenzo live: could not open MIDI port '%s'\n",
                         names->at(index).toLocal8Bit().constData());
        }
    }
    const int open = facade.getMidiDevIndex();
    std::unique_ptr<QList<QString>> current(facade.getMidiDevList());
    if (open >= 0 && open < current->size()) {
        std::printf("kadenzo live: MIDI output %d: %s\n", open,
                    current->at(open).toLocal8Bit().constData());
    } else {
        std::fprintf(stderr, "kadenzo live: no MIDI output port is open\n");
    }
}

int runLive(const Options& options) {
    std::vector<int> channels;
    if (!options.channels.empty() && !parseChannels(options.channels, &channels)) return 2;

    int qtArgc = 1;
    char qtName[] = "kadenzo";
    char* qtArgv[] = {qtName, nullptr};
    QCoreApplication app(qtArgc, qtArgv);
    installStopHandlers();
    AudioInterface::setJackClientName("kadenzo");
    tm_logmsg_handler = logEngineMessage;
    engineLogLevel = options.verbose ? 0 : 2;

    if (options.list) return listDevices();

    auto* facade = new QTempomind;
    if (!facade->init()) {
        std::fprintf(stderr, "kadenzo live: %s\n",
                     TEMPOMIND_ERROR_STATUS == 3 ? "no MIDI output port available"
                                                 : "the engine could not start");
        delete facade;
        return 1;
    }

    Status status;
    QObject::connect(facade, &QTempomind::barPhase, [&](double p) { status.barPhase = p; });
    QObject::connect(facade, &QTempomind::beatPhase, [&](double p) { status.beatPhase = p; });
    QObject::connect(facade, &QTempomind::audioLevelChange, [&](int db) { status.level = db; });
    facade->startProcessing();

    if (options.halfLife > 0.0) facade->changeHalfTime(options.halfLife);
    if (options.antiDelayMs >= 0.0) facade->SetAntiDelay(options.antiDelayMs / 1000.0);
    facade->setSendPhase(options.phase ? 1 : 0);
    facade->enableMidiClockOutput(0);
    selectAudio(*facade, options, channels);
    selectMidi(*facade, options);
    // Choosing a port leaves the clock on: it is switched off again until
    // the gate lets it run.
    facade->enableMidiClockOutput(0);
    ClockGate gate(facade, options.silenceThreshold, options.settle, options.silenceRelease);
    if (!options.noClock) {
        QObject::connect(facade, &QTempomind::audioLevelChange, [&](int db) { gate.update(db); });
    }

    QTimer statusTimer;
    QObject::connect(&statusTimer, &QTimer::timeout, [&]() {
        const double bpm = tm_get_bpm(facade->engineHandle());
        char tempo[32];
        if (std::isfinite(bpm) && bpm > 0.0) {
            std::snprintf(tempo, sizeof tempo, "%6.1f BPM", bpm);
        } else {
            std::snprintf(tempo, sizeof tempo, "  --.- BPM");
        }
        const char* clock = options.noClock                 ? "off"
                            : facade->getMidiClockEnabled() ? "on"
                                                            : "waiting for music";
        std::printf("%s  bar %.2f  beat %.2f  level %4d dB  clock %s\n", tempo, status.barPhase,
                    status.beatPhase, status.level, clock);
        std::fflush(stdout);
    });
    statusTimer.start(1000);

    QTimer signalWatch;
    QObject::connect(&signalWatch, &QTimer::timeout, [&]() {
        if (stopSignal.load()) app.quit();
    });
    signalWatch.start(50);

    app.exec();
    statusTimer.stop();
    signalWatch.stop();
    std::printf("kadenzo live: stopping\n");
    std::fflush(stdout);

    // A stream whose device vanished can hang PortAudio for ever; the rig
    // must not keep a dead process.
    std::thread([] {
        std::this_thread::sleep_for(std::chrono::seconds(10));
        std::fprintf(stderr, "kadenzo live: shutdown took too long; exiting\n");
        _exit(1);
    }).detach();

    facade->stopProcessing();
    facade->enableMidiClockOutput(0);  // MIDI Stop, at once
    delete facade;                     // stream stopped, engine closed
    std::printf("kadenzo live: stopped\n");
    std::fflush(stdout);
    return 0;
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
                   "MIDI output port, by its number or name (default: port 0)");
    cli.add_option("--anti-delay", options.antiDelayMs,
                   "Output latency compensation in milliseconds")
        ->check(CLI::Range(0.0, 500.0));
    cli.add_option("--half-life", options.halfLife,
                   "Tracking half-life in seconds: longer is steadier (default 3)")
        ->check(CLI::Range(0.5, 60.0));
    cli.add_flag("--no-clock", options.noClock, "Do not send MIDI clock");
    cli.add_option("--silence-threshold", options.silenceThreshold,
                   "Input level below which the input counts as silence, on the level scale of "
                   "the status line (default -35; -100 never stops the clock)");
    cli.add_option("--silence-release", options.silenceRelease,
                   "Seconds of silence after which the clock stops (default 2)")
        ->check(CLI::Range(0.0, 3600.0));
    cli.add_option("--settle", options.settle,
                   "Seconds of music before the clock starts, so that the tracker has locked on "
                   "(default 3)")
        ->check(CLI::Range(0.0, 60.0));
    cli.add_flag("--phase", options.phase,
                 "Also send the bar and beat phase as controllers 64 and 65");
    cli.add_flag("--verbose", options.verbose, "Print every engine message");
    cli.add_flag("--list", options.list, "List audio input devices and MIDI output ports");
    try {
        cli.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return cli.exit(error);
    }
    return runLive(options);
}

}  // namespace

KADENZO_SUBCOMMAND(live, "live", "follow live audio input and send MIDI clock", run_live);
