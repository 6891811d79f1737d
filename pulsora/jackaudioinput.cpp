#include "jackaudioinput.h"

#include <QDebug>
#include <chrono>

#include "jack_engine_feed.h"
#include "midioutput.h"
#include "qtempomind.h"

std::unique_ptr<JackAudioInput> JackAudioInput::open(const char* clientName,
                                                     std::string* problem) {
    std::unique_ptr<JackEngineClient> client = JackEngineClient::open(clientName, problem);
    if (!client) return nullptr;
    std::unique_ptr<JackAudioInput> input(new JackAudioInput);
    input->jack = std::move(client);
    midioutput_live_config config;
    config.jack = input->jack.get();
    midioutput_set_live_config(config);
    input->refreshSources();
    return input;
}

JackAudioInput::~JackAudioInput() {
    jack->stop_input();
    midioutput_set_live_config(midioutput_live_config());
}

void JackAudioInput::attach(QTempomind* owner, TempoMind_t* fed) {
    facade = owner;
    engine = fed;
}

void JackAudioInput::refreshSources() {
    sources = jack->audio_sources();
    names.clear();
    for (const JackEngineClient::Source& source : sources)
        names.append(QString::fromStdString(source.name));
    // The open source keeps its place by name when others come or go; one
    // that has gone is in no place.
    if (!currentName.isEmpty()) currentIndex = names.indexOf(currentName);
}

QList<QString>* JackAudioInput::getAudioDevList() {
    refreshSources();
    return &names;
}

int JackAudioInput::getInputChannelAmount(int index) const {
    if (index < 0 || index >= static_cast<int>(sources.size())) return 0;
    return static_cast<int>(sources[index].ports.size());
}

bool JackAudioInput::toggleChannel(int channel, int value) {
    if (channel < 0 || channel >= static_cast<int>(channels.size())) return false;
    channels[channel] = value != 0 ? 1 : 0;
    jack->select_input(channel, value != 0);
    return true;
}

int JackAudioInput::selectAudioDev(int index) {
    if (sources.empty())
        return fail(QStringLiteral("No audio input device available (no JACK client offers "
                                   "audio)."));
    if (index < 0 || index >= static_cast<int>(sources.size())) {
        return fail(QStringLiteral("There is no audio input device number %1 (devices 0 to %2).")
                        .arg(index)
                        .arg(sources.size() - 1));
    }
    errorText.clear();

    // As on PortAudio the engine starts again on the new source (a new
    // tracking model takes effect); delivery stops first, so that no
    // callback is inside a closing engine.
    jack->stop_input();
    if (engineStarted && facade) facade->StopTempomind();

    std::string problem;
    const bool connected = jack->set_inputs(sources[index].ports, &problem) && problem.empty();
    channels.assign(static_cast<std::size_t>(jack->input_count()), 0);
    if (!channels.empty()) channels[0] = 1;
    currentName = names[index];
    currentIndex = index;
    declaredLost = false;
    problemReported = false;
    sourceGone = false;

    if (engine) {
        if (!engineStarted) {
            tm_start_sequencer(engine);
        } else if (facade) {
            facade->RunTempomind();
        }
        engineStarted = true;
        jack_feed_engine(*jack, engine);
        if (facade) {
            tm_enable_midiclock(engine, facade->getMidiClockEnabled());
            tm_enable_midinote(engine, facade->getMidiNoteEnabled());
            tm_enable_midiphase(engine, facade->getSendPhase());
        }
    }
    if (!connected)
        return fail(QStringLiteral("Could not connect to \"%1\": %2")
                        .arg(currentName, QString::fromStdString(problem)));
    return 0;
}

void JackAudioInput::closeStream() {
    jack->stop_input();
}

bool JackAudioInput::inputLost() const {
    return declaredLost || sourceGone || !jack->problem().empty();
}

void JackAudioInput::declareInputLost(const QString& message) {
    if (declaredLost) return;
    declaredLost = true;
    fail(message);
}

void JackAudioInput::checkInputHealth() {
    const std::string problem = jack->problem();
    if (!problem.empty()) {
        if (problemReported) return;
        problemReported = true;
        QString message = QString::fromStdString(problem) + QStringLiteral(".");
        message[0] = message[0].toUpper();
        fail(message);
        return;
    }
    // A server back at 44100 Hz delivers again.
    if (problemReported) qInfo().noquote() << "Audio: the JACK input is back.";
    problemReported = false;

    // The open source's client may close (its inputs then hear silence):
    // looked for once a second, reported once.
    if (currentName.isEmpty() || !engineStarted) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - lastSourceCheck < std::chrono::seconds(1)) return;
    lastSourceCheck = now;
    bool listed = false;
    for (const JackEngineClient::Source& source : jack->audio_sources())
        listed = listed || QString::fromStdString(source.name) == currentName;
    if (!listed && !sourceGone) {
        sourceGone = true;
        currentIndex = -1;
        fail(QStringLiteral("The audio source \"%1\" is gone (its JACK client closed).")
                 .arg(currentName));
    } else if (listed && sourceGone) {
        sourceGone = false;
        qInfo().noquote() << "Audio: the source" << currentName
                          << "is back; choose it again in the settings to follow it.";
    }
}

int JackAudioInput::fail(const QString& message) {
    errorText = message;
    reportAudioFailure(facade, message);
    return -1;
}
