// The main window against the recorded engine and PortAudio stand-ins
// (app_fakes.h): start-up from the settings store, the half-life slider, the
// tempo button, the MIDI clock switch, stop on silence, and the saved keys.
#include <QAction>
#include <QCheckBox>
#include <QDial>
#include <QIcon>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QSignalSpy>
#include <QSlider>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <memory>

#include "app_fakes.h"
#include "app_test_support.h"
#include "audiointerface.h"
#include "mainwindow.h"
#include "meter.h"
#include "nomusicdialog.h"
#include "qtempomind.h"

Q_DECLARE_METATYPE(std::vector<unsigned char>)
Q_DECLARE_METATYPE(std::vector<double>)

namespace {

// A started facade and the window that owns it.
struct Running {
    QTempomind* facade = nullptr;
    std::unique_ptr<MainWindow> window;

    template <typename T>
    T* child(const char* name) const {
        T* found = window->findChild<T*>(QString::fromLatin1(name));
        if (!found) qFatal("no child %s", name);
        return found;
    }
    QCheckBox* clock() const { return child<QCheckBox>("midiClockEnable"); }
    QLabel* status() const { return child<QLabel>("statusLabel"); }
    QSlider* slider() const { return child<QSlider>("robustSlider"); }
    QLabel* halfLife() const { return child<QLabel>("halflifeLabel"); }
    QPushButton* tempo() const { return child<QPushButton>("tempoButton"); }
    AudioInput* audio() const { return facade->audio; }
};

Running start() {
    Running r;
    r.facade = new QTempomind;
    if (!r.facade->init()) qFatal("the facade did not start");
    r.window = std::make_unique<MainWindow>(r.facade);
    r.window->show();
    if (!QTest::qWaitForWindowExposed(r.window.get())) qFatal("the window did not show");
    return r;
}

QImage imageOf(const QIcon& icon) {
    return icon.pixmap(QSize(130, 120))
        .toImage()
        .convertToFormat(QImage::Format_ARGB32_Premultiplied);
}
QImage resourceImage(const char* name) {
    return QImage(QStringLiteral(":/resources/") + QLatin1String(name))
        .convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

void store(const char* key, const QVariant& value) {
    QSettings settings("Orvane", "Pulsora");
    settings.setValue(key, value);
}

std::vector<unsigned char> flags(std::initializer_list<int> values) {
    std::vector<unsigned char> out;
    for (int v : values) out.push_back(static_cast<unsigned char>(v));
    return out;
}

}  // namespace

class MainWindowTest : public QObject {
    Q_OBJECT

  private slots:
    void init() {
        apptest::clearSettings();
        fakes::reset();
    }

    // The performer's controls: each button and each shortcut calls the
    // engine once with the engine-clock time of the press.
    void performerControls_data() {
        QTest::addColumn<QString>("button");
        QTest::addColumn<int>("key");
        QTest::addColumn<QString>("call");
        QTest::addColumn<std::vector<double>>("args");
        const double t = 12.5;
        QTest::newRow("tap") << "tapButton" << int(Qt::Key_Space) << "tap"
                             << std::vector<double>{t};
        QTest::newRow("bar 1") << "barOneButton" << int(Qt::Key_B) << "bar_one"
                               << std::vector<double>{t};
        QTest::newRow("earlier") << "nudgeEarlierButton" << int(Qt::Key_Left) << "nudge"
                                 << std::vector<double>{-0.01, t};
        QTest::newRow("later") << "nudgeLaterButton" << int(Qt::Key_Right) << "nudge"
                               << std::vector<double>{0.01, t};
        QTest::newRow("x2") << "doubleButton" << int(Qt::Key_Asterisk) << "tempo_factor"
                            << std::vector<double>{2, 1, t};
        QTest::newRow("/2") << "halfButton" << int(Qt::Key_Slash) << "tempo_factor"
                            << std::vector<double>{1, 2, t};
        QTest::newRow("x3/2") << "threeHalvesButton" << int(Qt::Key_Greater) << "tempo_factor"
                              << std::vector<double>{3, 2, t};
        QTest::newRow("x2/3") << "twoThirdsButton" << int(Qt::Key_Less) << "tempo_factor"
                              << std::vector<double>{2, 3, t};
        QTest::newRow("reset") << "resetCorrectionsButton" << int(Qt::Key_R) << "reset_corrections"
                               << std::vector<double>{t};
    }

