#include "mainwindow.h"

#include <QCloseEvent>
#include <QDebug>
#include <QIcon>
#include <QMenu>
#include <QMenuBar>
#include <QPoint>
#include <QProgressBar>
#include <QScreen>
#include <QSettings>
#include <QShortcut>
#include <QSignalBlocker>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <optional>

#include "audioinput.h"
#include "nomusicdialog.h"
#include "qtempomind.h"
#include "settingsdialog.h"
#include "ui_aboutdialog.h"
#include "ui_mainwindow.h"

namespace {

const char* const kOrganisation = "Orvane";
const char* const kApplication = "Pulsora";

const char* const kPositionKey = "MainWindow/Position";
const char* const kHalfLifeKey = "Pulsora/HalfLife";
const char* const kMidiClockKey = "Pulsora/MidiClockEnabled";
const char* const kSendPhaseKey = "Pulsora/SendPhase";
const char* const kAudioDeviceKey = "Pulsora/AudioInputDevice";
const char* const kAudioChannelsKey = "Pulsora/AudioChannels";
const char* const kMidiDeviceKey = "Pulsora/MidiOutputDevice";
// Set while the MIDI output is a port of the window's own: its name.
const char* const kMidiOwnPortKey = "Pulsora/MidiOwnPort";
const char* const kTrackingModelKey = "Pulsora/TrackingModel";
const char* const kStartOnBarKey = "Pulsora/StartOnBar";

// The nudge of one press of a nudge button or arrow key.
const double kNudgeMilliseconds = 10.0;
const char* const kLinkKey = "Pulsora/LinkEnabled";
const char* const kOscTargetKey = "Pulsora/OscTarget";
const char* const kOscPrefixKey = "Pulsora/OscPrefix";

// The tempo button's modes: tracker period-prior medians in seconds.
struct TempoMode {
    const char* image;
    double bar, beat, tatum;
};
const TempoMode kTempoModes[3] = {
    {":/resources/pulsora_tempotron.png", 2.1, 0.55, 0.18},
    {":/resources/pulsora_tempotron2.png", 1.5, 0.42857142857142855, 0.12244897959183673},
    {":/resources/pulsora_tempotron3.png", 2.6246719160104988, 0.75, 0.21428571428571427},
};

// The store may hold anything a user or an older version left there: these
// readers give nothing for a value that does not read as the type.
std::optional<bool> readBool(const QSettings& settings, const char* key) {
    if (!settings.contains(key)) return std::nullopt;
    const QVariant value = settings.value(key);
    if (value.metaType().id() == QMetaType::Bool) return value.toBool();
    const QString text = value.toString().trimmed().toLower();
    if (text == QLatin1String("true") || text == QLatin1String("1")) return true;
    if (text == QLatin1String("false") || text == QLatin1String("0")) return false;
    return std::nullopt;
}

std::optional<int> readInt(const QSettings& settings, const char* key) {
    if (!settings.contains(key)) return std::nullopt;
    bool ok = false;
    const double value = settings.value(key).toString().trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(value) || std::fabs(value) > 1e9) return std::nullopt;
    return static_cast<int>(std::lround(value));
}

std::optional<QString> readString(const QSettings& settings, const char* key) {
    if (!settings.contains(key)) return std::nullopt;
    const QVariant value = settings.value(key);
    if (!value.canConvert<QString>()) return std::nullopt;
    return value.toString();
}

}  // namespace

