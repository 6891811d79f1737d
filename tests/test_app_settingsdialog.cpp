// The I/O settings dialog and its channel list against the recorded engine
// and PortAudio stand-ins (app_fakes.h).
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <QTreeWidget>
#include <memory>

#include "advancedsettings.h"
#include "app_fakes.h"
#include "app_test_support.h"
#include "audiointerface.h"
#include "audiosystem.h"
#include "qtempomind.h"
#include "settingsdialog.h"

namespace {

// A started facade with the first audio device open, as after the window's start-up.
std::unique_ptr<QTempomind> startFacade() {
    auto facade = std::make_unique<QTempomind>();
    if (!facade->init()) qFatal("the facade did not start");
    facade->audio->selectAudioDev(0);
    facade->startProcessing();
    fakes::engine().calls.clear();
    fakes::portaudio().openedDevices.clear();
    return facade;
}

template <typename T>
T* child(QWidget* parent, const char* name) {
    T* found = parent->findChild<T*>(QString::fromLatin1(name));
    if (!found) qFatal("no child %s", name);
    return found;
}

QStringList itemsOf(QComboBox* box) {
    QStringList items;
    for (int i = 0; i < box->count(); ++i) items << box->itemText(i);
    return items;
}

}  // namespace

class SettingsDialogTest : public QObject {
    Q_OBJECT

  private slots:
    void init() { fakes::reset(); }