    void performerControls() {
        QFETCH(QString, button);
        QFETCH(int, key);
        QFETCH(QString, call);
        QFETCH(std::vector<double>, args);
        Running r = start();
        fakes::engine().engineTime = 12.5;
        const std::string name = call.toStdString();
        QToolButton* b = r.child<QToolButton>(button.toLatin1().constData());
        QCOMPARE(b->focusPolicy(), Qt::NoFocus);  // Space never clicks a button
        // A tap counts at the press, before the button comes up.
        if (name == "tap") {
            QTest::mousePress(b, Qt::LeftButton);
            QCOMPARE(fakes::engine().count(name), 1);
            QTest::mouseRelease(b, Qt::LeftButton);
        } else {
            QTest::mouseClick(b, Qt::LeftButton);
        }
        QCOMPARE(fakes::engine().count(name), 1);
        QCOMPARE(fakes::engine().last(name), args);
        QTest::keyClick(r.window.get(), static_cast<Qt::Key>(key));
        QCOMPARE(fakes::engine().count(name), 2);
        QCOMPARE(fakes::engine().last(name), args);
    }

    void holdAndTheCorrectionsText() {
        Running r = start();
        fakes::engine().engineTime = 3.25;
        QLabel* text = r.child<QLabel>("correctionsLabel");
        QCOMPARE(text->text(), QString("following the music"));
        QToolButton* hold = r.child<QToolButton>("holdButton");
        QVERIFY(hold->isCheckable());
        fakes::engine().corrections = "tap, hold";
        QTest::keyClick(r.window.get(), Qt::Key_H);
        QVERIFY(hold->isChecked());
        QCOMPARE(fakes::engine().last("hold"), (std::vector<double>{1, 3.25}));
        QCOMPARE(text->text(), QString("tap, hold"));
        QTest::mouseClick(hold, Qt::LeftButton);
        QCOMPARE(fakes::engine().last("hold"), (std::vector<double>{0, 3.25}));
        // Reset lets the hold button up without a second call to the engine.
        hold->setChecked(true);
        const int holds = fakes::engine().count("hold");
        fakes::engine().corrections = "";
        QTest::keyClick(r.window.get(), Qt::Key_R);
        QVERIFY(!hold->isChecked());
        QCOMPARE(fakes::engine().count("hold"), holds);
        QCOMPARE(text->text(), QString("following the music"));
        // The text follows the engine by itself too.
        fakes::engine().corrections = "tap (own tempo)";
        QTRY_COMPARE(text->text(), QString("tap (own tempo)"));
    }

    // A key held down sends auto-repeated presses: they must not tap, double
    // or toggle hold again, while a held arrow keeps nudging.
    void aHeldKeyIsOnePressExceptForTheNudge() {
        Running r = start();
        struct Held {
            Qt::Key key;
            const char* call;
            int presses;  // engine calls from one press and two repeats
        };
        const Held held[] = {{Qt::Key_Space, "tap", 1},
                             {Qt::Key_Asterisk, "tempo_factor", 1},
                             {Qt::Key_H, "hold", 1},
                             {Qt::Key_Right, "nudge", 3}};
        for (const Held& h : held) {
            for (const bool repeat : {false, true, true})
                qt_sendShortcutOverrideEvent(r.window->windowHandle(), 0, h.key, Qt::NoModifier,
                                             QString(), repeat);
            QCOMPARE(fakes::engine().count(h.call), h.presses);
        }
    }

    void startOnBarIsAnOptionThatIsKept() {
        {
            Running r = start();
            QCheckBox* box = r.child<QCheckBox>("startOnBarCheck");
            QVERIFY(!box->isChecked());
            QCOMPARE(fakes::engine().count("set_start_on_bar"), 0);  // off by default
            box->click();
            QCOMPARE(fakes::engine().last("set_start_on_bar"), std::vector<double>{1});
            QVERIFY(r.window->close());
        }
        fakes::reset();
        Running again = start();
        QVERIFY(again.child<QCheckBox>("startOnBarCheck")->isChecked());
        QCOMPARE(fakes::engine().last("set_start_on_bar"), std::vector<double>{1});
    }

