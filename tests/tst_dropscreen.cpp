#include <QApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QHeaderView>
#include <QMimeData>
#include <QSignalSpy>
#include <QTest>
#include <QUrl>

#include "app/app.h"
#include "convert/imagecontrol.h"
#include "platform/filetypes.h"
#include "support.h"
#include "windows/aboutwin.h"
#include "windows/doner.h"
#include "windows/progressdes.h"
#include "windows/qconvert.h"

using namespace testsupport;

class TestDropScreen : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir_;
    QString file(const QString& relative) {
        const QString path = dir_.filePath(relative);
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
        QTest::newRow("same file twice")
            << QStringList{"d/x.png", "d/x.png"} << QStringList{"d/y.png"} << 1
            << QStringList{"d/x.png", "d/y.png"};
        QTest::newRow("three times")
            << QStringList{"d/x.png", "d/x.png", "d/x.png"} << QStringList{"d/y.png"} << 1
            << QStringList{"d/x.png", "d/y.png"};
        QTest::newRow("same name, two folders")
            << QStringList{"d/x.png", "e/x.png"} << QStringList{"d/y.png"} << 0
            << QStringList{"d/x.png", "d/y.png", "e/x.png"};
        QTest::newRow("same name interleaved")
            << QStringList{"d/x.png", "e/x.png", "d/x.png"} << QStringList{"d/y.png"} << 1
            << QStringList{"d/x.png", "d/y.png", "e/x.png"};
        QTest::newRow("second drop repeats a file")
            << QStringList{"d/x.png"} << QStringList{"d/x.png"} << 0
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

    // Many duplicates in one list: every one goes, with its one entry, and the user is told
    // once for the drop rather than once for each.
    void manyDuplicatesOneMessage() {
        QStringList twice;
        for (int i = 0; i < 1000; ++i) {
            const QString path =
                dir_.filePath(QStringLiteral("many/f%1.png").arg(i, 4, 10, QLatin1Char('0')));
            QDir().mkpath(QFileInfo(path).path());
            QFile touch(path);
            QVERIFY(touch.open(QIODevice::WriteOnly));
            twice << path << path;
        }
        MessageAnswerer answerer;
        QVERIFY(dropFiles(&screen(), twice));
        QCOMPARE(screen().ListBox1->ListCount(), 2000);
        QVERIFY(dropFiles(&screen(), {file("many/z.png")}));
        QCOMPARE(answerer.texts,
                 QStringList{"looks like you added Duplicate files. Please remove from List."});
        QStringList expected = twice;
        expected.removeDuplicates();
        expected.append(file("many/z.png"));
        QStringList listed = column(1);
        QStringList kept = entries();
        listed.sort();
        kept.sort();
        QCOMPARE(listed, expected);
        QCOMPARE(kept, expected);
    }

    // The drop event is accepted and over before the drop handler runs, so the program that
    // dropped the files does not wait on the duplicate message.
    void dropIsOverBeforeItsHandlerRuns() {
        const QStringList paths = {file("w/a.png"), file("w/a.png")};
        QVERIFY(dropFiles(&screen(), paths));
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(file("w/b.png"))});
        const QPoint at = screen().rect().center();
        QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&screen(), &enter);
        QDropEvent drop(QPointF(at), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        MessageAnswerer answerer;
        QApplication::sendEvent(&screen(), &drop);
        QVERIFY(drop.isAccepted());
        QCOMPARE(screen().ListBox1->ListCount(), 2);
        QVERIFY(!QApplication::activeModalWidget());
        QTRY_COMPARE(answerer.texts.size(), 1);
        QTRY_COMPARE(entries(), (QStringList{file("w/a.png"), file("w/b.png")}));
        QCOMPARE(column(0), (QStringList{"a.png", "b.png"}));
    }

    void removeSelectedRemovesThoseRows_data() {
        QTest::addColumn<QList<int>>("selected");
        QTest::addColumn<QStringList>("remaining");
        QTest::newRow("rows 1 and 3 of five")
            << QList<int>{1, 3} << QStringList{"r/a.png", "r/c.png", "r/e.png"};
        QTest::newRow("first and last")
            << QList<int>{0, 4} << QStringList{"r/b.png", "r/c.png", "r/d.png"};
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

    // The keyboard's ways to Remove Selected: Delete or BackSpace in the list, Space or Return
    // on the focused button.
    void keysRemoveTheSelectedRow_data() {
        QTest::addColumn<bool>("inList");
        QTest::addColumn<int>("key");
        QTest::newRow("Delete in the list") << true << int(Qt::Key_Delete);
        QTest::newRow("BackSpace in the list") << true << int(Qt::Key_Backspace);
        QTest::newRow("Space on Remove Selected") << false << int(Qt::Key_Space);
        QTest::newRow("Return on Remove Selected") << false << int(Qt::Key_Return);
    }
    void keysRemoveTheSelectedRow() {
        QFETCH(bool, inList);
        QFETCH(int, key);
        const QStringList paths = {file("k/a.png"), file("k/b.png")};
        QVERIFY(dropFiles(&screen(), paths));
        screen().ListBox1->setSelected(0, true);
        screen().Show();
        QVERIFY(QTest::qWaitForWindowActive(&screen()));
        QWidget* target =
            inList ? static_cast<QWidget*>(screen().ListBox1) : screen().BevelButton17;
        target->setFocus(Qt::TabFocusReason);
        QTest::keyClick(target, Qt::Key(key));
        QCOMPARE(entries(), QStringList{paths[1]});
        QCOMPARE(column(1), QStringList{paths[1]});
    }

    // Tab goes through every control of the window, in reading order, and comes back.
    void tabReachesEveryControl_data() {
        QTest::addColumn<bool>("chooser");
        QTest::addColumn<QStringList>("order");
        QTest::newRow("Drop Screen")
            << false << QStringList{"Files to convert", "Remove Selected", "Remove All"};
        QTest::newRow("chooser") << true
                                 << QStringList{"Auto ( Batch-Multiple Files )",
                                                "Desired Image File Name",
                                                "JPEG",
                                                "GIF",
                                                "TIFF",
                                                "TGA",
                                                "PNG",
                                                "PSD",
                                                "PDF",
                                                "JPG2",
                                                "BMP"};
    }
    void tabReachesEveryControl() {
        QFETCH(bool, chooser);
        QFETCH(QStringList, order);
        platform::Window* window =
            chooser ? static_cast<platform::Window*>(&imagecontrol::instance()) : &screen();
        window->Show();
        QTRY_COMPARE(QApplication::activeWindow(), window);
        QWidget* first = window->findChildren<QWidget*>().constFirst();
        for (QWidget* w : window->findChildren<QWidget*>()) {
            if (w->accessibleName() == order.first())
                first = w;
        }
        first->setFocus(Qt::TabFocusReason);
        QStringList reached;
        for (qsizetype i = 0; i <= order.size(); ++i) {
            reached.append(QApplication::focusWidget()->accessibleName());
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        }
        QCOMPARE(reached, order + QStringList{order.first()});
    }

    // The box's label is part of the box: a click on it switches the box, as on the box.
    void clickOnTheBoxLabelSwitchesIt() {
        imagecontrol& chooser = imagecontrol::instance();
        const bool before = chooser.CheckBox2->isChecked();
        QTest::mouseClick(chooser.StaticText11, Qt::LeftButton);
        QCOMPARE(chooser.CheckBox2->isChecked(), !before);
        QCOMPARE(chooser.EditField3->isEnabled(), before);
        QTest::mouseClick(chooser.StaticText11, Qt::LeftButton);
        QCOMPARE(chooser.CheckBox2->isChecked(), before);
    }

    // The sort arrow shows only while the rows stand in its order; a row's tooltip shows its
    // whole name and location.
    void sortArrowAndTooltip() {
        const QStringList paths = {file("s/b.png"), file("s/a.png")};
        QVERIFY(dropFiles(&screen(), paths));
        QHeaderView* heading = screen().ListBox1->header();
        QVERIFY(!heading->isSortIndicatorShown());
        QTest::mouseClick(heading->viewport(), Qt::LeftButton, {},
                          QPoint(heading->sectionPosition(0) + 10, heading->height() / 2));
        QVERIFY(heading->isSortIndicatorShown());
        QCOMPARE(heading->sortIndicatorSection(), 0);
        QCOMPARE(column(1), (QStringList{paths[1], paths[0]}));
        QVERIFY(dropFiles(&screen(), {file("s/c.png")}));
        QVERIFY(!heading->isSortIndicatorShown());
        QTreeWidgetItem* row = screen().ListBox1->topLevelItem(0);
        QCOMPARE(row->toolTip(0), QStringLiteral("a.png\n") + paths[1]);
        QCOMPARE(row->toolTip(1), row->toolTip(0));
    }

    void removeAllEmptiesListAndArray() {
        QVERIFY(dropFiles(&screen(), {file("m/a.png"), file("m/b.png")}));
        QTest::mouseClick(screen().BevelButton18, Qt::LeftButton);
        QCOMPARE(screen().ListBox1->ListCount(), 0);
        QVERIFY(screen().CryptFileArray.isEmpty());
        QVERIFY(promptShown());
    }

    // Even rows are shaded, odd rows keep the list's background, a selected row is white on
    // blue; on every row the text stands out from what it is drawn on.
    void rowsArePaintedByTheHooks_data() {
        QTest::addColumn<int>("row");
        QTest::addColumn<bool>("selected");
        QTest::addColumn<QColor>("background");
        const QColor shaded(0xC3, 0xE1, 0xFE);
        const QColor selection(0x6B, 0xB5, 0xFC);
        QTest::newRow("even") << 0 << false << shaded;
        QTest::newRow("odd") << 1 << false << QColor(Qt::white);
        QTest::newRow("even, selected") << 2 << true << selection;
        QTest::newRow("odd, selected") << 3 << true << selection;
    }
    void rowsArePaintedByTheHooks() {
        QFETCH(int, row);
        QFETCH(bool, selected);
        QFETCH(QColor, background);
        QVERIFY(dropFiles(&screen(),
                          {file("p/a.png"), file("p/b.png"), file("p/c.png"), file("p/d.png")}));
        platform::Listbox* list = screen().ListBox1;
        list->setHeadingIndex(0);
        list->clearSelection();
        list->setSelected(2, true);
        list->setSelected(3, true);
        const QImage image = list->viewport()->grab().toImage();
        const QRect cell = list->visualItemRect(list->topLevelItem(row));
        // The right end of the File Name column is clear of any text.
        const int nameEnd = list->columnWidth(0);
        QCOMPARE(QColor(image.pixel(nameEnd - 3, cell.center().y())), background);

        int white = 0;
        int dark = 0;
        for (int x = cell.left() + 2; x < nameEnd - 4; ++x) {
            for (int y = cell.top() + 1; y < cell.bottom(); ++y) {
                const QColor c(image.pixel(x, y));
                // Thin strokes of white text are blended into the blue at their edges.
                white += qMin(c.red(), qMin(c.green(), c.blue())) >= 224;
                dark += c.lightness() < 100;
            }
        }
        if (selected) {
            QVERIFY2(white > 5, "the selected row shows no white text");
            QCOMPARE(dark, 0);
        } else {
            QVERIFY2(dark > 5, "the row's text is not drawn darker than its background");
        }
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

    // Every text is set at its layout's size in the one face the layouts were drawn for,
    // and fits its box without being cut.
    void everyTextAtItsSizeFitsItsBox_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("size");
        const std::pair<const char*, int> texts[] = {{"Drop More", 20},
                                                     {"Drag and Drop image \nformats here", 18},
                                                     {"Remove All", 12},
                                                     {"Remove Selected", 12},
                                                     {"JPEG", 11},
                                                     {"GIF", 11},
                                                     {"TIFF", 11},
                                                     {"TGA", 11},
                                                     {"PNG", 11},
                                                     {"PSD", 11},
                                                     {"PDF", 11},
                                                     {"JPG2", 11},
                                                     {"BMP", 11},
                                                     {"Desired Image File Name: ", 12},
                                                     {"Auto ( Batch-Multiple Files )", 12},
                                                     {"Choose format to convert", 12},
                                                     {"Processing,  please wait...", 12},
                                                     {"0%", 12},
                                                     {"100%", 12},
                                                     {"DONE", 22},
                                                     {"Morvelle", 16},
                                                     {"Version :  3.6.1.2", 12},
                                                     {"https://morvelle.example/", 12},
                                                     {"\u00A9 2026 Morvelle developers", 10}};
        for (const auto& [text, size] : texts)
            QTest::newRow(text) << QString::fromUtf8(text) << size;
    }
    void everyTextAtItsSizeFitsItsBox() {
        QFETCH(QString, text);
        QFETCH(int, size);
        imagecontrol::instance();
        progressdes::instance();
        doner::instance();
        AboutWin::instance();
        platform::StaticText* label = nullptr;
        for (platform::Window* w : platform::Window::existingWindows()) {
            for (auto* t : w->findChildren<platform::StaticText*>()) {
                if (t->text() == text)
                    label = t;
            }
        }
        progressdes::instance().Close();
        doner::instance().Close();
        AboutWin::instance().Close();
        QVERIFY2(label, qPrintable(text));
        QCOMPARE(label->font().pixelSize(), size);
        QCOMPARE(QFontInfo(label->font()).family(), QStringLiteral("Liberation Sans"));
        const QFontMetrics metrics(label->font());
        for (const QString& line : text.split(QLatin1Char('\n')))
            QVERIFY2(metrics.horizontalAdvance(line) <= label->width(),
                     qPrintable(QStringLiteral("%1 px wide in a box of %2")
                                    .arg(metrics.horizontalAdvance(line))
                                    .arg(label->width())));
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