MainWindow::MainWindow(QTempomind* facade_, QWidget* parent)
    : QMainWindow(parent), ui(std::make_unique<Ui::MainWindow1D>()), facade(facade_) {
    nomusicDialog = new NomusicDialog(this);

    ui->setupUi(this);
    if (facade) {
        connect(facade, &QTempomind::audioError, this, &MainWindow::showAudioError);
        facade->startProcessing();
    }

    readSettings();

    silenceCount = 0;
    stopOnSilence = false;
    previousStopOnSilence = false;
    silenceThreshold = -35.0;
    silenceRelease = 0.0;

    if (facade) {
        connect(facade, &QTempomind::audioLevelChange, ui->audioLevelBar, &QProgressBar::setValue);
        connect(facade, &QTempomind::nonBeatynessChange, this, &MainWindow::nonbeatynessChange);
        connect(facade, &QTempomind::steadyBeatChange, this, &MainWindow::showSteadyBeat);
    }

    buildMenus();
    buildShortcuts();
    // The corrections also change by themselves (a tapped tempo the
    // tracker comes round to): the text follows twice a second.
    auto* correctionsTimer = new QTimer(this);
    connect(correctionsTimer, &QTimer::timeout, this, &MainWindow::showCorrections);
    correctionsTimer->start(500);
    showCorrections();

    // The window always starts in the corner of the area the desktop offers
    // it, whatever position was restored.
    if (QScreen* where = screen()) {
        const QRect area = where->availableGeometry();
        move(area.left() + 20, area.top() + 15);
    }

    // The engine runs with the half-life the slider shows.
    if (facade) facade->changeHalfTime(ui->robustSlider->value() / 10.0);

    // A device that could not be opened at start-up stays visible.
    if (facade && facade->audio && !facade->audio->lastError().isEmpty())
        showAudioError(facade->audio->lastError());
}

MainWindow::~MainWindow() {
    // The facade closes the audio stream and the engine.
    delete facade;
    facade = nullptr;
}

void MainWindow::readSettings() {
    QSettings settings(kOrganisation, kApplication);

    const QVariant position = settings.value(kPositionKey);
    if (position.metaType().id() == QMetaType::QPoint) move(position.toPoint());

    // Tenths of a second, 3.0 ... 12.0 s; a change of value runs the slot.
    if (const std::optional<int> halfLife = readInt(settings, kHalfLifeKey))
        ui->robustSlider->setValue(
            std::clamp(*halfLife, ui->robustSlider->minimum(), ui->robustSlider->maximum()));

    const std::optional<bool> clockEnabled = readBool(settings, kMidiClockKey);
    setStatusText(clockEnabled.value_or(false) ? onlineText() : QString());

    // Without a stored value phase output is switched on, but the field
    // (written back at close) stays false.
    if (const std::optional<bool> storedPhase = readBool(settings, kSendPhaseKey)) {
        sendPhase = *storedPhase;
        if (facade) facade->setSendPhase(sendPhase ? 1 : 0);
    } else if (facade) {
        facade->setSendPhase(1);
    }

    if (facade) facade->enableMidiClockOutput(0);

    AudioInput* audio = facade ? facade->audio : nullptr;
    if (audio) {
        if (const std::optional<QString> deviceName = readString(settings, kAudioDeviceKey)) {
            const int index = audio->getAudioDevList()->indexOf(*deviceName);
            if (index >= 0) {
                audio->selectAudioDev(index);
            } else {
                // The stored device is gone (unplugged, renamed): the default
                // input takes its place, and the status says so.
                fallbackAudioDevice(*deviceName, clockEnabled.value_or(false));
            }
            if (index >= 0 && settings.contains(kAudioChannelsKey)) {
                const QStringList stored = settings.value(kAudioChannelsKey).toStringList();
                const int channels = static_cast<int>(audio->getCurrentChannels().size());
                for (int j = 0; j < stored.size() && j < channels; ++j) {
                    bool ok = false;
                    const int flag = stored[j].trimmed().toInt(&ok);
                    if (ok && (flag == 0 || flag == 1)) audio->toggleChannel(j, flag);
                }
            }
        } else {
            audio->selectAudioDev(0);
        }
    }

    if (facade) {
        if (const std::optional<QString> ownPort = readString(settings, kMidiOwnPortKey)) {
            facade->openOwnMidiPort(*ownPort);
        } else if (const std::optional<QString> portName = readString(settings, kMidiDeviceKey)) {
            std::unique_ptr<QList<QString>> ports(facade->getMidiDevList());
            const int index = ports->indexOf(*portName);
            if (index >= 0) facade->selectMidiDev(index);
        }
    }

    if (clockEnabled) {
        ui->midiClockEnable->setChecked(*clockEnabled);
        if (facade) facade->enableMidiClockOutput(*clockEnabled ? 1 : 0);
    }

    // Checking the box runs its slot, which tells the engine.
    if (const std::optional<bool> startOnBar = readBool(settings, kStartOnBarKey))
        ui->startOnBarCheck->setChecked(*startOnBar);

    // The network outputs beside the MIDI clock; a stored target the engine
    // refuses stays off.
    if (facade) {
        if (readBool(settings, kLinkKey).value_or(false)) facade->setLinkEnabled(true);
        const std::optional<QString> target = readString(settings, kOscTargetKey);
        if (target && !target->trimmed().isEmpty()) {
            const QString prefix = readString(settings, kOscPrefixKey).value_or(facade->oscPrefix());
            QString error;
            if (!facade->setOsc(*target, prefix, &error)) qWarning() << "OSC:" << error;
        }
    }
}