    void formAndMenus() {
        Running r = start();
        MainWindow& w = *r.window;
        QCOMPARE(w.windowTitle(), QString("Kadenzo"));
        QCOMPARE(w.size(), QSize(190, 345));  // with the performer's controls
        QCOMPARE(w.minimumSize(), QSize(190, 183));

        struct Text {
            const char* object;
            const char* text;
            int pointSize;
        };
        const Text texts[] = {
            {"midiClockEnable", "MIDI clock", 10},     {"midiClockResetButton", "resync", 9},
            {"nonMusicCheck", " Stop on silence", 10}, {"silenceSettingsButton", "...", 9},
            {"audioLevelLabel", "Audio level", 8},
        };
        for (const Text& t : texts) {
            QWidget* widget = r.child<QWidget>(t.object);
            QCOMPARE(widget->property("text").toString(), QString(t.text));
            QCOMPARE(widget->font().pointSize(), t.pointSize);
        }
        QCOMPARE(r.child<QLabel>("audioLevelLabel")->font().family(), QString("Verdana"));
        QVERIFY(r.child<QWidget>("controlBox")->isAncestorOf(r.clock()));

        auto* level = r.child<Meter>("audioLevelBar");
        QCOMPARE(level->minimum(), -50);
        QCOMPARE(level->maximum(), 0);
        QCOMPARE(level->value(), -50);
        QVERIFY(!level->isTextVisible());

        QVERIFY(r.tempo()->text().isEmpty());
        QCOMPARE(r.tempo()->iconSize(), QSize(130, 120));
        QCOMPARE(imageOf(r.tempo()->icon()), resourceImage("pulsora_tempotron.png"));
        QCOMPARE(r.slider()->minimum(), 30);
        QCOMPARE(r.slider()->maximum(), 120);
        QCOMPARE(r.slider()->singleStep(), 30);

        // Two menus, both titled "&File".
        const QList<QAction*> menus = w.menuBar()->actions();
        QCOMPARE(menus.size(), 2);
        QCOMPARE(menus[0]->text(), QString("&File"));
        QCOMPARE(menus[1]->text(), QString("&File"));
        const QList<QAction*> first = menus[0]->menu()->actions();
        QCOMPARE(first.size(), 3);
        QCOMPARE(first[0]->text(), QString("&Settings"));
        QCOMPARE(first[0]->statusTip(), QString("Control I/O devices"));
        QVERIFY(first[1]->isSeparator());
        QCOMPARE(first[2]->text(), QString("&Quit"));
        QVERIFY(first[2]->statusTip().contains("Kadenzo"));
        const QList<QAction*> second = menus[1]->menu()->actions();
        QCOMPARE(second.size(), 1);
        QCOMPARE(second[0]->text(), QString("&About"));
    }

    void firstStartWithEmptyStore() {
        Running r = start();
        const fakes::Engine& e = fakes::engine();
        const fakes::PortAudio& pa = fakes::portaudio();

        // Audio device 0 of the list ("Studio In", PortAudio number 1), all its channels
        // opened, channel 0 alone selected; the sequencer started once.
        QCOMPARE(pa.openedDevices, std::vector<int>{1});
        QCOMPARE(pa.openedChannels, std::vector<int>{2});
        QCOMPARE(r.audio()->getAudioDevIndex(), 0);
        QCOMPARE(r.audio()->getCurrentChannels(), flags({1, 0}));
        QCOMPARE(e.count("start_sequencer"), 1);

        // MIDI port 0 stays, no switch.
        QCOMPARE(e.count("set_mididev"), 0);
        QCOMPARE(r.facade->getMidiDevIndex(), 0);

        // Clock off and unchecked, no status text.
        QVERIFY(!r.clock()->isChecked());
        QVERIFY(!r.facade->getMidiClockEnabled());
        QCOMPARE(e.last("enable_midiclock"), std::vector<double>{0});
        QCOMPARE(r.status()->text(), QString());

        // Phase output on, while the field written back at close stays false.
        QCOMPARE(e.last("enable_midiphase"), std::vector<double>{1});
        QCOMPARE(r.facade->getSendPhase(), 1);
        QVERIFY(!r.window->getSendPhase());

        // The engine runs at the half-life the slider shows (the form's 5.0 s),
        // the last engine call of the start-up.
        QCOMPARE(e.last("change_half_time"), std::vector<double>{5.0});
        QCOMPARE(e.count("change_half_time"), 1);
        QCOMPARE(e.lastIndex("change_half_time"), static_cast<int>(e.calls.size()) - 1);
        QCOMPARE(r.halfLife()->text(), QString("Halflife: 5.0s"));
        QCOMPARE(r.slider()->value(), 50);

        // Phase output before the clock switch, both before the audio device.
        QVERIFY(e.lastIndex("enable_midiphase") > e.lastIndex("start_sequencer"));
        QVERIFY(e.calls[1].name == "disable_beat_printout");
        QCOMPARE(e.calls[2].name, std::string("enable_midiphase"));
        QCOMPARE(e.calls[3].name, std::string("enable_midiclock"));

        // The tempo priors are the tracker's defaults: nothing sent.
        QCOMPARE(e.count("change_myyValues"), 0);

        // Silence state as initialised.
        QCOMPARE(r.window->getSilenceThreshold(), -35.0);
        QCOMPARE(r.window->getSilenceRelease(), 0.0);
        QVERIFY(!r.window->getStopOnSilence());

        // The window sits in the corner of the available area.
        const QRect area = r.window->screen()->availableGeometry();
        QCOMPARE(r.window->pos(), area.topLeft() + QPoint(20, 15));
    }

