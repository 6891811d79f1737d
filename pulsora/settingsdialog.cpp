#include "settingsdialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStandardItemModel>

#include "advancedsettings.h"
#include "audiosystem.h"
#include "audioinput.h"
#include "qtempomind.h"
#include "ui_settingsdialog.h"

namespace {
// The name of the MIDI port the window makes of its own.
const char* const kOwnMidiPortName = "Pulsora";
}  // namespace

SettingsDialog::SettingsDialog(QTempomind* facade, QWidget* parent)
    : QDialog(parent), ui(std::make_unique<Ui::SettingsDialog>()), facade(facade) {
    ui->setupUi(this);
    initialising = true;
    itemModel = new QStandardItemModel(this);

    fillDeviceLists();

    connect(ui->buttonBox, &QDialogButtonBox::accepted, this, &SettingsDialog::applyChanges);
    connect(ui->buttonBox, &QDialogButtonBox::rejected, this, &QDialog::reject);
    // Return in the latency edit only leaves the edit; it must not press a button.
    for (QAbstractButton* button : ui->buttonBox->buttons())
        if (auto* push = qobject_cast<QPushButton*>(button)) push->setAutoDefault(false);
    ui->channelButton->setAutoDefault(false);

    ui->trackingModelSelect->addItem(QStringLiteral("classic"));
    ui->trackingModelSelect->addItem(QStringLiteral("enhanced"));
    if (facade)
        ui->trackingModelSelect->setCurrentIndex(
            facade->trackingModel() == meterTracker::TrackingModel::Enhanced ? 1 : 0);

    addNetworkOutputs();
    addAudioSystemChoice();

    channelDialog = new AdvancedSettings(facade, this);
    channelDialog->hide();
    channelDialog->SetSelectedAudioDevice(selectedAudioIndex);
    initialising = false;

    // The slider is not moved to match: it starts at 0.
    const double antiDelayMs = facade ? facade->GetAntiDelay() * 1000.0 : 0.0;
    ui->latencyEdit->setText(QString::number(antiDelayMs, 'g', 6) + QStringLiteral(" ms"));
}

SettingsDialog::~SettingsDialog() = default;

void SettingsDialog::growBy(int extra) {
    setMinimumHeight(minimumHeight() + extra);
    setMaximumHeight(maximumHeight() + extra);
    resize(width(), height() + extra);
    ui->windowFrame->resize(ui->windowFrame->width(), ui->windowFrame->height() + extra);
    ui->buttonBox->move(ui->buttonBox->x(), ui->buttonBox->y() + extra);
}

void SettingsDialog::addNetworkOutputs() {
    // Below the tracking model, above the buttons, which move down.
    growBy(96);
    const int top = ui->trackingModelSelect->geometry().bottom() + 10;

    linkEnable = new QCheckBox(tr("Ableton Link"), ui->windowFrame);
    linkEnable->setObjectName(QStringLiteral("linkEnable"));
    linkEnable->setToolTip(tr("Drive a Link session's tempo and beat phase from the music, "
                              "beside the MIDI clock"));
    linkEnable->setGeometry(14, top, 318, 22);
    linkEnable->setChecked(facade && facade->linkEnabled());
    connect(linkEnable, &QCheckBox::toggled, this, [this](bool on) {
        if (!initialising && facade) facade->setLinkEnabled(on);
    });

    auto* oscLabel = new QLabel(tr("OSC to"), ui->windowFrame);
    oscLabel->setGeometry(14, top + 30, 50, 24);
    oscTargetEdit = new QLineEdit(ui->windowFrame);
    oscTargetEdit->setObjectName(QStringLiteral("oscTargetEdit"));
    oscTargetEdit->setPlaceholderText(tr("HOST:PORT (empty: off)"));
    oscTargetEdit->setGeometry(66, top + 28, 150, 26);
    oscPrefixEdit = new QLineEdit(ui->windowFrame);
    oscPrefixEdit->setObjectName(QStringLiteral("oscPrefixEdit"));
    oscPrefixEdit->setToolTip(tr("Address prefix of the OSC messages"));
    oscPrefixEdit->setGeometry(222, top + 28, 110, 26);
    if (facade) {
        oscTargetEdit->setText(facade->oscTarget());
        oscPrefixEdit->setText(facade->oscPrefix());
    }
    oscStatus = new QLabel(ui->windowFrame);
    oscStatus->setObjectName(QStringLiteral("oscStatus"));
    oscStatus->setGeometry(14, top + 58, 318, 20);
    for (QLineEdit* edit : {oscTargetEdit, oscPrefixEdit})
        connect(edit, &QLineEdit::editingFinished, this, &SettingsDialog::applyOsc);
}