void MainWindow::writeSettings() {
    QSettings settings(kOrganisation, kApplication);
    settings.setValue(kPositionKey, pos());
    settings.setValue(kMidiClockKey, ui->midiClockEnable->isChecked());
    settings.setValue(kSendPhaseKey, sendPhase);
    settings.setValue(kHalfLifeKey, ui->robustSlider->value());
    settings.setValue(kStartOnBarKey, ui->startOnBarCheck->isChecked());
    if (!facade) return;
    settings.setValue(kTrackingModelKey,
                      QString::fromLatin1(meterTracker::trackingModelName(facade->trackingModel())));
    settings.setValue(kLinkKey, facade->linkEnabled());
    settings.setValue(kOscTargetKey, facade->oscTarget());
    settings.setValue(kOscPrefixKey, facade->oscPrefix());

    AudioInput* audio = facade->audio;
    // The list first: a JACK input re-reads its sources, and the index is
    // that of the open one in the list as it is now.
    const QList<QString>* listed = audio ? audio->getAudioDevList() : nullptr;
    const int audioIndex = audio ? audio->getAudioDevIndex() : -1;
    if (audio) {
        const QList<QString>& names = *listed;
        if (audioIndex >= 0 && audioIndex < names.size())
            settings.setValue(kAudioDeviceKey, names[audioIndex]);
    }

    const int midiIndex = facade->getMidiDevIndex();
    std::unique_ptr<QList<QString>> ports(facade->getMidiDevList());
    if (midiIndex >= 0 && midiIndex < ports->size())
        settings.setValue(kMidiDeviceKey, ports->at(midiIndex));
    if (facade->ownMidiPort().isEmpty()) {
        settings.remove(kMidiOwnPortKey);
    } else {
        settings.setValue(kMidiOwnPortKey, facade->ownMidiPort());
    }

    if (audio) {
        // Only channels the open device has: none when no device is open.
        const std::vector<unsigned char> flags = audio->getCurrentChannels();
        const int count =
            std::min(audio->getInputChannelAmount(audioIndex), static_cast<int>(flags.size()));
        QVariantList channels;
        for (int j = 0; j < count; ++j) channels.append(static_cast<int>(flags[j]));
        settings.setValue(kAudioChannelsKey, channels);
    }
}

void MainWindow::buildMenus() {
    QMenu* fileMenu = menuBar()->addMenu(tr("&File"));
    QAction* settingsAction = fileMenu->addAction(tr("&Settings"));
    settingsAction->setStatusTip(tr("Control I/O devices"));
    connect(settingsAction, &QAction::triggered, this, &MainWindow::launchSettings);
    fileMenu->addSeparator();
    QAction* quitAction = fileMenu->addAction(tr("&Quit"));
    quitAction->setStatusTip(tr("Quit Kadenzo"));
    connect(quitAction, &QAction::triggered, this, &QWidget::close);

    QMenu* aboutMenu = menuBar()->addMenu(tr("&File"));
    QAction* aboutAction = aboutMenu->addAction(tr("&About"));
    connect(aboutAction, &QAction::triggered, this, &MainWindow::launchAbout);
}