    void halfLifeSlider_data() {
        QTest::addColumn<int>("value");
        QTest::addColumn<QString>("label");
        QTest::addColumn<double>("seconds");
        QTest::newRow("maximum") << 120 << "Halflife: 12s" << 12.0;
        QTest::newRow("minimum") << 30 << "Halflife: 3s" << 3.0;
        QTest::newRow("between steps") << 45 << "Halflife: 4.5s" << 4.5;
        QTest::newRow("above range") << 500 << "Halflife: 12s" << 12.0;
    }
    void halfLifeSlider() {
        QFETCH(int, value);
        QFETCH(QString, label);
        QFETCH(double, seconds);
        Running r = start();
        r.slider()->setValue(value);
        QCOMPARE(r.halfLife()->text(), label);
        QCOMPARE(fakes::engine().last("change_half_time"), std::vector<double>{seconds});
    }

    void halfLifeSliderDraggedAndKeys() {
        Running r = start();
        // A drag reports every position.
        r.slider()->setSliderDown(true);
        r.slider()->setSliderPosition(70);
        QCOMPARE(r.halfLife()->text(), QString("Halflife: 7s"));
        QCOMPARE(fakes::engine().last("change_half_time"), std::vector<double>{7.0});
        r.slider()->setSliderDown(false);
        // The arrow keys move by 3 s.
        r.slider()->setFocus();
        QTest::keyClick(r.slider(), Qt::Key_Right);
        QCOMPARE(r.slider()->value(), 100);
        QCOMPARE(r.halfLife()->text(), QString("Halflife: 10s"));
        QCOMPARE(fakes::engine().last("change_half_time"), std::vector<double>{10.0});
    }

    void tempoButtonCycles() {
        Running r = start();
        struct Mode {
            const char* image;
            std::vector<double> priors;
        };
        const Mode mode1{"pulsora_tempotron.png", {2.1, 0.55, 0.18}};
        const Mode mode2{"pulsora_tempotron2.png", {1.5, 0.42857142857142855, 0.12244897959183673}};
        const Mode mode3{"pulsora_tempotron3.png", {2.6246719160104988, 0.75, 0.21428571428571427}};
        // The three pictures differ, so that comparing them means something.
        QVERIFY(resourceImage(mode1.image) != resourceImage(mode2.image));
        QVERIFY(resourceImage(mode2.image) != resourceImage(mode3.image));
        QVERIFY(resourceImage(mode1.image) != resourceImage(mode3.image));

        const Mode* expected[] = {&mode2, &mode3, &mode1, &mode2};
        int press = 0;
        for (const Mode* mode : expected) {
            QTest::mousePress(r.tempo(), Qt::LeftButton);
            QTest::mouseRelease(r.tempo(), Qt::LeftButton);
            ++press;
            QCOMPARE(fakes::engine().count("change_myyValues"), press);
            QCOMPARE(fakes::engine().last("change_myyValues"), mode->priors);
            QCOMPARE(imageOf(r.tempo()->icon()), resourceImage(mode->image));
        }
    }

    void clockSwitchAndResync() {
        Running r = start();
        fakes::Engine& e = fakes::engine();
        r.clock()->click();
        QVERIFY(r.clock()->isChecked());
        QCOMPARE(r.status()->text(), QString("online"));
        QVERIFY(r.facade->getMidiClockEnabled());
        QCOMPARE(e.last("enable_midiclock"), std::vector<double>{Qt::Checked});

        // Resync: Stop then Start, the box stays checked.
        e.calls.clear();
        QTest::mouseClick(r.child<QToolButton>("midiClockResetButton"), Qt::LeftButton);
        QCOMPARE(e.calls.size(), std::size_t(2));
        QCOMPARE(e.calls[0].args, std::vector<double>{0});
        QCOMPARE(e.calls[1].args, std::vector<double>{1});
        QVERIFY(r.clock()->isChecked());

        r.clock()->click();
        QCOMPARE(r.status()->text(), QString("silent"));
        QCOMPARE(e.last("enable_midiclock"), std::vector<double>{0});
        // Resync does nothing while the clock is off.
        e.calls.clear();
        QTest::mouseClick(r.child<QToolButton>("midiClockResetButton"), Qt::LeftButton);
        QCOMPARE(e.count("enable_midiclock"), 0);
    }

