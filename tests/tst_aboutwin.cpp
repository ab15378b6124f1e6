#include <QApplication>
#include <QGuiApplication>
#include <QImage>
#include <QPushButton>
#include <QScreen>
#include <QTest>

#include "app/projectinfo.h"
#include "convert/imagecontrol.h"
#include "support.h"
#include "windows/aboutwin.h"
#include "windows/qconvert.h"

using namespace testsupport;

class TestAboutWin : public QObject {
    Q_OBJECT

private:
    // Every About window that exists and is not on its way out.
    static QList<AboutWin*> aboutWindows() {
        QList<AboutWin*> found;
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (auto* about = qobject_cast<AboutWin*>(w); about && about->isVisible())
                found.append(about);
        }
        return found;
    }
    static AboutWin* chooseAbout() {
        imagecontrol::instance().Show();
        if (!chooseMenuItem(&imagecontrol::instance(), QStringLiteral("AppleAbout")))
            return nullptr;
        return AboutWin::existing();
    }

private slots:
    void initTestCase() { quietPlatformNoise(); }

    void cleanup() {
        if (AboutWin* about = AboutWin::existing())
            about->Close();
        settle();
    }

    void aboutTwiceLeavesOneWindowInFront() {
        AboutWin* first = chooseAbout();
        QVERIFY(first);
        QTRY_COMPARE(QApplication::activeWindow(), first);
        AboutWin* second = chooseAbout();
        QCOMPARE(second, first);
        QCOMPARE(aboutWindows(), QList<AboutWin*>{first});
        QTRY_COMPARE(QApplication::activeWindow(), first);
    }

    // Each way of pressing Close takes the window away; About then shows a fresh one with
    // the same contents.
    void closeAndShowAgain_data() {
        QTest::addColumn<int>("how");
        QTest::newRow("Return") << int(Qt::Key_Return);
        QTest::newRow("Enter") << int(Qt::Key_Enter);
        QTest::newRow("click on Close") << 0;
    }
    void closeAndShowAgain() {
        QFETCH(int, how);
        QPointer<AboutWin> about = chooseAbout();
        QVERIFY(about);
        // A tool window says it is active as soon as it is shown; the keys go to it only once
        // the application has made it its active window.
        QTRY_COMPARE(QApplication::activeWindow(), about.data());
        QVERIFY(about->PushButton1->isDefault());
        if (how)
            QTest::keyClick(about, Qt::Key(how));
        else
            QTest::mouseClick(about->PushButton1, Qt::LeftButton);
        QVERIFY(!AboutWin::existing());
        settle();
        QVERIFY(about.isNull());
        QVERIFY(aboutWindows().isEmpty());

        AboutWin* again = chooseAbout();
        QVERIFY(again);
        QVERIFY(again->isVisible());
        QCOMPARE(again->StaticText1->text(), QStringLiteral("Morvelle"));
        QCOMPARE(again->StaticText6->text(), QStringLiteral("Version :  " MORVELLE_VERSION));
        QCOMPARE(again->StaticText7->text(), QStringLiteral(MORVELLE_HOMEPAGE));
        QCOMPARE(again->StaticText2->text(), QStringLiteral("\u00A9 2026 Morvelle developers"));
        QCOMPARE(again->PushButton1->text(), QStringLiteral("Close"));
        QVERIFY(!again->Canvas2->Backdrop().isNull());
    }

    // No title, no close box, no minimise button, a fixed size, and the controls where the
    // layout puts them in the content area below the menu bar.
    void windowAndLayout() {
        AboutWin& about = AboutWin::instance();
        QCOMPARE(about.windowTitle(), QString());
        QVERIFY(!(about.windowFlags() & Qt::WindowCloseButtonHint));
        QVERIFY(!(about.windowFlags() & Qt::WindowMinimizeButtonHint));
        QVERIFY(!(about.windowFlags() & Qt::WindowMaximizeButtonHint));
        QCOMPARE(about.minimumSize(), about.maximumSize());
        QWidget* content = about.contentArea();
        QCOMPARE(content->size(), QSize(333, 452));
        auto placed = [content](QWidget* control) {
            return QRect(control->mapTo(content, QPoint(0, 0)), control->size());
        };
        QCOMPARE(placed(about.Rectangle1), QRect(-10, 0, 351, 270));
        QCOMPARE(placed(about.StaticText1), QRect(18, 35, 293, 30));
        QCOMPARE(placed(about.StaticText2), QRect(80, 404, 165, 20));
        QCOMPARE(placed(about.PushButton1), QRect(121, 373, 90, 20));
        QCOMPARE(placed(about.Canvas2), QRect(100, 102, 125, 125));
        QCOMPARE(placed(about.StaticText6), QRect(18, 67, 293, 30));
        QCOMPARE(placed(about.StaticText7), QRect(78, 338, 173, 29));
    }

    // The white band covers the top 270 pixels, the logo is drawn on it, and below it the
    // window has its normal background.
    void bandAndLogoAreDrawn() {
        AboutWin& about = AboutWin::instance();
        const QImage image = about.contentArea()->grab().toImage();
        const QColor band(0xFF, 0xFE, 0xFE);
        QCOMPARE(QColor(image.pixel(2, 2)), band);
        QCOMPARE(QColor(image.pixel(330, 268)), band);
        QCOMPARE(QColor(image.pixel(2, 272)), about.palette().color(QPalette::Window));
        int drawn = 0;
        for (int y = 102; y < 227; ++y)
            for (int x = 100; x < 225; ++x)
                drawn += QColor(image.pixel(x, y)) != band;
        QVERIFY2(drawn > 125 * 125 / 10, "the logo is missing from the band");
    }

    // Centred, give or take the window frame's few pixels.
    void centredOverTheDropScreen() {
        AboutWin& about = AboutWin::instance();
        const QPoint centre = qconvert::instance().frameGeometry().center();
        QVERIFY((about.frameGeometry().center() - centre).manhattanLength() <= 8);
    }

    void centredOnTheScreenWithoutADropScreen() {
        qconvert::instance().Close();
        settle();
        AboutWin& about = AboutWin::instance();
        const QPoint centre = QGuiApplication::primaryScreen()->availableGeometry().center();
        QVERIFY((about.frameGeometry().center() - centre).manhattanLength() <= 8);
        qconvert::instance().Show();
    }
};

MORVELLE_TEST_MAIN(TestAboutWin)
#include "tst_aboutwin.moc"