void MainWindow::buildShortcuts() {
    // Window-wide keys; the buttons take no focus, so Space never clicks one.
    struct Key {
        QKeySequence key;
        void (MainWindow::*slot)();
    };
    const Key keys[] = {
        {QKeySequence(Qt::Key_Space), &MainWindow::on_tapButton_pressed},
        {QKeySequence(Qt::Key_B), &MainWindow::on_barOneButton_clicked},
        {QKeySequence(Qt::Key_Asterisk), &MainWindow::on_doubleButton_clicked},
        {QKeySequence(Qt::Key_Slash), &MainWindow::on_halfButton_clicked},
        {QKeySequence(Qt::Key_Greater), &MainWindow::on_threeHalvesButton_clicked},
        {QKeySequence(Qt::Key_Less), &MainWindow::on_twoThirdsButton_clicked},
        {QKeySequence(Qt::Key_R), &MainWindow::on_resetCorrectionsButton_clicked},
    };
    // A key held down is one press: its auto-repeat would tap or double again.
    for (const Key& k : keys) {
        auto* shortcut = new QShortcut(k.key, this);
        shortcut->setAutoRepeat(false);
        connect(shortcut, &QShortcut::activated, this, k.slot);
    }
    auto* hold = new QShortcut(QKeySequence(Qt::Key_H), this);
    hold->setAutoRepeat(false);
    connect(hold, &QShortcut::activated, ui->holdButton, &QAbstractButton::toggle);
    // The arrows nudge, except on the half-life slider while it has the
    // focus, where they move it as they always did.
    for (const bool later : {false, true}) {
        auto* arrow = new QShortcut(QKeySequence(later ? Qt::Key_Right : Qt::Key_Left), this);
        connect(arrow, &QShortcut::activated, this, [this, later]() {
            if (focusWidget() == ui->robustSlider) {
                ui->robustSlider->triggerAction(later ? QAbstractSlider::SliderSingleStepAdd
                                                      : QAbstractSlider::SliderSingleStepSub);
            } else if (later) {
                on_nudgeLaterButton_clicked();
            } else {
                on_nudgeEarlierButton_clicked();
            }
        });
    }
}

void MainWindow::on_tapButton_pressed() {
    if (facade) facade->tap();
    showCorrections();
}

void MainWindow::on_barOneButton_clicked() {
    if (facade) facade->barOne();
    showCorrections();
}

void MainWindow::on_holdButton_toggled(bool on) {
    if (facade) facade->setHold(on);
    showCorrections();
}

void MainWindow::on_nudgeEarlierButton_clicked() {
    if (facade) facade->nudge(-kNudgeMilliseconds);
    showCorrections();
}

void MainWindow::on_nudgeLaterButton_clicked() {
    if (facade) facade->nudge(kNudgeMilliseconds);
    showCorrections();
}

void MainWindow::on_doubleButton_clicked() {
    if (facade) facade->tempoFactor(2, 1);
    showCorrections();
}

void MainWindow::on_halfButton_clicked() {
    if (facade) facade->tempoFactor(1, 2);
    showCorrections();
}

void MainWindow::on_threeHalvesButton_clicked() {
    if (facade) facade->tempoFactor(3, 2);
    showCorrections();
}

void MainWindow::on_twoThirdsButton_clicked() {
    if (facade) facade->tempoFactor(2, 3);
    showCorrections();
}

void MainWindow::on_resetCorrectionsButton_clicked() {
    if (facade) facade->resetCorrections();
    // Hold is a correction too: its button goes up without a second call.
    const QSignalBlocker quiet(ui->holdButton);
    ui->holdButton->setChecked(false);
    showCorrections();
}

void MainWindow::on_startOnBarCheck_toggled(bool on) {
    if (facade) facade->setStartOnBar(on);
}

void MainWindow::showCorrections() {
    const QString text = facade ? facade->corrections() : QString();
    ui->correctionsLabel->setText(text.isEmpty() ? tr("following the music") : text);
}

void MainWindow::launchSettings() {
    SettingsDialog dialog(facade, this);
    dialog.exec();
    // An input chosen here is the user's choice, no stand-in.
    if (!fallbackNote.isEmpty() && facade && facade->audio &&
        facade->audio->lastError().isEmpty()) {
        fallbackNote.clear();
        setStatusText(ui->midiClockEnable->isChecked() ? onlineText()
                                                       : QStringLiteral("silent"));
    }
}

void MainWindow::launchAbout() {
    QDialog dialog(this);
    Ui::AboutDialog form;
    form.setupUi(&dialog);
    dialog.exec();
}

void MainWindow::bpmChange(double) {}

void MainWindow::on_tempoButton_pressed() {
    tempoPresses += 1;
    switch (tempoPresses % 3) {
        case 1:
            applyTempoMode(2);
            break;
        case 2:
            applyTempoMode(3);
            break;
        default:
            applyTempoMode(1);
            tempoPresses = 0;
            break;
    }
}

void MainWindow::applyTempoMode(int mode) {
    const TempoMode& values = kTempoModes[mode - 1];
    ui->tempoButton->setIcon(QIcon(QString::fromLatin1(values.image)));
    if (facade) facade->changeMyyValues(values.bar, values.beat, values.tatum);
}