    void stopOnSilenceWithReleaseZero() {
        Running r = start();
        QTest::mouseClick(r.child<QCheckBox>("nonMusicCheck"), Qt::LeftButton);
        QVERIFY(r.window->getStopOnSilence());
        auto* rms = r.window->silenceDialog()->findChild<QProgressBar*>("rmsvalue");
        QVERIFY(rms);

        struct Step {
            double level;
            bool checked;
            const char* status;
            int count;
        };
        // Sent through the facade's signal, as its poll does.
        const Step steps[] = {
            {-20.0, true, "online", 0},   // music: the rule switches the clock on
            {-35.5, false, "silent", 1},  // first update below -35 stops it
            {-40.0, false, "silent", 2},
            {-35.0, true, "online", 0},  // at the threshold counts as music
            {-49.9, false, "silent", 1},
        };
        for (const Step& step : steps) {
            emit r.facade->nonBeatynessChange(step.level);
            QCOMPARE(r.clock()->isChecked(), step.checked);
            QCOMPARE(r.status()->text(), QString(step.status));
            QCOMPARE(r.window->getSilenceCount(), step.count);
            QCOMPARE(rms->value(), static_cast<int>(step.level));
            QCOMPARE(fakes::engine().last("enable_midiclock"),
                     std::vector<double>{step.checked ? double(Qt::Checked) : 0.0});
        }
        // A manual change is overridden by the next update.
        r.clock()->click();
        QVERIFY(r.clock()->isChecked());
        emit r.facade->nonBeatynessChange(-45.0);
        QVERIFY(!r.clock()->isChecked());
    }

    void theStatusSaysWhileTheClockWaitsForASteadyBeat() {
        Running r = start();
        if (!r.clock()->isChecked()) r.clock()->click();
        QCOMPARE(r.status()->text(), QString("online"));
        // From the engine, through the facade's poll.
        fakes::engine().steadyBeat = 0;
        r.facade->updateOutputs();
        QCOMPARE(r.status()->text(), QString("no steady beat"));
        fakes::engine().steadyBeat = 1;
        r.facade->updateOutputs();
        QCOMPARE(r.status()->text(), QString("online"));
        // Switched off and on while there is no steady beat.
        emit r.facade->steadyBeatChange(false);
        r.clock()->click();
        QCOMPARE(r.status()->text(), QString("silent"));
        r.clock()->click();
        QCOMPARE(r.status()->text(), QString("no steady beat"));
        // An audio failure stays shown.
        emit r.facade->audioError(QStringLiteral("the device is gone"));
        emit r.facade->steadyBeatChange(true);
        QCOMPARE(r.status()->text(), QString("no audio"));
    }

    void stopOnSilenceOffChecksClockAgain() {
        Running r = start();
        auto* stopCheck = r.child<QCheckBox>("nonMusicCheck");
        QTest::mouseClick(stopCheck, Qt::LeftButton);
        emit r.facade->nonBeatynessChange(-60.0);
        QVERIFY(!r.clock()->isChecked());

        QTest::mouseClick(stopCheck, Qt::LeftButton);
        QVERIFY(!r.window->getStopOnSilence());
        QVERIFY(r.clock()->isChecked());
        QCOMPARE(r.status()->text(), QString("online"));
        // Further silence leaves the clock alone.
        emit r.facade->nonBeatynessChange(-60.0);
        emit r.facade->nonBeatynessChange(-60.0);
        QVERIFY(r.clock()->isChecked());
        QCOMPARE(r.window->getSilenceCount(), 0);
    }

    void silenceDialogSetsWindowValues() {
        Running r = start();
        NomusicDialog* dialog = r.window->silenceDialog();
        QCOMPARE(dialog->parentWidget(), r.window.get());
        auto* dial = dialog->findChild<QDial*>("dial");
        auto* slider = dialog->findChild<QSlider*>("horizontalSlider");
        auto* decibels = dialog->findChild<QLabel*>("decibelLabel");
        // The dial shows 85 while the release in force is 0.
        QCOMPARE(dial->value(), 85);
        QCOMPARE(r.window->getSilenceRelease(), 0.0);

        slider->setValue(-50);
        QCOMPARE(r.window->getSilenceThreshold(), -50.0);
        QCOMPARE(decibels->text(), QString("-50 dB"));
        dial->setValue(2);
        QCOMPARE(r.window->getSilenceRelease(), 2.0);
        QCOMPARE(dial->toolTip(), QString("2"));

        // Release 2: the third update below the threshold stops the clock.
        slider->setValue(-35);
        QTest::mouseClick(r.child<QCheckBox>("nonMusicCheck"), Qt::LeftButton);
        const bool expected[] = {true, true, false, false};
        for (bool checked : expected) {
            emit r.facade->nonBeatynessChange(-40.0);
            QCOMPARE(r.clock()->isChecked(), checked);
        }
    }

    void silenceDialogOpensFromButton() {
        Running r = start();
        r.window->show();
        bool seen = false;
        QTimer::singleShot(0, [&] {
            QWidget* modal = apptest::waitForModal();
            seen = modal == r.window->silenceDialog();
            if (modal)
                QTest::mouseClick(modal->findChild<QPushButton*>("closeButton"), Qt::LeftButton);
        });
        QTest::mouseClick(r.child<QToolButton>("silenceSettingsButton"), Qt::LeftButton);
        QVERIFY(seen);
        QVERIFY(!r.window->silenceDialog()->isVisible());
    }

