#include "qtempomind.h"

#include <QDebug>
#include <QTimer>
#include <climits>
#include <cmath>

#include "audiointerface.h"

namespace {

// The input level truncated toward zero, kept inside int's range (no number
// reads as the level of digital silence).
int truncatedLevel(double level) {
    if (std::isnan(level)) return -100;
    if (level <= static_cast<double>(INT_MIN)) return INT_MIN;
    if (level >= static_cast<double>(INT_MAX)) return INT_MAX;
    return static_cast<int>(level);
}

}  // namespace

QTempomind::QTempomind() : QObject(nullptr), pollTimer(new QTimer(this)) {}

QTempomind::~QTempomind() {
    stopProcessing();
    // The engine's timer thread reads the stream clock of the audio interface
    // until the engine is closed, so the interface goes last; its stream is
    // stopped first, so that no block is inside a closing engine.
    if (audio) audio->closeStream();
    if (engine) tm_close(engine);
    engine = nullptr;
    delete audio;
    audio = nullptr;
    delete pollTimer;
    pollTimer = nullptr;
}

bool QTempomind::init(int midiPort, meterTracker::TrackingModel model, bool portAudio) {
    engine = model == meterTracker::TrackingModel::Classic ? tm_init(-1, midiPort)
                                                            : tm_init_model(-1, midiPort, model);
    if (givenInput) {
        givenInput->attach(this, engine);
        audio = givenInput.release();
    } else if (portAudio) {
        audio = new AudioInterface(this, engine);
    }
    if (!engine) {
        if (TEMPOMIND_ERROR_STATUS == 3) {
            qWarning("Error\nNo active MIDI devices found.\n");
        } else {
            qWarning("Fatal: Failed to initialize tempomind.\n");
        }
        return false;
    }
    tm_disable_beat_printout();
    return true;
}

void QTempomind::useAudioInput(std::unique_ptr<AudioInput> input) {
    givenInput = std::move(input);
}

AudioInterface* QTempomind::audioInterface() const {
    return dynamic_cast<AudioInterface*>(audio);
}

void QTempomind::startProcessing() {
    connect(pollTimer, &QTimer::timeout, this, &QTempomind::updateOutputs, Qt::UniqueConnection);
    pollTimer->start(pollMilliseconds);
}

void QTempomind::stopProcessing() {
    if (!pollTimer) return;
    pollTimer->stop();
    disconnect(pollTimer, &QTimer::timeout, nullptr, nullptr);
}

void QTempomind::updateOutputs() {
    if (!engine) return;
    double barFull = 0.0, beatFull = 0.0, tatumFull = 0.0;
    tm_get_meter_phases(engine, &barFull, &beatFull, &tatumFull);
    // A lost input shows as silence, not as the last level it gave.
    const double level = audio && audio->inputLost() ? -100.0 : tm_get_input_level(engine);

    emit barPhase(std::fmod(barFull, 1.0));
    emit beatPhase(std::fmod(beatFull, 1.0));
    emit tatumPhase(std::fmod(tatumFull, 1.0));

    emit audioLevelChange(truncatedLevel(level));

    emit barFullPhase(barFull);
    emit beatFullPhase(beatFull);
    emit tatumFullPhase(tatumFull);

    // Digital silence keeps the value at exactly -100.0: reported once.
    nonBeatyness = tm_get_nonbeatyness(engine);
    if (nonBeatyness != lastNonBeatyness) {
        emit nonBeatynessChange(nonBeatyness);
        lastNonBeatyness = nonBeatyness;
    }

    const int steady = tm_has_steady_beat(engine);
    if (steady != lastSteadyBeat) {
        lastSteadyBeat = steady;
        emit steadyBeatChange(steady != 0);
    }

    if (std::trunc(barFull) != std::trunc(previousBarPhase)) emit bar(true);
    if (std::trunc(beatFull) != std::trunc(previousBeatPhase)) emit beat(true);
    if (std::trunc(tatumFull) != std::trunc(previousTatumPhase)) emit tatum(true);

    previousBarPhase = barFull;
    previousBeatPhase = beatFull;
    previousTatumPhase = tatumFull;

    if (audio) audio->checkInputHealth();
}

void QTempomind::StopTempomind() {
    if (engine) tm_stop(engine);
}

void QTempomind::RunTempomind() {
    if (!engine) return;
    tm_run(engine);
    // The new engine opens port 0; a port of its own is made again, so that
    // what is connected to it stays connected by name.
    if (!ownPort.isEmpty()) openOwnMidiPort(ownPort);
}

void QTempomind::enableMidiClockOutput(int enabled) {
    midiClockEnabled = enabled != 0;
    if (engine) tm_enable_midiclock(engine, enabled);
}

void QTempomind::enableMidiNoteOutput(int enabled) {
    midiNoteEnabled = enabled != 0;
    if (engine) tm_enable_midinote(engine, enabled);
}

void QTempomind::setSendPhase(int on) {
    sendPhase = on;
    if (engine) tm_enable_midiphase(engine, on);
}