void SettingsDialog::addAudioSystemChoice() {
    growBy(34);
    const int top = oscStatus->geometry().bottom() + 6;

    auto* label = new QLabel(tr("Audio system"), ui->windowFrame);
    label->setGeometry(14, top + 2, 100, 24);
    audioSystemSelect = new QComboBox(ui->windowFrame);
    audioSystemSelect->setObjectName(QStringLiteral("audioSystemSelect"));
    audioSystemSelect->setToolTip(tr("Taken at the next start. On JACK, Kadenzo's own client "
                                     "sends every clock message at its exact frame."));
    audioSystemSelect->setGeometry(118, top, 214, 26);
    // In the order of AudioSystem.
    audioSystemSelect->addItem(tr("automatic (JACK when it runs)"));
    audioSystemSelect->addItem(tr("JACK"));
    audioSystemSelect->addItem(tr("PortAudio and RtMidi"));
    audioSystemSelect->setCurrentIndex(static_cast<int>(storedAudioSystem()));
    connect(audioSystemSelect, qOverload<int>(&QComboBox::currentIndexChanged), this,
            [this](int index) {
                if (!initialising && index >= 0) storeAudioSystem(static_cast<AudioSystem>(index));
            });
}

void SettingsDialog::applyOsc() {
    if (initialising || !facade) return;
    if (oscTargetEdit->text().trimmed() == facade->oscTarget() &&
        oscPrefixEdit->text().trimmed() == facade->oscPrefix())
        return;
    QString error;
    if (facade->setOsc(oscTargetEdit->text(), oscPrefixEdit->text(), &error)) {
        oscStatus->setText(facade->oscTarget().isEmpty() ? QString() : tr("sending"));
    } else {
        oscStatus->setText(error);
    }
}

void SettingsDialog::fillDeviceLists() {
    ui->audioDevSelect->clear();
    ui->midiDevSelect->clear();
    if (!facade) return;

    if (AudioInput* audio = facade->audio) {
        for (const QString& name : *audio->getAudioDevList()) ui->audioDevSelect->addItem(name);
        ui->audioDevSelect->setCurrentIndex(audio->getAudioDevIndex());
        selectedAudioIndex = audio->getAudioDevIndex();
    }

    std::unique_ptr<QList<QString>> midiPorts(facade->getMidiDevList());
    if (midiPorts)
        for (const QString& name : *midiPorts) ui->midiDevSelect->addItem(name);
    // Last, the entry that makes a port others connect to (a rig with no
    // MIDI receiver of its own yet).
    createPortIndex = ui->midiDevSelect->count();
    ui->midiDevSelect->addItem(tr("create a port"));
    selectedMidiIndex = facade->getMidiDevIndex();
    ui->midiDevSelect->setCurrentIndex(selectedMidiIndex);
}

void SettingsDialog::RefreshDevices() {
    const bool wasInitialising = initialising;
    initialising = true;
    fillDeviceLists();
    initialising = wasInitialising;
}

void SettingsDialog::on_audioDevSelect_currentIndexChanged(int index) {
    if (initialising) return;
    selectedAudioIndex = index;
    applyChanges();
    channelDialog->SetSelectedAudioDevice(index);
}

void SettingsDialog::on_midiDevSelect_currentIndexChanged(int index) {
    if (initialising) return;
    if (index == createPortIndex) {
        if (facade) facade->openOwnMidiPort(QString::fromLatin1(kOwnMidiPortName));
        RefreshDevices();  // the new port is listed and shown as the open one
        return;
    }
    selectedMidiIndex = index;
    applyChanges();
}

void SettingsDialog::applyChanges() {
    if (!facade) return;
    AudioInput* audio = facade->audio;
    if (audio && selectedAudioIndex != audio->getAudioDevIndex()) {
        facade->stopProcessing();
        audio->selectAudioDev(selectedAudioIndex);  // restarts stream and engine
        facade->startProcessing();
    }
    if (selectedMidiIndex != facade->getMidiDevIndex()) facade->selectMidiDev(selectedMidiIndex);
}

void SettingsDialog::on_trackingModelSelect_currentIndexChanged(int index) {
    if (initialising || !facade) return;
    const meterTracker::TrackingModel model =
        index == 1 ? meterTracker::TrackingModel::Enhanced : meterTracker::TrackingModel::Classic;
    if (model == facade->trackingModel()) return;
    facade->setTrackingModel(model);
    // The engine takes its model when it starts: choosing the input again
    // restarts it (stream stopped first, switches kept).
    if (AudioInput* audio = facade->audio) {
        facade->stopProcessing();
        audio->selectAudioDev(audio->getAudioDevIndex());
        facade->startProcessing();
    }
}

void SettingsDialog::on_latencySlider_valueChanged(int value) {
    // 0 ... 0.5 s in 5 ms steps.
    ui->latencyEdit->setText(QString::number(value * 5) + QStringLiteral(" ms"));
    if (facade) facade->SetAntiDelay(value * 5 / 1000.0);
}

void SettingsDialog::on_channelButton_clicked() {
    channelDialog->show();
}

// Typed text is not applied; Return only moves the focus on.
void SettingsDialog::on_latencyEdit_returnPressed() {
    focusNextChild();
}

void SettingsDialog::changeEvent(QEvent* event) {
    if (event->type() == QEvent::LanguageChange) ui->retranslateUi(this);
    QDialog::changeEvent(event);
}