    // Digital silence keeps the value at exactly -100.0: the facade reports it once,
    // so the count stays at 1 and only a release below 1 stops the clock.
    void digitalSilenceCountsOnce_data() {
        QTest::addColumn<int>("release");
        QTest::addColumn<bool>("clockStops");
        QTest::newRow("release 0") << 0 << true;
        QTest::newRow("release 1") << 1 << false;
    }
    void digitalSilenceCountsOnce() {
        QFETCH(int, release);
        QFETCH(bool, clockStops);
        Running r = start();
        r.window->silenceDialog()->findChild<QDial*>("dial")->setValue(release);
        QTest::mouseClick(r.child<QCheckBox>("nonMusicCheck"), Qt::LeftButton);
        r.clock()->setChecked(true);

        QSignalSpy spy(r.facade, &QTempomind::nonBeatynessChange);
        fakes::engine().nonBeatyness = -100.0;
        for (int poll = 0; poll < 10; ++poll) r.facade->updateOutputs();
        QCOMPARE(spy.count(), 1);
        QCOMPARE(r.window->getSilenceCount(), 1);
        QCOMPARE(r.clock()->isChecked(), !clockStops);
    }

    void levelBarFollowsTheFacade() {
        Running r = start();
        auto* level = r.child<Meter>("audioLevelBar");
        fakes::engine().inputLevel = -12.7;
        r.facade->updateOutputs();
        QCOMPARE(level->value(), -12);
        // Digital silence (-100) lies outside the bar's range: the bar keeps its value.
        fakes::engine().inputLevel = -100.0;
        r.facade->updateOutputs();
        QCOMPARE(level->value(), -12);
    }

    void savedKeysAfterClose() {
        {
            Running r = start();
            r.slider()->setValue(90);
            r.clock()->setChecked(true);
            r.audio()->toggleChannel(1, 1);
            QVERIFY(r.window->close());
            const QPoint position = r.window->pos();

            QSettings settings("Orvane", "Pulsora");
            QCOMPARE(settings.value("MainWindow/Position").toPoint(), position);
            QCOMPARE(settings.value("Pulsora/MidiClockEnabled").toBool(), true);
            // The value read at start: false, as the key was absent.
            QCOMPARE(settings.value("Pulsora/SendPhase").toBool(), false);
            QCOMPARE(settings.value("Pulsora/HalfLife").toInt(), 90);
            QCOMPARE(settings.value("Pulsora/AudioInputDevice").toString(), QString("Studio In"));
            QCOMPARE(settings.value("Pulsora/MidiOutputDevice").toString(), QString("Port A"));
            QCOMPARE(settings.value("Pulsora/TrackingModel").toString(), QString("classic"));
            QCOMPARE(settings.value("Pulsora/AudioChannels").toStringList(),
                     QStringList({"1", "1"}));
        }
        // The next start restores them.
        fakes::reset();
        Running r = start();
        const fakes::Engine& e = fakes::engine();
        QCOMPARE(r.slider()->value(), 90);
        QCOMPARE(r.halfLife()->text(), QString("Halflife: 9s"));
        QVERIFY(r.clock()->isChecked());
        QCOMPARE(r.status()->text(), QString("online"));
        QVERIFY(r.facade->getMidiClockEnabled());
        QCOMPARE(e.last("enable_midiclock"), std::vector<double>{1});
        QCOMPARE(e.last("enable_midiphase"), std::vector<double>{0});
        QCOMPARE(r.audio()->getCurrentChannels(), flags({1, 1}));
        QCOMPARE(e.last("set_mididev"), std::vector<double>{0});
        // Start-up ends with the engine at the restored half-life.
        QCOMPARE(e.last("change_half_time"), std::vector<double>{9.0});
    }

    void networkOutputsAreSavedAndRestored() {
        {
            Running r = start();
            QCOMPARE(fakes::engine().count("enable_link"), 0);
            QCOMPARE(fakes::engine().count("set_osc"), 0);
            r.facade->setLinkEnabled(true);
            QString error;
            QVERIFY(r.facade->setOsc("10.0.0.7:7000", "/show", &error));
            QVERIFY(r.window->close());
            QSettings settings("Orvane", "Pulsora");
            QCOMPARE(settings.value("Pulsora/LinkEnabled").toBool(), true);
            QCOMPARE(settings.value("Pulsora/OscTarget").toString(), QString("10.0.0.7:7000"));
            QCOMPARE(settings.value("Pulsora/OscPrefix").toString(), QString("/show"));
        }
        fakes::reset();
        {
            Running r = start();
            const fakes::Engine& e = fakes::engine();
            QVERIFY(e.link);
            QCOMPARE(e.oscTarget, std::string("10.0.0.7:7000"));
            QCOMPARE(e.oscPrefix, std::string("/show"));
            QVERIFY(r.facade->linkEnabled());
            QCOMPARE(r.facade->oscTarget(), QString("10.0.0.7:7000"));
        }
        // A stored target the engine refuses leaves OSC off.
        fakes::reset();
        store("Pulsora/OscTarget", "no-port");
        store("Pulsora/LinkEnabled", "false");
        Running r = start();
        QCOMPARE(fakes::engine().oscTarget, std::string());
        QCOMPARE(r.facade->oscTarget(), QString());
        QCOMPARE(fakes::engine().count("enable_link"), 0);
    }

