// Pulsora's program entry: style sheet, engine start through the facade, then
// the main window, or an error dialog when the engine cannot start.
#include <QApplication>
#include <QDebug>
#include <QIcon>
#include <QSettings>
#include <memory>

#include "audiosystem.h"
#include "jackaudioinput.h"
#include "mainwindow.h"
#include "midioutput.h"
#include "qtempomind.h"
#include "startup.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    Q_INIT_RESOURCE(pulsora);
    applyTickerStyleSheet(app);
    app.setWindowIcon(QIcon(QStringLiteral(":/resources/pulsora_tempotron.png")));

    // The tracking model chosen last time (File > Settings); the engine
    // takes it when it starts.
    const QString stored =
        QSettings(QStringLiteral("Orvane"), QStringLiteral("Pulsora"))
            .value(QStringLiteral("Pulsora/TrackingModel"))
            .toString();
    meterTracker::TrackingModel model = meterTracker::kDefaultTrackingModel;
    meterTracker::parseTrackingModel(stored.toStdString(), model);

    // The audio system chosen last time: Kadenzo's own JACK client when one
    // is wanted and can be had, else PortAudio and RtMidi.
    auto* facade = new QTempomind;
    QString jackProblem;
    std::unique_ptr<JackAudioInput> jack = openJackInputFor(storedAudioSystem(), &jackProblem);
    if (jack) facade->useAudioInput(std::move(jack));
    if (!jackProblem.isEmpty())
        qWarning().noquote() << "Audio: JACK:" << jackProblem << "- using PortAudio and RtMidi.";

    // A port of its own chosen last time ("create a port" in the settings)
    // is there from the engine's start, so that a rig whose receivers
    // connect to it later starts without any other MIDI port. Only the
    // first engine opens it this way; later ones follow the window's choice.
    const QString ownPort = QSettings(QStringLiteral("Orvane"), QStringLiteral("Pulsora"))
                                .value(QStringLiteral("Pulsora/MidiOwnPort"))
                                .toString();
    const midioutput_live_config midiConfig = midioutput_get_live_config();
    if (!ownPort.isEmpty()) {
        midioutput_live_config withOwnPort = midiConfig;
        withOwnPort.own_port = ownPort.toStdString();
        midioutput_set_live_config(withOwnPort);
    }
    const bool started = facade->init(-1, model);
    midioutput_set_live_config(midiConfig);
    if (started) {
        auto* window = new MainWindow(facade);  // owns the facade from here on
        window->show();
        const int result = app.exec();
        delete window;
        return result;
    }

    // The engine did not start: closing the facade releases PortAudio.
    const int status = TEMPOMIND_ERROR_STATUS;
    delete facade;
    StartupErrorDialog dialog(status == 3 ? StartupErrorDialog::NoMidi
                                          : StartupErrorDialog::AudioProblem);
    return dialog.exec();
}
