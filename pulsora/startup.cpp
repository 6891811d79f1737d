#include "startup.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#ifndef PULSORA_HELP_FILE
#define PULSORA_HELP_FILE "README.md"
#endif

bool applyTickerStyleSheet(QApplication& app) {
    if (!app.styleSheet().isEmpty()) return true;
    QFile file(QStringLiteral(":/ticker.css"));
    if (!file.open(QIODevice::ReadOnly)) return false;
    app.setStyleSheet(QString::fromUtf8(file.readAll()));
    return true;
}

QUrl StartupErrorDialog::linkTarget(Kind kind) {
    // The README's desktop section explains how to give the application a
    // MIDI port and what to collect when the audio system fails.
    QUrl url = QUrl::fromLocalFile(QFileInfo(QStringLiteral(PULSORA_HELP_FILE)).absoluteFilePath());
    url.setFragment(kind == NoMidi ? QStringLiteral("midi-ports")
                                   : QStringLiteral("reporting-audio-problems"));
    return url;
}

StartupErrorDialog::StartupErrorDialog(Kind kind, QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Kadenzo"));
    setModal(true);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(18, 16, 18, 12);
    layout->setSpacing(8);

    auto* message = new QLabel(this);
    message->setObjectName(QStringLiteral("messageLabel"));
    layout->addWidget(message);

    QString linkText;
    if (kind == NoMidi) {
        message->setText(QStringLiteral(
            "Hay,\nIt looks like you are trying to run me\nwithout any MIDI devices available.\n"));
        auto* hint = new QLabel(
            QStringLiteral(
                "If you are connected to internet,\nyou can refer to the tutorial below."),
            this);
        hint->setObjectName(QStringLiteral("hintLabel"));
        layout->addWidget(hint);
        linkText = QStringLiteral("Enabling software or network MIDI");
    } else {
        message->setText(
            QStringLiteral("Hay,\nThere is a problem with the Audio system :(\nIf your audio "
                           "interface has a power button,\nmake sure it is switched on."));
        linkText = QStringLiteral("Report the problem");
    }

    auto* link = new QLabel(this);
    link->setObjectName(QStringLiteral("linkLabel"));
    link->setTextFormat(Qt::RichText);
    link->setText(
        QStringLiteral("<a style=\"color:#ed6022\" href=\"%1\">%2</a>")
            .arg(linkTarget(kind).toString(QUrl::FullyEncoded), linkText.toHtmlEscaped()));
    link->setTextInteractionFlags(Qt::TextBrowserInteraction);
    link->setOpenExternalLinks(false);
    connect(link, &QLabel::linkActivated, this, &StartupErrorDialog::openLink);
    layout->addWidget(link);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    layout->addWidget(buttons);
}

// The system's web browser (or viewer) opens the page; no shell involved.
void StartupErrorDialog::openLink(const QString& link) {
    QDesktopServices::openUrl(QUrl(link));
}
