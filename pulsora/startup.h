// What the program entry needs besides the main window: the built-in style
// sheet, and the dialogs shown instead of the window when the engine cannot
// start.
#ifndef PULSORA_STARTUP_H
#define PULSORA_STARTUP_H

#include <QDialog>
#include <QUrl>

class QApplication;

// Sets the style sheet ":/ticker.css" on the application unless it already
// has one (for example from -stylesheet). False when the resource is missing:
// the default look stays.
bool applyTickerStyleSheet(QApplication& app);

class StartupErrorDialog : public QDialog {
    Q_OBJECT

  public:
    enum Kind { NoMidi, AudioProblem };

    explicit StartupErrorDialog(Kind kind, QWidget* parent = nullptr);

    // Where the dialog's link leads.
    static QUrl linkTarget(Kind kind);

  private slots:
    void openLink(const QString& link);
};

#endif