    void storedDevicesChosenByName() {
        store("Pulsora/AudioInputDevice", "Octa");
        store("Pulsora/AudioChannels", QVariantList{0, 0, 1, 1});
        store("Pulsora/MidiOutputDevice", "Port B");
        Running r = start();
        QCOMPARE(fakes::portaudio().openedDevices, std::vector<int>{2});
        QCOMPARE(r.audio()->getAudioDevIndex(), 1);
        QCOMPARE(r.audio()->getCurrentChannels(), flags({0, 0, 1, 1, 0, 0, 0, 0}));
        QCOMPARE(fakes::engine().last("set_mididev"), std::vector<double>{1});
        QCOMPARE(r.facade->getMidiDevIndex(), 1);
    }

    // A port of the window's own is made again at the next start (it did
    // not exist before), and forgotten once another port is chosen.
    void aPortOfItsOwnIsMadeAgainAtTheNextStart() {
        {
            Running r = start();
            QVERIFY(r.facade->openOwnMidiPort("Pulsora"));
            QVERIFY(r.window->close());
            QSettings settings("Orvane", "Pulsora");
            QCOMPARE(settings.value("Pulsora/MidiOwnPort").toString(), QString("Pulsora"));
        }
        fakes::reset();
        {
            Running r = start();
            QCOMPARE(fakes::engine().ownPort, std::string("Pulsora"));
            QCOMPARE(r.facade->ownMidiPort(), QString("Pulsora"));
            QVERIFY(r.facade->selectMidiDev(0));
            QVERIFY(r.window->close());
            QSettings settings("Orvane", "Pulsora");
            QVERIFY(!settings.contains("Pulsora/MidiOwnPort"));
        }
        fakes::reset();
        Running r = start();
        QCOMPARE(fakes::engine().count("open_own_mididev"), 0);
    }

    void storedDeviceNamesThatNoLongerExist() {
        store("Pulsora/AudioInputDevice", "USB Mic");
        store("Pulsora/AudioChannels", QVariantList{1, 1});
        store("Pulsora/MidiOutputDevice", "Gone Port");
        store("Pulsora/MidiClockEnabled", true);
        Running r = start();
        const fakes::Engine& e = fakes::engine();
        // The default input takes the gone device's place and the status
        // says so; the stored channels belonged to the other device.
        QCOMPARE(fakes::portaudio().openedDevices,
                 std::vector<int>{fakes::portaudio().defaultInput});
        QCOMPARE(e.count("start_sequencer"), 1);
        QCOMPARE(r.status()->text(), QString("online (default input)"));
        QVERIFY2(r.status()->toolTip().contains("USB Mic"), qPrintable(r.status()->toolTip()));
        QCOMPARE(r.audio()->getCurrentChannels(), flags({1, 0}));
        // The start-up MIDI port stays.
        QCOMPARE(e.count("set_mididev"), 0);
        QCOMPARE(r.facade->getMidiDevIndex(), 0);
        QVERIFY(r.window->close());
    }

    void aGoneStoredDeviceWithNoInputAtAllShowsNoAudio() {
        store("Pulsora/AudioInputDevice", "USB Mic");
        store("Pulsora/MidiClockEnabled", true);
        fakes::PortAudio& pa = fakes::portaudio();
        pa.devices = {{"Built-in Output", 0, 2}};
        pa.defaultInput = -1;
        Running r = start();
        QCOMPARE(r.status()->text(), QString("no audio"));
        QVERIFY2(r.status()->toolTip().contains("No audio input device"),
                 qPrintable(r.status()->toolTip()));
        QVERIFY(r.window->close());
    }

