// Records every signal of the engine facade, in emission order, as text
// ("beatPhase 0.25"), and gives the application object the tests need.
#ifndef KADENZO_TESTS_LIVE_SIGNAL_RECORDER_H
#define KADENZO_TESTS_LIVE_SIGNAL_RECORDER_H

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <cstdlib>
#include <string>
#include <vector>

#include "qtempomind.h"

namespace livetest {

class SignalRecorder {
  public:
    explicit SignalRecorder(QTempomind* facade) {
        auto number = [this](const char* name) {
            return [this, name](double value) { add(name, value); };
        };
        auto flag = [this](const char* name) {
            return [this, name](bool value) { add(name, value ? 1.0 : 0.0); };
        };
        QObject::connect(facade, &QTempomind::nonBeatynessChange, number("nonBeatynessChange"));
        QObject::connect(facade, &QTempomind::bpmChange, number("bpmChange"));
        QObject::connect(facade, &QTempomind::bar, flag("bar"));
        QObject::connect(facade, &QTempomind::beat, flag("beat"));
        QObject::connect(facade, &QTempomind::tatum, flag("tatum"));
        QObject::connect(facade, &QTempomind::barPhase, number("barPhase"));
        QObject::connect(facade, &QTempomind::beatPhase, number("beatPhase"));
        QObject::connect(facade, &QTempomind::tatumPhase, number("tatumPhase"));
        QObject::connect(facade, &QTempomind::barFullPhase, number("barFullPhase"));
        QObject::connect(facade, &QTempomind::beatFullPhase, number("beatFullPhase"));
        QObject::connect(facade, &QTempomind::tatumFullPhase, number("tatumFullPhase"));
        QObject::connect(facade, &QTempomind::audioLevelChange,
                         [this](int db) { add("audioLevelChange", db); });
        QObject::connect(facade, &QTempomind::audioError, [this](const QString& message) {
            errors.push_back(message.toStdString());
        });
    }

    // Signals since the last take(), emptying the record.
    std::vector<std::string> take() {
        std::vector<std::string> all;
        all.swap(emitted);
        return all;
    }
    // Values of one signal since the last take(), without emptying.
    std::vector<double> valuesOf(const std::string& name) const {
        std::vector<double> found;
        for (std::size_t i = 0; i < names.size(); ++i) {
            if (names[i] == name) found.push_back(values[i]);
        }
        return found;
    }
    void clearValues() {
        names.clear();
        values.clear();
    }

    std::vector<std::string> errors;

  private:
    void add(const char* name, double value) {
        char text[96];
        std::snprintf(text, sizeof text, "%s %g", name, value);
        emitted.emplace_back(text);
        names.emplace_back(name);
        values.push_back(value);
    }
    std::vector<std::string> emitted;
    std::vector<std::string> names;
    std::vector<double> values;
};

// Runs the Qt event loop for the given time.
inline void spinEvents(int milliseconds) {
    QElapsedTimer elapsed;
    elapsed.start();
    while (elapsed.elapsed() < milliseconds) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
}

// One QCoreApplication for the whole test program.
class QtEnvironment : public testing::Environment {
  public:
    void SetUp() override {
        static int argc = 1;
        static char name[] = "kadenzo-test";
        static char* argv[] = {name, nullptr};
        if (!QCoreApplication::instance()) app = new QCoreApplication(argc, argv);
    }
    void TearDown() override {
        delete app;
        app = nullptr;
    }

  private:
    QCoreApplication* app = nullptr;
};

}  // namespace livetest

#endif