void MainWindow::showHalfLife(int value) {
    const double seconds = value / 10.0;
    ui->halflifeLabel->setText(QStringLiteral("Halflife: ") + QString::number(seconds, 'g', 6) +
                               QStringLiteral("s"));
    if (facade) facade->changeHalfTime(seconds);
}

void MainWindow::on_robustSlider_sliderMoved(int position) {
    showHalfLife(position);
}

void MainWindow::on_robustSlider_valueChanged(int value) {
    showHalfLife(value);
}

void MainWindow::on_midiClockEnable_stateChanged(int state) {
    if (facade) facade->enableMidiClockOutput(state);
    setStatusText(state != 0 ? onlineText() : QStringLiteral("silent"));
}

void MainWindow::on_midiClockResetButton_clicked() {
    // Stop at once; Start and clocks follow at the next beat.
    if (!ui->midiClockEnable->isChecked() || !facade) return;
    facade->enableMidiClockOutput(0);
    facade->enableMidiClockOutput(1);
}

void MainWindow::on_nonMusicCheck_clicked() {
    stopOnSilence = !stopOnSilence;
    if (!stopOnSilence) ui->midiClockEnable->setChecked(true);
}

void MainWindow::on_silenceSettingsButton_clicked() {
    nomusicDialog->exec();
}

void MainWindow::nonbeatynessChange(double nbt) {
    if (stopOnSilence && nbt < silenceThreshold) {
        silenceCount += 1;
    } else {
        silenceCount = 0;
    }

    if (auto* meter = nomusicDialog->findChild<QProgressBar*>(QStringLiteral("rmsvalue"))) {
        // Values outside the meter's range are ignored by it; only a value
        // that is no number at all is kept away from the conversion.
        if (std::isfinite(nbt)) meter->setValue(static_cast<int>(std::clamp(nbt, -1e6, 1e6)));
    }

    // setChecked runs the clock slot only when the state really changes.
    if (stopOnSilence) {
        ui->midiClockEnable->setChecked(!(static_cast<double>(silenceCount) > silenceRelease));
    } else if (previousStopOnSilence) {
        ui->midiClockEnable->setChecked(true);
    }
    previousStopOnSilence = stopOnSilence;
}

void MainWindow::fallbackAudioDevice(const QString& storedName, bool clockOn) {
    fallbackNote.clear();
    AudioInput* audio = facade->audio;
    const QList<QString>& names = *audio->getAudioDevList();
    const int fallback = audio->getAudioDevIndex();
    if (names.isEmpty() || fallback < 0 || fallback >= names.size()) {
        audio->selectAudioDev(0);  // reports that there is no input at all
        return;
    }
    const QString reason =
        tr("The audio input \"%1\" is not available; using the default input \"%2\".")
            .arg(storedName, names[fallback]);
    qWarning().noquote() << "Audio:" << reason;
    if (audio->selectAudioDev(fallback) != 0) return;  // the failure is in the status
    fallbackNote = reason;
    setStatusText(clockOn ? onlineText() : QString());
}

void MainWindow::showAudioError(const QString& message) {
    fallbackNote.clear();
    ui->statusLabel->setText(tr("no audio"));
    ui->statusLabel->setToolTip(message);
}

QString MainWindow::onlineText() const {
    return steadyBeat ? QStringLiteral("online") : tr("no steady beat");
}

void MainWindow::showSteadyBeat(bool steady) {
    if (steady == steadyBeat) return;
    // Only the clock's own status changes; an audio failure stays shown.
    const bool showingClock = ui->statusLabel->text().startsWith(onlineText());
    steadyBeat = steady;
    if (showingClock) setStatusText(onlineText());
}

void MainWindow::setStatusText(const QString& text) {
    if (fallbackNote.isEmpty()) {
        ui->statusLabel->setText(text);
        ui->statusLabel->setToolTip(QString());
        return;
    }
    // The input in use is not the one chosen: the status keeps saying so.
    ui->statusLabel->setText(text.isEmpty() ? tr("default input")
                                            : text + tr(" (default input)"));
    ui->statusLabel->setToolTip(fallbackNote);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    writeSettings();
    closing = true;
    event->accept();
}