    void oddValuesInTheStore_data() {
        QTest::addColumn<QVariant>("halfLife");
        QTest::addColumn<int>("slider");
        QTest::addColumn<QVariant>("clock");
        QTest::addColumn<bool>("checked");
        QTest::addColumn<QVariant>("sendPhase");
        QTest::addColumn<int>("phaseSent");
        QTest::addColumn<QVariant>("channels");
        QTest::addColumn<std::vector<unsigned char>>("selection");
        QTest::newRow("half-life above range, long channel list")
            << QVariant(500) << 120 << QVariant(true) << true << QVariant(true) << 1
            << QVariant(QVariantList{0, 1, 1, 1, 1}) << flags({0, 1});
        QTest::newRow("half-life below range, short channel list")
            << QVariant(-7) << 30 << QVariant(false) << false << QVariant(false) << 0
            << QVariant(QVariantList{0}) << flags({0, 0});
        QTest::newRow("words instead of numbers")
            << QVariant("fast") << 50 << QVariant("maybe") << false << QVariant("xyz") << 1
            << QVariant(QStringList{"a", "1"}) << flags({1, 1});
        QTest::newRow("flags other than 0 and 1, one value")
            << QVariant("80") << 80 << QVariant("1") << true << QVariant("0") << 0 << QVariant("7")
            << flags({1, 0});
        QTest::newRow("empty values") << QVariant("") << 50 << QVariant("") << false << QVariant("")
                                      << 1 << QVariant(QVariantList{}) << flags({1, 0});
    }
    void oddValuesInTheStore() {
        QFETCH(QVariant, halfLife);
        QFETCH(int, slider);
        QFETCH(QVariant, clock);
        QFETCH(bool, checked);
        QFETCH(QVariant, sendPhase);
        QFETCH(int, phaseSent);
        QFETCH(QVariant, channels);
        QFETCH(std::vector<unsigned char>, selection);
        store("MainWindow/Position", "not a point");
        store("Pulsora/HalfLife", halfLife);
        store("Pulsora/MidiClockEnabled", clock);
        store("Pulsora/SendPhase", sendPhase);
        store("Pulsora/AudioInputDevice", "Studio In");
        store("Pulsora/AudioChannels", channels);
        store("Pulsora/MidiOutputDevice", 42);

        Running r = start();
        QCOMPARE(r.slider()->value(), slider);
        QCOMPARE(r.clock()->isChecked(), checked);
        QCOMPARE(fakes::engine().last("enable_midiphase"),
                 std::vector<double>{static_cast<double>(phaseSent)});
        QCOMPARE(r.audio()->getCurrentChannels(), selection);
        QCOMPARE(fakes::engine().count("set_mididev"), 0);
        QVERIFY(r.window->close());
    }

    void audioFailuresShowInTheStatus_data() {
        QTest::addColumn<int>("failure");  // 0 no device at all, 1 open fails, 2 start fails
        QTest::addColumn<QString>("reason");
        QTest::newRow("no input device") << 0 << "No audio input device";
        QTest::newRow("open fails") << 1 << "Could not open";
        QTest::newRow("start fails") << 2 << "Could not start";
    }
    void audioFailuresShowInTheStatus() {
        QFETCH(int, failure);
        QFETCH(QString, reason);
        fakes::PortAudio& pa = fakes::portaudio();
        if (failure == 0) {
            pa.devices = {{"Built-in Output", 0, 2}};
            pa.defaultInput = -1;
        }
        pa.failOpen = failure == 1;
        pa.failStart = failure == 2;
        Running r = start();
        QCOMPARE(r.status()->text(), QString("no audio"));
        QVERIFY2(r.status()->toolTip().contains(reason), qPrintable(r.status()->toolTip()));
        // The clock switch then replaces the text as usual.
        r.clock()->click();
        QCOMPARE(r.status()->text(), QString("online"));
        QVERIFY(r.window->close());
    }

    void aboutDialog() {
        Running r = start();
        QStringList texts;
        QString title;
        QTimer::singleShot(0, [&] {
            QWidget* modal = apptest::waitForModal();
            if (!modal) return;
            title = modal->windowTitle();
            for (QLabel* label : modal->findChildren<QLabel*>()) texts << label->text();
            for (QPushButton* button : modal->findChildren<QPushButton*>())
                if (button->text() == "Continue") QTest::mouseClick(button, Qt::LeftButton);
        });
        r.window->menuBar()->actions()[1]->menu()->actions()[0]->trigger();
        QCOMPARE(title, QString("About Kadenzo"));
        QVERIFY(texts.contains("KADENZO"));
        QVERIFY(texts.contains("1.4"));
        QVERIFY(!QApplication::activeModalWidget());
    }

    void settingsFromMenu() {
        Running r = start();
        QString title;
        QTimer::singleShot(0, [&] {
            QWidget* modal = apptest::waitForModal();
            if (!modal) return;
            title = modal->windowTitle();
            static_cast<QDialog*>(modal)->reject();
        });
        r.window->menuBar()->actions()[0]->menu()->actions()[0]->trigger();
        QCOMPARE(title, QString("Pulsora I/O Settings"));
        // The dialog is destroyed after it closes.
        QTest::qWait(0);
        QCOMPARE(r.window->findChildren<QDialog*>().size(), 1);  // only the silence dialog
    }
};

KADENZO_APP_TEST_MAIN(MainWindowTest)
#include "test_app_mainwindow.moc"