    void openingChangesNothing() {
        auto facade = startFacade();
        SettingsDialog dialog(facade.get());
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));

        QCOMPARE(dialog.windowTitle(), QString("Pulsora I/O Settings"));
        // The form's 270 pixels, the network outputs' rows and the audio
        // system's below it.
        QCOMPARE(dialog.size(), QSize(360, 400));
        QCOMPARE(dialog.minimumSize(), dialog.maximumSize());
        auto* frame = child<QWidget>(&dialog, "windowFrame");
        auto* buttonArea = child<QWidget>(&dialog, "buttonBox");
        QVERIFY(frame->geometry().bottom() < dialog.height());
        QVERIFY(buttonArea->geometry().bottom() < frame->height());
        QVERIFY(child<QWidget>(&dialog, "oscStatus")->geometry().bottom() <
                child<QWidget>(&dialog, "audioSystemSelect")->y());
        QVERIFY(child<QWidget>(&dialog, "audioSystemSelect")->geometry().bottom() < buttonArea->y());

        auto* audio = child<QComboBox>(&dialog, "audioDevSelect");
        auto* midi = child<QComboBox>(&dialog, "midiDevSelect");
        QCOMPARE(itemsOf(audio), QStringList({"Studio In", "Octa"}));
        QCOMPARE(audio->currentIndex(), 0);
        QCOMPARE(itemsOf(midi), QStringList({"Port A", "Port B", "create a port"}));
        QCOMPARE(midi->currentIndex(), 0);
        QCOMPARE(child<QLineEdit>(&dialog, "latencyEdit")->text(), QString("0 ms"));
        QCOMPARE(child<QSlider>(&dialog, "latencySlider")->value(), 0);

        // Nothing was switched or set.
        QVERIFY(fakes::portaudio().openedDevices.empty());
        for (const fakes::Call& call : fakes::engine().calls)
            QVERIFY2(call.name != "set_mididev" && call.name != "set_anti_delay" &&
                         call.name != "stop" && call.name != "run",
                     call.name.c_str());

        // Its buttons: Channels and one Cancel button, which closes the dialog.
        QCOMPARE(child<QPushButton>(&dialog, "channelButton")->text(), QString("Channels"));
        auto* buttons = child<QDialogButtonBox>(&dialog, "buttonBox");
        QCOMPARE(buttons->standardButtons(), QDialogButtonBox::Cancel);
        QCOMPARE(buttons->font().pointSize(), 12);
        QTest::mouseClick(buttons->button(QDialogButtonBox::Cancel), Qt::LeftButton);
        QVERIFY(!dialog.isVisible());
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        QVERIFY(fakes::portaudio().openedDevices.empty());
    }

    void latencySliderSetsAntiDelay_data() {
        QTest::addColumn<int>("position");
        QTest::addColumn<double>("seconds");
        QTest::addColumn<QString>("text");
        QTest::newRow("10") << 10 << 0.05 << "50 ms";
        QTest::newRow("1") << 1 << 0.005 << "5 ms";
        QTest::newRow("100") << 100 << 0.5 << "500 ms";
    }
    void latencySliderSetsAntiDelay() {
        QFETCH(int, position);
        QFETCH(double, seconds);
        QFETCH(QString, text);
        auto facade = startFacade();
        SettingsDialog dialog(facade.get());
        child<QSlider>(&dialog, "latencySlider")->setValue(position);
        QCOMPARE(fakes::engine().last("set_anti_delay"), std::vector<double>{seconds});
        QCOMPARE(facade->GetAntiDelay(), seconds);
        QCOMPARE(child<QLineEdit>(&dialog, "latencyEdit")->text(), text);
    }

    void reopeningShowsTextButSliderAtZero() {
        auto facade = startFacade();
        {
            SettingsDialog dialog(facade.get());
            child<QSlider>(&dialog, "latencySlider")->setValue(10);
        }
        SettingsDialog again(facade.get());
        auto* slider = child<QSlider>(&again, "latencySlider");
        auto* edit = child<QLineEdit>(&again, "latencyEdit");
        QCOMPARE(edit->text(), QString("50 ms"));
        QCOMPARE(slider->value(), 0);
        QCOMPARE(facade->GetAntiDelay(), 0.05);
        // Touching the slider replaces the value.
        slider->setValue(2);
        QCOMPARE(facade->GetAntiDelay(), 0.01);
        QCOMPARE(edit->text(), QString("10 ms"));
    }

    void antiDelayTextUsesSixDigits() {
        auto facade = startFacade();
        fakes::engine().antiDelay = 0.0125;
        SettingsDialog dialog(facade.get());
        QCOMPARE(child<QLineEdit>(&dialog, "latencyEdit")->text(), QString("12.5 ms"));
        fakes::engine().antiDelay = 1.0 / 3.0;
        SettingsDialog other(facade.get());
        QCOMPARE(child<QLineEdit>(&other, "latencyEdit")->text(), QString("333.333 ms"));
    }

    void returnInLatencyEditAppliesNothing() {
        auto facade = startFacade();
        SettingsDialog dialog(facade.get());
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        auto* edit = child<QLineEdit>(&dialog, "latencyEdit");
        edit->setFocus();
        edit->selectAll();
        QTest::keyClicks(edit, "200");
        QTest::keyClick(edit, Qt::Key_Return);
        QCOMPARE(fakes::engine().count("set_anti_delay"), 0);
        QVERIFY(dialog.focusWidget() != edit);  // the focus moved on
        QVERIFY(dialog.isVisible());            // Return pressed no button
    }

    void choosingAnotherAudioDeviceRestarts() {
        auto facade = startFacade();
        facade->enableMidiClockOutput(1);
        fakes::engine().calls.clear();
        SettingsDialog dialog(facade.get());
        child<QComboBox>(&dialog, "audioDevSelect")->setCurrentIndex(1);

        const fakes::Engine& e = fakes::engine();
        QCOMPARE(fakes::portaudio().openedDevices, std::vector<int>{2});
        QCOMPARE(fakes::portaudio().openStreams, 1);  // the first stream was closed
        QCOMPARE(e.count("stop"), 1);
        QCOMPARE(e.count("run"), 1);
        QVERIFY(e.lastIndex("stop") < e.lastIndex("run"));
        QCOMPARE(e.last("enable_midiclock"), std::vector<double>{1});  // switches re-applied
        QCOMPARE(facade->audio->getAudioDevIndex(), 1);

        // The channel list shows the new device: eight channels, only the first checked.
        auto* list = dialog.findChild<AdvancedSettings*>()->findChild<QTreeWidget*>("channelList");
        QCOMPARE(list->topLevelItemCount(), 8);
        for (int i = 0; i < 8; ++i) {
            QCOMPARE(list->topLevelItem(i)->text(0), QString::number(i + 1));
            QCOMPARE(list->topLevelItem(i)->checkState(0), i == 0 ? Qt::Checked : Qt::Unchecked);
        }
        // The same device again changes nothing.
        fakes::portaudio().openedDevices.clear();
        dialog.applyChanges();
        QVERIFY(fakes::portaudio().openedDevices.empty());
    }

    void choosingATrackingModelRestartsTheEngineWithIt() {
        auto facade = startFacade();
        facade->audio->selectAudioDev(0);
        fakes::engine().calls.clear();
        SettingsDialog dialog(facade.get());
        auto* models = child<QComboBox>(&dialog, "trackingModelSelect");
        QCOMPARE(itemsOf(models), QStringList({"classic", "enhanced"}));
        QCOMPARE(models->currentIndex(), 0);
        QCOMPARE(fakes::engine().count("set_tracking_model"), 0);  // opening sets nothing

        models->setCurrentIndex(1);
        const fakes::Engine& e = fakes::engine();
        QCOMPARE(e.last("set_tracking_model"), std::vector<double>{1});
        QVERIFY(e.lastIndex("set_tracking_model") < e.lastIndex("run"));
        QVERIFY(e.lastIndex("stop") < e.lastIndex("run"));
        QCOMPARE(facade->trackingModel(), meterTracker::TrackingModel::Enhanced);
        QCOMPARE(facade->audio->getAudioDevIndex(), 0);  // the same input
        // A dialog opened later shows the model in use.
        SettingsDialog again(facade.get());
        QCOMPARE(child<QComboBox>(&again, "trackingModelSelect")->currentIndex(), 1);
    }

    void theAudioSystemIsKeptForTheNextStart() {
        apptest::clearSettings();
        auto facade = startFacade();
        SettingsDialog dialog(facade.get());
        auto* box = child<QComboBox>(&dialog, "audioSystemSelect");
        QCOMPARE(itemsOf(box), (QStringList{"automatic (JACK when it runs)", "JACK",
                                            "PortAudio and RtMidi"}));
        QCOMPARE(box->currentIndex(), 0);  // nothing stored: automatic
        box->setCurrentIndex(2);
        QCOMPARE(QSettings("Orvane", "Pulsora").value("Pulsora/AudioSystem").toString(),
                 QString("portaudio"));
        // Nothing restarts now: the running input stays.
        QVERIFY(fakes::engine().calls.empty());
        QVERIFY(fakes::portaudio().openedDevices.empty());

        SettingsDialog again(facade.get());
        auto* shown = child<QComboBox>(&again, "audioSystemSelect");
        QCOMPARE(shown->currentIndex(), 2);
        shown->setCurrentIndex(1);
        QCOMPARE(storedAudioSystem(), AudioSystem::Jack);
        // A value this version does not know counts as automatic.
        QSettings("Orvane", "Pulsora").setValue("Pulsora/AudioSystem", "alsa");
        QCOMPARE(storedAudioSystem(), AudioSystem::Automatic);
        apptest::clearSettings();
    }

    void linkAndOscApplyFromTheDialog() {
        auto facade = startFacade();
        SettingsDialog dialog(facade.get());
        QVERIFY(fakes::engine().calls.empty());
        child<QCheckBox>(&dialog, "linkEnable")->setChecked(true);
        QCOMPARE(fakes::engine().last("enable_link"), (std::vector<double>{1, 0}));
        QVERIFY(facade->linkEnabled());

        auto* target = child<QLineEdit>(&dialog, "oscTargetEdit");
        auto* prefix = child<QLineEdit>(&dialog, "oscPrefixEdit");
        auto* status = child<QLabel>(&dialog, "oscStatus");
        QCOMPARE(prefix->text(), QString("/kadenzo"));
        target->setText(" 192.168.1.50:8000 ");
        emit target->editingFinished();
        QCOMPARE(fakes::engine().oscTarget, std::string("192.168.1.50:8000"));
        QCOMPARE(facade->oscTarget(), QString("192.168.1.50:8000"));
        QCOMPARE(status->text(), QString("sending"));
        // Refused: the reason shows and the output goes on as it was.
        prefix->setText("show");
        emit prefix->editingFinished();
        QVERIFY(status->text().contains("not valid"));
        QCOMPARE(facade->oscPrefix(), QString("/kadenzo"));
        QCOMPARE(fakes::engine().oscTarget, std::string("192.168.1.50:8000"));
        // Unchanged text sends nothing again.
        prefix->setText("/kadenzo");
        const int calls = fakes::engine().count("set_osc");
        emit prefix->editingFinished();
        QCOMPARE(fakes::engine().count("set_osc"), calls);

        SettingsDialog again(facade.get());
        QVERIFY(child<QCheckBox>(&again, "linkEnable")->isChecked());
        QCOMPARE(child<QLineEdit>(&again, "oscTargetEdit")->text(), QString("192.168.1.50:8000"));
        child<QLineEdit>(&again, "oscTargetEdit")->clear();
        emit child<QLineEdit>(&again, "oscTargetEdit")->editingFinished();
        QCOMPARE(facade->oscTarget(), QString());
        QCOMPARE(child<QLabel>(&again, "oscStatus")->text(), QString());
    }

    void choosingAnotherMidiPort() {
        auto facade = startFacade();
        SettingsDialog dialog(facade.get());
        child<QComboBox>(&dialog, "midiDevSelect")->setCurrentIndex(1);
        QCOMPARE(fakes::engine().last("set_mididev"), std::vector<double>{1});
        QCOMPARE(fakes::engine().count("set_mididev"), 1);
        QCOMPARE(facade->getMidiDevIndex(), 1);
        QVERIFY(fakes::portaudio().openedDevices.empty());
    }

    // A rig without a MIDI receiver yet: the last entry makes a port others
    // connect to, which is then listed and shown as the open one.
    void creatingAPortOfItsOwn() {
        auto facade = startFacade();
        SettingsDialog dialog(facade.get());
        QComboBox* midi = child<QComboBox>(&dialog, "midiDevSelect");
        midi->setCurrentIndex(midi->count() - 1);
        QCOMPARE(fakes::engine().count("open_own_mididev"), 1);
        QCOMPARE(fakes::engine().ownPort, std::string("Pulsora"));
        QCOMPARE(fakes::engine().count("set_mididev"), 0);
        QCOMPARE(itemsOf(midi),
                 QStringList({"Port A", "Port B", "kadenzo:Pulsora", "create a port"}));
        QCOMPARE(midi->currentIndex(), 2);
        QCOMPARE(facade->ownMidiPort(), QString("Pulsora"));
        // Another audio input restarts the engine: the port is made again.
        child<QComboBox>(&dialog, "audioDevSelect")->setCurrentIndex(1);
        QCOMPARE(fakes::engine().count("open_own_mididev"), 2);
        QCOMPARE(facade->ownMidiPort(), QString("Pulsora"));
        // Choosing another port afterwards leaves the port of its own.
        midi->setCurrentIndex(0);
        QCOMPARE(fakes::engine().last("set_mididev"), std::vector<double>{0});
        QVERIFY(facade->ownMidiPort().isEmpty());
    }

    void channelListTogglesChannels() {
        auto facade = startFacade();
        SettingsDialog dialog(facade.get());
        dialog.show();
        QTest::mouseClick(child<QPushButton>(&dialog, "channelButton"), Qt::LeftButton);
        auto* channels = dialog.findChild<AdvancedSettings*>();
        QVERIFY(channels->isVisible());
        QVERIFY(!channels->isModal());
        QCOMPARE(channels->windowTitle(), QString("Dialog"));
        QCOMPARE(channels->size(), QSize(240, 305));

        auto* list = channels->findChild<QTreeWidget*>("channelList");
        QCOMPARE(list->headerItem()->text(0), QString("Channels"));
        QCOMPARE(list->topLevelItemCount(), 2);
        list->topLevelItem(1)->setCheckState(0, Qt::Checked);
        QCOMPARE(facade->audio->getCurrentChannels(), (std::vector<unsigned char>{1, 1}));
        list->topLevelItem(0)->setCheckState(0, Qt::Unchecked);
        list->topLevelItem(1)->setCheckState(0, Qt::Unchecked);
        QCOMPARE(facade->audio->getCurrentChannels(), (std::vector<unsigned char>{0, 0}));

        // Refilling shows the selection as it is.
        channels->SetSelectedAudioDevice(0);
        QCOMPARE(list->topLevelItem(0)->checkState(0), Qt::Unchecked);
        QCOMPARE(facade->audio->getCurrentChannels(), (std::vector<unsigned char>{0, 0}));
        // OK closes it.
        QTest::mouseClick(channels->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok),
                          Qt::LeftButton);
        QVERIFY(!channels->isVisible());
    }

    void refreshDevicesSwitchesNothing() {
        auto facade = startFacade();
        SettingsDialog dialog(facade.get());
        fakes::engine().midiPorts = {"Port C", "Port A", "Port B"};
        dialog.RefreshDevices();
        QCOMPARE(itemsOf(child<QComboBox>(&dialog, "midiDevSelect")),
                 QStringList({"Port C", "Port A", "Port B", "create a port"}));
        QCOMPARE(fakes::engine().count("set_mididev"), 0);
        QVERIFY(fakes::portaudio().openedDevices.empty());
    }
};

KADENZO_APP_TEST_MAIN(SettingsDialogTest)
#include "test_app_settingsdialog.moc"