void QTempomind::sendMidiTestNote(MeterLevel lvl) {
    if (!engine) return;
    switch (lvl) {
        case Bar:
            tm_send_test_midinote(engine, 0);
            break;
        case Beat:
            tm_send_test_midinote(engine, 1);
            break;
        case Tatum:
            tm_send_test_midinote(engine, 2);
            break;
        default:
            break;
    }
}

bool QTempomind::selectMidiDev(int port) {
    ownPort.clear();
    return engine && tm_set_mididev(engine, port) == 0;
}

bool QTempomind::openOwnMidiPort(const QString& name) {
    if (!engine || name.isEmpty()) return false;
    if (tm_open_own_mididev(engine, name.toLocal8Bit().constData()) != 0) {
        ownPort.clear();
        return false;
    }
    ownPort = name;
    return true;
}

int QTempomind::getMidiDevIndex() {
    return engine ? tm_get_current_mididev(engine) : -1;
}

QList<QString>* QTempomind::getMidiDevList() {
    auto* list = new QList<QString>;
    char** names = engine ? tm_get_mididev_list(engine) : nullptr;
    for (int i = 0; names && names[i]; ++i) list->append(QString::fromLocal8Bit(names[i]));
    return list;
}

void QTempomind::changeHalfTime(double seconds) {
    if (engine) tm_change_half_time(engine, seconds);
}

void QTempomind::changeMyyValues(double bar, double beat, double tatum) {
    if (engine) tm_change_myyValues(engine, bar, beat, tatum);
}

void QTempomind::setTrackingModel(meterTracker::TrackingModel model) {
    if (engine) tm_set_tracking_model(engine, model);
}

meterTracker::TrackingModel QTempomind::trackingModel() const {
    return engine ? tm_get_tracking_model(engine) : meterTracker::TrackingModel::Classic;
}

void QTempomind::setPredictionLog(std::FILE* log) {
    if (engine) tm_set_prediction_log(engine, log);
}

double QTempomind::GetAntiDelay() {
    return engine ? tm_get_anti_delay(engine) : 0.0;
}

void QTempomind::SetAntiDelay(double seconds) {
    if (engine) tm_set_anti_delay(engine, seconds);
}

void QTempomind::setLinkEnabled(bool on) {
    if (engine && tm_enable_link(engine, on ? 1 : 0, 0) == 0) link = on;
}

bool QTempomind::setOsc(const QString& target, const QString& prefix, QString* error) {
    std::string reason;
    const QByteArray t = target.trimmed().toUtf8(), p = prefix.trimmed().toUtf8();
    if (!engine || tm_set_osc(engine, t.constData(), p.constData(), &reason) != 0) {
        if (error) *error = engine ? QString::fromStdString(reason) : QStringLiteral("no engine");
        return false;
    }
    osc_target = QString::fromUtf8(t);
    osc_prefix = QString::fromUtf8(p);
    return true;
}

void QTempomind::SendMidiMsg(int kind, int channel, int number, int value) {
    if (engine) tm_send_midi_message(engine, kind, channel, number, value);
}

void QTempomind::RegisterPhaseCallback(MeterLevelID level, void* user,
                                       void (*cb)(void* user, double fullPhase)) {
    if (engine) tm_register_phase_cb(engine, level, user, cb);
}

void QTempomind::UnregisterPhaseCallback(void* user) {
    if (engine) tm_unregister_phase_cb(engine, user);
}

void QTempomind::reportAudioError(const QString& message) {
    audioErrorText = message;
    qWarning().noquote() << "Audio:" << message;
    emit audioError(message);
}

void QTempomind::tap() {
    if (engine) tm_tap(engine, tm_get_engine_time(engine));
}

void QTempomind::tempoFactor(int numerator, int denominator) {
    if (engine) tm_tempo_factor(engine, numerator, denominator, tm_get_engine_time(engine));
}

void QTempomind::nudge(double milliseconds) {
    if (engine) tm_nudge(engine, milliseconds / 1000.0, tm_get_engine_time(engine));
}

void QTempomind::barOne() {
    if (engine) tm_bar_one(engine, tm_get_engine_time(engine));
}

void QTempomind::setHold(bool on) {
    if (engine) tm_hold(engine, on ? 1 : 0, tm_get_engine_time(engine));
}

bool QTempomind::holding() const {
    return engine && tm_get_hold(engine) != 0;
}

void QTempomind::resetCorrections() {
    if (engine) tm_reset_corrections(engine, tm_get_engine_time(engine));
}

void QTempomind::setStartOnBar(bool on) {
    if (engine) tm_set_start_on_bar(engine, on ? 1 : 0);
}

QString QTempomind::corrections() const {
    if (!engine) return QString();
    char text[128];
    tm_get_corrections(engine, text, sizeof text);
    return QString::fromUtf8(text);
}

void reportAudioFailure(QTempomind* facade, const QString& message) {
    if (facade) {
        facade->reportAudioError(message);
    } else {
        qWarning().noquote() << "Audio:" << message;
    }
}
