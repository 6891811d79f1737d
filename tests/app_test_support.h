// Shared pieces of the desktop application's QtTest programs.
#ifndef KADENZO_TESTS_APP_TEST_SUPPORT_H
#define KADENZO_TESTS_APP_TEST_SUPPORT_H

#include <QApplication>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>

#include "startup.h"

namespace apptest {

// The store the application uses, cleared.
inline void clearSettings() {
    QSettings settings("Orvane", "Pulsora");
    settings.clear();
    settings.sync();
}

// The modal dialog currently shown, once it is there (for dialogs run with exec()).
inline QWidget* waitForModal() {
    QWidget* modal = nullptr;
    if (!QTest::qWaitFor([&] { return (modal = QApplication::activeModalWidget()) != nullptr; },
                         2000))
        return nullptr;
    return modal;
}

}  // namespace apptest

// main() for a test class: offscreen platform and a private settings store
// (XDG_CONFIG_HOME in a temporary folder; the platform and the runtime folder
// unless the caller set them), and the
// application's own style sheet.
#define KADENZO_APP_TEST_MAIN(TestClass)                                 \
    int main(int argc, char** argv) {                                    \
        QTemporaryDir configHome;                                        \
        QTemporaryDir runtimeDir;                                        \
        if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))               \
            qputenv("QT_QPA_PLATFORM", "offscreen");                     \
        if (!qEnvironmentVariableIsSet("XDG_RUNTIME_DIR"))               \
            qputenv("XDG_RUNTIME_DIR", runtimeDir.path().toLocal8Bit()); \
        qputenv("XDG_CONFIG_HOME", configHome.path().toLocal8Bit());     \
        QApplication app(argc, argv);                                    \
        applyTickerStyleSheet(app);                                      \
        TestClass test;                                                  \
        return QTest::qExec(&test, argc, argv);                          \
    }

#endif
