// The block level meter, judged by the pixels it paints, and the silence
// dialog's form.
#include <QDial>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QTest>

#include "app_test_support.h"
#include "meter.h"
#include "nomusicdialog.h"

namespace {

const QColor kBackground(255, 255, 255);

// The painted blocks of one pixel row: their left edges and widths.
struct Run {
    int left;
    int width;
};

bool isBlockPixel(QRgb pixel) {
    // The block colour (40, 60, 150) at alpha 250 over the white background.
    const int r = qRed(pixel), g = qGreen(pixel), b = qBlue(pixel);
    return std::abs(r - 44) <= 6 && std::abs(g - 64) <= 6 && std::abs(b - 152) <= 6;
}

QImage paintMeter(int width, int height, int minimum, int maximum, int value, bool reset = false) {
    Meter meter;
    meter.setStyleSheet("Meter { background: white; }");
    QPalette palette = meter.palette();
    palette.setColor(QPalette::Window, kBackground);
    meter.setPalette(palette);
    meter.setAutoFillBackground(true);
    meter.setRange(minimum, maximum);
    meter.setValue(value);
    if (reset) meter.reset();
    meter.setFixedSize(width, height);
    return meter.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

std::vector<Run> blockRuns(const QImage& image, int row) {
    std::vector<Run> runs;
    for (int x = 0; x < image.width(); ++x) {
        if (!isBlockPixel(image.pixel(x, row))) continue;
        if (!runs.empty() && runs.back().left + runs.back().width == x) {
            ++runs.back().width;
        } else {
            runs.push_back({x, 1});
        }
    }
    return runs;
}

int blockPixelsInRows(const QImage& image, int fromRow, int toRow) {
    int count = 0;
    for (int y = fromRow; y < toRow && y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) count += isBlockPixel(image.pixel(x, y)) ? 1 : 0;
    return count;
}

}  // namespace

class MeterTest : public QObject {
    Q_OBJECT

  private slots:
    void paintsBlocks_data() {
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("minimum");
        QTest::addColumn<int>("maximum");
        QTest::addColumn<int>("value");
        QTest::addColumn<int>("blocks");
        // For -50 ... 0 the bar holds (50 - |value|) / 50 of width / 6 blocks.
        QTest::newRow("half of 20 blocks") << 120 << -50 << 0 << -25 << 10;
        QTest::newRow("60 px full") << 60 << -50 << 0 << 0 << 10;
        QTest::newRow("60 px empty") << 60 << -50 << 0 << -50 << 0;
        QTest::newRow("64 px full, no partial block") << 64 << -50 << 0 << 0 << 10;
        QTest::newRow("61 px half") << 61 << -50 << 0 << -25 << 5;
        QTest::newRow("threshold -35 on 120 px") << 120 << -50 << 0 << -35 << 6;
        QTest::newRow("positive range") << 60 << 0 << 100 << 50 << 5;
        QTest::newRow("range without scale") << 60 << -10 << 10 << 0 << 0;
        QTest::newRow("narrower than a block") << 5 << -50 << 0 << 0 << 0;
    }
    void paintsBlocks() {
        QFETCH(int, width);
        QFETCH(int, minimum);
        QFETCH(int, maximum);
        QFETCH(int, value);
        QFETCH(int, blocks);
        const QImage image = paintMeter(width, 30, minimum, maximum, value);
        for (int row : {0, 10, 19}) {
            const std::vector<Run> runs = blockRuns(image, row);
            QCOMPARE(static_cast<int>(runs.size()), blocks);
            for (std::size_t i = 0; i < runs.size(); ++i) {
                QCOMPARE(runs[i].left, static_cast<int>(i) * 6);
                QCOMPARE(runs[i].width, 4);
            }
        }
        // Blocks are 20 pixels high: nothing below, and no text or frame anywhere.
        QCOMPARE(blockPixelsInRows(image, 20, 30), 0);
        QCOMPARE(blockPixelsInRows(image, 0, 20), blocks * 4 * 20);
    }

    void sixtyPixelsShowAtMostTenBlocks() {
        for (int value = -50; value <= 0; ++value) {
            const QImage image = paintMeter(60, 20, -50, 0, value);
            const int blocks = static_cast<int>(blockRuns(image, 10).size());
            QVERIFY2(blocks <= 10,
                     qPrintable(QString("value %1: %2 blocks").arg(value).arg(blocks)));
            // The fill grows with the value: (50 - |value|) / 50 of 10 blocks.
            QCOMPARE(blocks, static_cast<int>(10.0 * ((50.0f - std::abs(value)) / 50.0f)));
        }
    }

    void resetBarPaintsNothing() {
        const QImage image = paintMeter(60, 20, -50, 0, -10, true);
        QCOMPARE(blockPixelsInRows(image, 0, 20), 0);
    }

    void silenceDialogForm() {
        NomusicDialog dialog;
        QCOMPARE(dialog.windowTitle(), QString("Dialog"));
        QCOMPARE(dialog.size(), QSize(186, 120));
        QVERIFY(dialog.isModal());
        QCOMPARE(dialog.windowModality(), Qt::WindowModal);
        QCOMPARE(dialog.font().pointSize(), 10);

        auto* dial = dialog.findChild<QDial*>("dial");
        QCOMPARE(dial->minimum(), 0);
        QCOMPARE(dial->maximum(), 200);
        QCOMPARE(dial->singleStep(), 1);
        QCOMPARE(dial->value(), 85);
        QVERIFY(!dial->wrapping());
        QVERIFY(dial->notchesVisible());
        QCOMPARE(dial->toolTip(), QString("Time of silence required"));

        auto* slider = dialog.findChild<QSlider*>("horizontalSlider");
        QCOMPARE(slider->minimum(), -50);
        QCOMPARE(slider->maximum(), 0);
        QCOMPARE(slider->value(), -35);
        QCOMPARE(slider->toolTip(), QString("Time of silence required"));

        auto* meter = dialog.findChild<Meter*>("rmsvalue");
        QCOMPARE(meter->minimum(), -50);
        QCOMPARE(meter->maximum(), 0);
        QCOMPARE(meter->value(), -35);
        QVERIFY(meter->isTextVisible());

        auto* release = dialog.findChild<QLabel*>("label");
        QCOMPARE(release->text(), QString("Release"));
        QCOMPARE(release->toolTip(), QString("Time of silence required"));
        QCOMPARE(dialog.findChild<QLabel*>("label_2")->text(), QString("Threshold:"));
        QCOMPARE(dialog.findChild<QLabel*>("decibelLabel")->text(), QString("-35 dB"));
        QCOMPARE(dialog.findChild<QPushButton*>("closeButton")->text(), QString("Close"));
    }

    // Without a main window as parent the controls still update themselves.
    void silenceDialogControls() {
        QWidget parent;
        auto* dialog = new NomusicDialog(&parent);
        auto* dial = dialog->findChild<QDial*>("dial");
        auto* slider = dialog->findChild<QSlider*>("horizontalSlider");
        dial->setValue(120);
        QCOMPARE(dial->toolTip(), QString("120"));
        slider->setValue(-50);
        QCOMPARE(dialog->findChild<QLabel*>("decibelLabel")->text(), QString("-50 dB"));
        slider->setValue(-7);
        QCOMPARE(dialog->findChild<QLabel*>("decibelLabel")->text(), QString("-7 dB"));

        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog));
        QTest::mouseClick(dialog->findChild<QPushButton*>("closeButton"), Qt::LeftButton);
        QVERIFY(!dialog->isVisible());
    }
};

KADENZO_APP_TEST_MAIN(MeterTest)
#include "test_app_meter.moc"
