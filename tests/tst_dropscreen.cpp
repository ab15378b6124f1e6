#include "support.h"

#include "app/app.h"
#include "convert/imagecontrol.h"
#include "platform/filetypes.h"
#include "windows/qconvert.h"

#include <QApplication>
#include <QSignalSpy>
#include <QDir>
#include <QTest>
#include <QUrl>

using namespace testsupport;

class TestDropScreen : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString file(const QString& relative) {
        const QString path = m_dir.filePath(relative);
        QDir().mkpath(QFileInfo(path).path());
        if (!QFileInfo::exists(path))
            writePng(path);
        return path;
    }
    static qconvert& screen() { return qconvert::instance(); }
    static QStringList entries() {
        QStringList paths;
        for (const auto& item : screen().CryptFileArray)
            paths.append(item.AbsolutePath());
        return paths;
    }
    static QStringList column(int c) {
        QStringList cells;
        for (int r = 0; r < screen().ListBox1->ListCount(); ++r)
            cells.append(screen().ListBox1->Cell(r, c));
        return cells;
    }
    static bool promptShown() {
        return !screen().StaticText31->isHidden() && screen().StaticText44->isHidden();
    }

private slots:
    void initTestCase() { quietPlatformNoise(); }

    void init() {
        screen().Show();
        screen().BevelButton18_Action();
    }

    void launchShowsBothWindowsChooserInFront() {
        QVERIFY(qconvert::existing());
        QVERIFY(imagecontrol::existing());
        QVERIFY(qconvert::existing()->isVisible());
        QVERIFY(imagecontrol::existing()->isVisible());
        QCOMPARE(QApplication::activeWindow(), imagecontrol::existing());
        QVERIFY(promptShown());
        QCOMPARE(screen().windowTitle(), QStringLiteral("Drop Screen"));
        // The layout's 488 x 512 is the content area, which fills the window below the menu bar.
        QCOMPARE(screen().contentArea()->size(), QSize(488, 512));
        QCOMPARE(screen().contentArea()->geometry().bottomRight(), screen().rect().bottomRight());
        QCOMPARE(screen().ListBox1->geometry(), QRect(0, 227, 488, 220));
    }

    void dropListsFilesInDropOrder() {
        const QStringList paths = {file("c.png"), file("a.png"), file("sub/b.png")};
        QVERIFY(dropFiles(screen().ListBox1->viewport(), paths));
        QCOMPARE(entries(), paths);
        QCOMPARE(screen().ListBox1->ListCount(), 3);
        for (int r = 0; r < 3; ++r) {
            const QString path = screen().ListBox1->Cell(r, 1);
            QVERIFY(paths.contains(path));
            QCOMPARE(screen().ListBox1->Cell(r, 0), QFileInfo(path).fileName());
        }
        QVERIFY(!screen().StaticText44->isHidden());
        QVERIFY(screen().StaticText31->isHidden());
        QCOMPARE(QApplication::activeWindow(), imagecontrol::existing());
    }

    void dropWithoutLocalFilesIsRefused() {
        QVERIFY(!dropUrls(&screen(), {QUrl(QStringLiteral("https://example.org/cat.png"))}));
        QCOMPARE(screen().ListBox1->ListCount(), 0);
        QVERIFY(screen().CryptFileArray.isEmpty());
        QVERIFY(promptShown());
    }

    // Each row: the files of a first drop, the files of a second drop, how many duplicate
    // messages the second drop shows, and the files listed afterwards (sorted).
    void duplicatePass_data() {
        QTest::addColumn<QStringList>("first");
        QTest::addColumn<QStringList>("second");
        QTest::addColumn<int>("messages");
        QTest::addColumn<QStringList>("remaining");
        QTest::newRow("same file twice") << QStringList{"d/x.png", "d/x.png"}
                                         << QStringList{"d/y.png"} << 1
                                         << QStringList{"d/x.png", "d/y.png"};
        QTest::newRow("three times") << QStringList{"d/x.png", "d/x.png", "d/x.png"}
                                     << QStringList{"d/y.png"} << 2
                                     << QStringList{"d/x.png", "d/y.png"};
        QTest::newRow("same name, two folders") << QStringList{"d/x.png", "e/x.png"}
                                                << QStringList{"d/y.png"} << 0
                                                << QStringList{"d/x.png", "d/y.png", "e/x.png"};
        QTest::newRow("same name interleaved") << QStringList{"d/x.png", "e/x.png", "d/x.png"}
                                               << QStringList{"d/y.png"} << 1
                                               << QStringList{"d/x.png", "d/y.png", "e/x.png"};
        QTest::newRow("second drop repeats a file") << QStringList{"d/x.png"}
                                                    << QStringList{"d/x.png"} << 0
                                                    << QStringList{"d/x.png", "d/x.png"};
    }
    void duplicatePass() {
        QFETCH(QStringList, first);
        QFETCH(QStringList, second);
        QFETCH(int, messages);
        QFETCH(QStringList, remaining);
        auto paths = [this](const QStringList& rel) {
            QStringList p;
            for (const QString& r : rel)
                p.append(file(r));
            return p;
        };
        MessageAnswerer answerer;
        QVERIFY(dropFiles(&screen(), paths(first)));
        QVERIFY(answerer.texts.isEmpty());
        QVERIFY(dropFiles(&screen(), paths(second)));
        QCOMPARE(answerer.texts.size(), messages);
        for (const QString& t : answerer.texts)
            QCOMPARE(t, QStringLiteral(
                            "looks like you added Duplicate files. Please remove from List."));
        QStringList listed = column(1);
        QStringList kept = entries();
        listed.sort();
        kept.sort();
        QCOMPARE(listed, paths(remaining));
        QCOMPARE(kept, paths(remaining));
    }

    void removeSelectedRemovesThoseRows_data() {
        QTest::addColumn<QList<int>>("selected");
        QTest::addColumn<QStringList>("remaining");
        QTest::newRow("rows 1 and 3 of five")
            << QList<int>{1, 3} << QStringList{"r/a.png", "r/c.png", "r/e.png"};
        QTest::newRow("first and last") << QList<int>{0, 4} << QStringList{"r/b.png", "r/c.png",
                                                                         "r/d.png"};
        QTest::newRow("all five") << QList<int>{0, 1, 2, 3, 4} << QStringList{};
    }
    void removeSelectedRemovesThoseRows() {
        QFETCH(QList<int>, selected);
        QFETCH(QStringList, remaining);
        QStringList dropped;
        for (const char* n : {"r/e.png", "r/a.png", "r/d.png", "r/b.png", "r/c.png"})
            dropped.append(file(n));
        QVERIFY(dropFiles(&screen(), dropped));
        screen().ListBox1->setHeadingIndex(0); // rows a..e
        for (int row : selected)
            screen().ListBox1->setSelected(row, true);
        QTest::mouseClick(screen().BevelButton17, Qt::LeftButton);
        QStringList expected;
        for (const QString& r : remaining)
            expected.append(file(r));
        QCOMPARE(column(1), expected);
        QStringList kept = entries();
        kept.sort();
        QCOMPARE(kept, expected);
        QVERIFY(promptShown());
    }

    void removeSelectedWithNothingSelectedChangesNothing() {
        const QStringList paths = {file("n/a.png"), file("n/b.png")};
        QVERIFY(dropFiles(&screen(), paths));
        QTest::mouseClick(screen().BevelButton17, Qt::LeftButton);
        QCOMPARE(entries(), paths);
        QCOMPARE(screen().ListBox1->ListCount(), 2);
        QVERIFY(!screen().StaticText44->isHidden());
        QVERIFY(screen().StaticText31->isHidden());
    }

    void removeAllEmptiesListAndArray() {
        QVERIFY(dropFiles(&screen(), {file("m/a.png"), file("m/b.png")}));
        QTest::mouseClick(screen().BevelButton18, Qt::LeftButton);
        QCOMPARE(screen().ListBox1->ListCount(), 0);
        QVERIFY(screen().CryptFileArray.isEmpty());
        QVERIFY(promptShown());
    }

    void rowsArePaintedByTheHooks() {
        QVERIFY(dropFiles(&screen(), {file("p/a.png"), file("p/b.png"), file("p/c.png")}));
        screen().ListBox1->setHeadingIndex(0);
        screen().ListBox1->clearSelection();
        screen().ListBox1->setSelected(2, true);
        const QImage image = screen().ListBox1->viewport()->grab().toImage();
        auto rowRect = [](int row) {
            return screen().ListBox1->visualItemRect(screen().ListBox1->topLevelItem(row));
        };
        // Sample the right end of the File Name column, clear of any text.
        const int x = screen().ListBox1->columnWidth(0) - 3;
        auto pixel = [&](int row) {
            const QRect r = rowRect(row);
            return QColor(image.pixel(x, r.center().y()));
        };
        QCOMPARE(pixel(0), QColor(0xC3, 0xE1, 0xFE));
        QCOMPARE(pixel(1), QColor(Qt::white));
        QCOMPARE(pixel(2), QColor(0x6B, 0xB5, 0xFC));
        // The selected row's text is white: the row holds white pixels and nothing dark.
        const QRect selected = rowRect(2);
        int white = 0;
        int dark = 0;
        for (int px = selected.left() + 2; px < screen().ListBox1->columnWidth(0) - 4; ++px) {
            for (int py = selected.top() + 1; py < selected.bottom(); ++py) {
                const QColor c(image.pixel(px, py));
                white += c == Qt::white;
                dark += c.lightness() < 100;
            }
        }
        QVERIFY2(white > 5, "the selected row shows no white text");
        QCOMPARE(dark, 0);
        // An unselected row's text is dark.
        const QRect plain = rowRect(1);
        int plainDark = 0;
        for (int px = plain.left() + 2; px < 60; ++px)
            for (int py = plain.top() + 1; py < plain.bottom(); ++py)
                plainDark += QColor(image.pixel(px, py)).lightness() < 100;
        QVERIFY(plainDark > 5);
    }

    void closedDropScreenComesBackEmptyAndTakesDrops() {
        QVERIFY(dropFiles(&screen(), {file("q/a.png")}));
        QPointer<qconvert> old = qconvert::existing();
        QVERIFY(old->close());
        QVERIFY(!qconvert::existing());
        settle();
        QVERIFY(old.isNull());
        App::current()->fileNewconvert();
        QVERIFY(qconvert::existing());
        QCOMPARE(screen().ListBox1->ListCount(), 0);
        QVERIFY(screen().CryptFileArray.isEmpty());
        QVERIFY(screen().isVisible());
        QVERIFY(promptShown());
        QVERIFY(dropFiles(&screen(), {file("q/b.png")}));
        QCOMPARE(entries(), QStringList{file("q/b.png")});
    }

    void newDropScreenKeepsAnOpenOne() {
        QVERIFY(dropFiles(&screen(), {file("k/a.png")}));
        qconvert* before = qconvert::existing();
        App::current()->fileNewconvert();
        QCOMPARE(qconvert::existing(), before);
        QCOMPARE(entries(), QStringList{file("k/a.png")});
    }

    // This desktop has no menu bar outside the windows: once the last window is closed,
    // nothing could reach the application again, so it ends.
    void closingTheLastWindowEndsTheApplication() {
        QSignalSpy gone(App::current(), &App::noWindowLeft);
        imagecontrol::instance().Show();
        QVERIFY(imagecontrol::existing()->close());
        settle();
        QCOMPARE(gone.size(), 0);
        App::current()->fileNewconvert(); // the Drop Screen is still there: nothing changes
        QVERIFY(screen().close());
        settle();
        QCOMPARE(gone.size(), 1);
        // Put the two working windows back for what follows.
        App::current()->fileNewconvert();
        imagecontrol::instance().Show();
    }

    void fileTypesInOrder() {
        const QList<platform::FileType>& types = platform::FileTypes();
        QCOMPARE(types.size(), 10);
        const QStringList names = {"text/html",
                                   "application/rtf",
                                   "application/text",
                                   "application/x-xml",
                                   "special/any",
                                   "text/plain; charset=\"utf-16\"",
                                   "any",
                                   "application/vnd.ms-excel",
                                   "",
                                   "image/tiff"};
        for (int i = 0; i < 10; ++i)
            QCOMPARE(types[i].Name, names[i]);
        QCOMPARE(types[0].Extensions, QStringLiteral(".htm;.html;.html"));
        QCOMPARE(types[1].MacType, QStringLiteral("RTF "));
        QCOMPARE(types[2].Extensions, QStringLiteral(".1st;.nfo;.readme;readme"));
        QCOMPARE(types[3].MacCreator, QStringLiteral("DmWr"));
        QCOMPARE(types[4].Extensions, QString());
        QCOMPARE(types[5].MacCreator, QString::fromUtf8("St\xC3\xBFl"));
        QCOMPARE(types[5].MacType, QStringLiteral("utxt"));
        QCOMPARE(types[7].MacType, QStringLiteral("XLS "));
        QCOMPARE(types[7].MacCreator, QStringLiteral("XCEL"));
        QCOMPARE(types[8].MacType, QString());
        QCOMPARE(types[9].Extensions, QStringLiteral(".jfx;.tif;.tiff"));
    }
};

MORVELLE_TEST_MAIN(TestDropScreen)
#include "tst_dropscreen.moc"
