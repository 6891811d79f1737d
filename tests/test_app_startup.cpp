// What the program entry sets up: the built-in style sheet (judged by the
// colours widgets paint with it) and the error dialogs with their links.
#include <QCheckBox>
#include <QDesktopServices>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFile>
#include <QFrame>
#include <QLabel>
#include <QMainWindow>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include "app_test_support.h"
#include "startup.h"

namespace {

QColor pixelAt(QWidget& widget, QPoint point) {
    return widget.grab().toImage().pixelColor(point);
}

// A point of a child as its window paints it (a child grabbed alone has no background).
QColor windowPixelAt(QWidget& child, QPoint point) {
    return pixelAt(*child.window(), child.mapTo(child.window(), point));
}

// GitHub-style anchors of a Markdown file's headings.
QStringList headingAnchors(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    QStringList anchors;
    for (const QString& line : QString::fromUtf8(file.readAll()).split('\n')) {
        if (!line.startsWith('#')) continue;
        QString anchor = line.section(' ', 1).trimmed().toLower();
        anchor.remove(QRegularExpression("[^a-z0-9 -]"));
        anchor.replace(' ', '-');
        anchors << anchor;
    }
    return anchors;
}

}  // namespace

// Receives the URLs handed to QDesktopServices.
class UrlCatcher : public QObject {
    Q_OBJECT
  public:
    QList<QUrl> opened;
  public slots:
    void open(const QUrl& url) { opened << url; }
};

class StartupTest : public QObject {
    Q_OBJECT

  private slots:
    void styleSheetComesFromTheResource() {
        QFile resource(":/ticker.css");
        QVERIFY(resource.open(QIODevice::ReadOnly));
        QCOMPARE(qApp->styleSheet(), QString::fromUtf8(resource.readAll()));
    }

    void styleSheetAlreadySetIsKept() {
        const QString ticker = qApp->styleSheet();
        qApp->setStyleSheet("QLabel { color: red; }");
        QVERIFY(applyTickerStyleSheet(*qApp));
        QCOMPARE(qApp->styleSheet(), QString("QLabel { color: red; }"));
        qApp->setStyleSheet(QString());
        QVERIFY(applyTickerStyleSheet(*qApp));
        QCOMPARE(qApp->styleSheet(), ticker);
    }

    void darkThemeColours() {
        QMainWindow window;
        window.resize(200, 160);
        auto* central = new QWidget(&window);
        window.setCentralWidget(central);
        auto* frame = new QFrame(central);
        frame->setObjectName("windowFrame");
        frame->setGeometry(20, 20, 160, 120);
        auto* label = new QLabel("Halflife", frame);
        label->setGeometry(10, 10, 100, 20);
        auto* tempo = new QPushButton(frame);
        tempo->setObjectName("tempoButton");
        tempo->setGeometry(10, 40, 60, 40);
        auto* button = new QPushButton("Close", frame);
        button->setGeometry(80, 40, 80, 30);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        QCOMPARE(pixelAt(window, {5, 5}), QColor("#151c26"));          // QMainWindow
        QCOMPARE(pixelAt(window, {100, 130}), QColor("#172333"));      // the rounded panel
        QCOMPARE(pixelAt(window, {20, 80}), QColor("#0a64e0"));        // its border
        QCOMPARE(windowPixelAt(*tempo, {30, 20}), QColor("#172333"));  // transparent tempo button
        QCOMPARE(label->palette().color(QPalette::WindowText), QColor("#546d8e"));
        // Buttons: 64 x 26 content 16 px to the right of their left edge.
        QCOMPARE(windowPixelAt(*button, {4, 15}), QColor("#172333"));
        QCOMPARE(windowPixelAt(*button, {40, 15}), QColor("#0a64e0"));

        QDialog dialog;
        dialog.resize(100, 60);
        auto* check = new QCheckBox("MIDI clock", &dialog);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QCOMPARE(pixelAt(dialog, {90, 50}), QColor("#151c26"));
        QCOMPARE(check->palette().color(QPalette::WindowText), QColor("#648dae"));
    }

    void errorDialogTexts_data() {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QStringList>("texts");
        QTest::addColumn<QString>("link");
        QTest::newRow("no MIDI") << int(StartupErrorDialog::NoMidi)
                                 << QStringList{"Hay,\nIt looks like you are trying to run me\n"
                                                "without any MIDI devices available.\n",
                                                "If you are connected to internet,\nyou can "
                                                "refer to the tutorial below."}
                                 << "Enabling software or network MIDI";
        QTest::newRow("audio") << int(StartupErrorDialog::AudioProblem)
                               << QStringList{"Hay,\nThere is a problem with the Audio system "
                                              ":(\nIf your audio interface has a power "
                                              "button,\nmake sure it is switched on."}
                               << "Report the problem";
    }
    void errorDialogTexts() {
        QFETCH(int, kind);
        QFETCH(QStringList, texts);
        QFETCH(QString, link);
        StartupErrorDialog dialog(static_cast<StartupErrorDialog::Kind>(kind));
        QVERIFY(dialog.isModal());
        QStringList shown;
        for (QLabel* label : dialog.findChildren<QLabel*>()) shown << label->text();
        for (const QString& text : texts) QVERIFY2(shown.contains(text), qPrintable(text));
        auto* linkLabel = dialog.findChild<QLabel*>("linkLabel");
        QVERIFY(linkLabel->text().contains(">" + link + "</a>"));
        QVERIFY(!linkLabel->openExternalLinks());
    }

    // The links lead to sections of the README that exist.
    void errorDialogLinksOpenTheHelp_data() {
        QTest::addColumn<int>("kind");
        QTest::newRow("no MIDI") << int(StartupErrorDialog::NoMidi);
        QTest::newRow("audio") << int(StartupErrorDialog::AudioProblem);
    }
    void errorDialogLinksOpenTheHelp() {
        QFETCH(int, kind);
        const auto which = static_cast<StartupErrorDialog::Kind>(kind);
        const QUrl target = StartupErrorDialog::linkTarget(which);
        QVERIFY(target.isLocalFile());
        QVERIFY2(QFile::exists(target.toLocalFile()), qPrintable(target.toString()));
        QVERIFY2(headingAnchors(target.toLocalFile()).contains(target.fragment()),
                 qPrintable(target.fragment()));

        UrlCatcher catcher;
        QDesktopServices::setUrlHandler("file", &catcher, "open");
        StartupErrorDialog dialog(which);
        auto* linkLabel = dialog.findChild<QLabel*>("linkLabel");
        const QString href =
            QRegularExpression("href=\"([^\"]+)\"").match(linkLabel->text()).captured(1);
        emit linkLabel->linkActivated(href);
        QDesktopServices::unsetUrlHandler("file");
        QCOMPARE(catcher.opened, QList<QUrl>{target});
    }

    void errorDialogReturnsItsResult() {
        StartupErrorDialog dialog(StartupErrorDialog::NoMidi);
        QTimer::singleShot(0, [&] {
            QWidget* modal = apptest::waitForModal();
            if (!modal) return;
            auto* buttons = modal->findChild<QDialogButtonBox*>();
            QTest::mouseClick(buttons->button(QDialogButtonBox::Ok), Qt::LeftButton);
        });
        QCOMPARE(dialog.exec(), int(QDialog::Accepted));
    }
};

KADENZO_APP_TEST_MAIN(StartupTest)
#include "test_app_startup.moc"
