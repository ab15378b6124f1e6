#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QDir>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTest>
#include <QTextEdit>
#include <QUrl>

#include "app/app.h"
#include "app/menubar1.h"
#include "app/projectinfo.h"
#include "convert/imagecontrol.h"
#include "platform/window.h"
#include "support.h"
#include "windows/aboutwin.h"
#include "windows/qconvert.h"

using namespace testsupport;
using platform::MenuItem;

// A window with a one-line and a multi-line text field and a button, as the user would type
// into: the edit commands act on whichever of them has the focus.
class EditWindow : public platform::Window, public platform::Implicit<EditWindow> {
    Q_OBJECT
public:
    EditWindow() : Window(layout()) {
        field = new QLineEdit(this);
        field->setGeometry(10, 10, 200, 22);
        text = new QTextEdit(this);
        text->setGeometry(10, 40, 200, 80);
        button = new QPushButton(QStringLiteral("OK"), this);
        button->setGeometry(10, 130, 80, 22);
    }
    QLineEdit* field;
    QTextEdit* text;
    QPushButton* button;

private:
    static platform::WindowLayout layout() {
        platform::WindowLayout l;
        l.Width = 240;
        l.Height = 170;
        return l;
    }
};

// Stands in for the desktop's opener: keeps every address handed to it.
class UrlRecorder : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl& url) { opened.append(url); }
};

class TestMenus : public QObject {
    Q_OBJECT

private:
    UrlRecorder urls_;
    QTemporaryDir dir_;

    static QMenuBar* barOf(QWidget* window) {
        return window->findChild<QMenuBar*>(QString(), Qt::FindDirectChildrenOnly);
    }
    // One line per entry of a menu: name | text ("-" for a separator) | shortcut.
    static QStringList entries(QMenu* menu) {
        QStringList lines;
        for (QAction* a : menu->actions()) {
            lines.append(QStringLiteral("%1|%2|%3")
                             .arg(a->objectName(),
                                  a->isSeparator() ? QStringLiteral("-") : a->text(),
                                  a->shortcut().toString(QKeySequence::PortableText)));
        }
        return lines;
    }
    // The implicit instance of the window class of this name.
    static platform::Window& windowNamed(const QString& name) {
        if (name == QLatin1String("imagecontrol"))
            return imagecontrol::instance();
        if (name == QLatin1String("AboutWin"))
            return AboutWin::instance();
        return qconvert::instance();
    }
    static void closeAbout() {
        if (AboutWin* about = AboutWin::existing())
            about->Close();
        settle();
    }

private slots:
    void initTestCase() {
        quietPlatformNoise();
        for (const char* scheme : {"mailto", "https", "http"})
            QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), &urls_, "open");
    }
    void cleanupTestCase() {
        for (const char* scheme : {"mailto", "https", "http"})
            QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
    }
    void init() { urls_.opened.clear(); }

    // Every entry of the bar in the order it is built: its menu, name, kind, text and
    // shortcut text, and the keys that shortcut stands for.
    void menuTree_data() {
        QTest::addColumn<int>("position");
        QTest::addColumn<QString>("parent");
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("apple");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("shortcut");
        QTest::addColumn<QKeySequence>("keys");
        const QKeySequence none;
        int p = 0;
        auto row = [&p](const char* parent, const char* name, bool apple, const char* text,
                        const char* shortcut, const QKeySequence& keys) {
            QTest::addRow("%d %s", p, name)
                << p << QString::fromLatin1(parent) << QString::fromLatin1(name) << apple
                << QString::fromLatin1(text) << QString::fromLatin1(shortcut) << keys;
            ++p;
        };
        row("", "fileMenu", false, "File", "", none);
        row("fileMenu", "UntitledMenu1", false, "-", "", none);
        row("fileMenu", "fileNewconvert", false, "New DropScreen", "Cmd+n", Qt::CTRL | Qt::Key_N);
        row("", "EditMenu", false, "&Edit", "", none);
        row("EditMenu", "EditUndo", false, "&Undo", "Cmd+Z", Qt::CTRL | Qt::Key_Z);
        row("EditMenu", "UntitledMenu0", false, "-", "", none);
        row("EditMenu", "EditCut", false, "Cu&t", "Cmd+X", Qt::CTRL | Qt::Key_X);
        row("EditMenu", "EditCopy", false, "&Copy", "Cmd+C", Qt::CTRL | Qt::Key_C);
        row("EditMenu", "EditPaste", false, "&Paste", "Cmd+V", Qt::CTRL | Qt::Key_V);
        row("EditMenu", "EditClear", false, "Clear", "", none);
        row("EditMenu", "UntitledMenu6", true, "-", "", none);
        row("EditMenu", "AppleDonateSupport", true, "   Support    ", "", none);
        row("EditMenu", "EditWebsite", true, "   Website", "", none);
        row("EditMenu", "UntitledMenu5", true, "-", "", none);
        row("EditMenu", "UntitledMenu4", true, "-", "", none);
        row("EditMenu", "AppleAbout", true, "   About", "", none);
        row("EditMenu", "UntitledMenu3", true, "-", "", none);
    }
    void menuTree() {
        QFETCH(int, position);
        QFETCH(QString, parent);
        QFETCH(QString, name);
        QFETCH(bool, apple);
        QFETCH(QString, text);
        QFETCH(QString, shortcut);
        QFETCH(QKeySequence, keys);
        QList<QPair<QString, const MenuItem*>> built;
        for (const auto& menu : MenuBar1::instance().menus()) {
            built.append({QString(), menu.get()});
            for (const auto& item : menu->items())
                built.append({menu->Name, item.get()});
        }
        QCOMPARE(built.size(), 17);
        const auto& [builtParent, item] = built.at(position);
        QCOMPARE(builtParent, parent);
        QCOMPARE(item->Name, name);
        QCOMPARE(item->kind() == MenuItem::Kind::AppleMenuItem, apple);
        QCOMPARE(item->Text, text);
        QCOMPARE(item->KeyboardShortcut, shortcut);
        QCOMPARE(item->shortcut(), keys);
        QVERIFY(item->AutoEnable);
    }

    // Each window shows the same bar above its content: the application menu first, with
    // Support, Website and About among their separators and Quit last; then File and Edit.
    // The frameless About window keeps the bar's commands but shows no bar in its frame. Every
    // menu has an access key, and F10 opens the first.
    void everyWindowShowsTheBar_data() {
        QTest::addColumn<QString>("window");
        QTest::addColumn<bool>("shown");
        QTest::newRow("Drop Screen") << "qconvert" << true;
        QTest::newRow("format chooser") << "imagecontrol" << true;
        QTest::newRow("About") << "AboutWin" << false;
    }
    void everyWindowShowsTheBar() {
        QFETCH(QString, window);
        QFETCH(bool, shown);
        platform::Window* w = &windowNamed(window);
        w->Show();
        QTRY_COMPARE(QApplication::activeWindow(), w);
        QMenuBar* bar = barOf(w);
        QVERIFY(bar);
        QCOMPARE(bar->isVisible(), shown);
        QCOMPARE(w->contentArea()->size(), QSize(w->layout().Width, w->layout().Height));
        if (shown) {
            QCOMPARE(bar->geometry().top(), 0);
            QCOMPARE(w->contentArea()->geometry().top(), bar->geometry().bottom() + 1);
            QTest::keyClick(w, Qt::Key_F10);
            QTRY_VERIFY(bar->actions().first()->menu()->isVisible());
            bar->actions().first()->menu()->close();
        } else {
            QCOMPARE(w->contentArea(), w);
        }

        const QList<QAction*> menus = bar->actions();
        QCOMPARE(menus.size(), 3);
        QCOMPARE(menus[0]->text(), QStringLiteral("&Morvelle"));
        QCOMPARE(menus[1]->text(), QStringLiteral("&File"));
        QCOMPARE(menus[1]->menu()->objectName(), QStringLiteral("fileMenu"));
        QCOMPARE(menus[2]->text(), QStringLiteral("&Edit"));
        QCOMPARE(menus[2]->menu()->objectName(), QStringLiteral("EditMenu"));
        QCOMPARE(entries(menus[0]->menu()),
                 QStringList({"UntitledMenu6|-|", "AppleDonateSupport|   Support    |",
                              "EditWebsite|   Website|", "UntitledMenu5|-|", "UntitledMenu4|-|",
                              "AppleAbout|   About|", "UntitledMenu3|-|", "|Quit|Ctrl+Q"}));
        QCOMPARE(entries(menus[1]->menu()),
                 QStringList({"UntitledMenu1|-|", "fileNewconvert|New DropScreen|Ctrl+N"}));
        QCOMPARE(
            entries(menus[2]->menu()),
            QStringList({"EditUndo|&Undo|Ctrl+Z", "UntitledMenu0|-|", "EditCut|Cu&t|Ctrl+X",
                         "EditCopy|&Copy|Ctrl+C", "EditPaste|&Paste|Ctrl+V", "EditClear|Clear|"}));
        closeAbout();
    }

    // Ctrl+N, pressed in any working window, brings the one Drop Screen to the front: the
    // open one unchanged, or a new empty one when it was closed.
    void ctrlNShowsTheDropScreen_data() {
        QTest::addColumn<QString>("pressedIn");
        QTest::addColumn<bool>("closedBefore");
        QTest::newRow("chooser, Drop Screen closed") << "imagecontrol" << true;
        QTest::newRow("chooser, Drop Screen open") << "imagecontrol" << false;
        QTest::newRow("About, Drop Screen closed") << "AboutWin" << true;
        QTest::newRow("Drop Screen itself") << "qconvert" << false;
    }
    void ctrlNShowsTheDropScreen() {
        QFETCH(QString, pressedIn);
        QFETCH(bool, closedBefore);
        qconvert::instance().BevelButton18_Action();
        const QString picture = writePng(dir_.filePath(QStringLiteral("n.png")));
        QVERIFY(dropFiles(&qconvert::instance(), {picture}));
        QPointer<qconvert> before = qconvert::existing();
        if (closedBefore) {
            before->Close();
            settle();
            QVERIFY(!qconvert::existing());
        }
        platform::Window* target = &windowNamed(pressedIn);
        target->Show();
        QVERIFY(QTest::qWaitForWindowActive(target));

        QTest::keyClick(target, Qt::Key_N, Qt::ControlModifier);

        qconvert* now = qconvert::existing();
        QVERIFY(now);
        QVERIFY(now->isVisible());
        QTRY_COMPARE(QApplication::activeWindow(), now);
        int dropScreens = 0;
        for (QWidget* w : QApplication::topLevelWidgets())
            dropScreens += qobject_cast<qconvert*>(w) != nullptr;
        QCOMPARE(dropScreens, 1);
        if (closedBefore) {
            QVERIFY(before.isNull());
            QCOMPARE(now->ListBox1->ListCount(), 0);
            QVERIFY(now->CryptFileArray.isEmpty());
        } else {
            QCOMPARE(now, before.data());
            QCOMPARE(now->CryptFileArray.size(), 1);
            QCOMPARE(now->CryptFileArray.first().AbsolutePath(), picture);
        }
        closeAbout();
    }

    // Support and Website hand exactly their addresses to the desktop's opener.
    void addressesGoToTheOpener_data() {
        QTest::addColumn<QString>("item");
        QTest::addColumn<QUrl>("address");
        QTest::newRow("Support") << "AppleDonateSupport"
                                 << QUrl(QStringLiteral("mailto:" MORVELLE_SUPPORT_ADDRESS));
        QTest::newRow("Website") << "EditWebsite" << QUrl(QStringLiteral(MORVELLE_HOMEPAGE));
    }
    void addressesGoToTheOpener() {
        QFETCH(QString, item);
        QFETCH(QUrl, address);
        imagecontrol::instance().Show();
        QVERIFY(chooseMenuItem(&imagecontrol::instance(), item));
        QCOMPARE(urls_.opened, QList<QUrl>{address});
    }

    // The Edit items act on the focused text field of the window whose menu is used. Each
    // row: which field, its text, the selection, the clipboard, what is typed first, the
    // item chosen, and the field and clipboard afterwards.
    void editCommands_data() {
        QTest::addColumn<bool>("multiLine");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("selectionStart");
        QTest::addColumn<int>("selectionLength");
        QTest::addColumn<QString>("clipboard");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("item");
        QTest::addColumn<QString>("textAfter");
        QTest::addColumn<QString>("clipboardAfter");
        QTest::newRow("Cut") << false << "Untitled" << 0 << 5 << "old"
                             << ""
                             << "EditCut"
                             << "led"
                             << "Untit";
        QTest::newRow("Copy") << false << "Untitled" << 2 << 4 << "old"
                              << ""
                              << "EditCopy"
                              << "Untitled"
                              << "titl";
        QTest::newRow("Paste over a selection") << false << "Untitled" << 0 << 3 << "Sunset"
                                                << ""
                                                << "EditPaste"
                                                << "Sunsetitled"
                                                << "Sunset";
        QTest::newRow("Paste at the cursor") << false << "Untitled" << 8 << 0 << "-2"
                                             << ""
                                             << "EditPaste"
                                             << "Untitled-2"
                                             << "-2";
        QTest::newRow("Clear") << false << "Untitled" << 0 << 3 << "old"
                               << ""
                               << "EditClear"
                               << "itled"
                               << "old";
        QTest::newRow("Clear without a selection") << false << "Untitled" << 8 << 0 << "old"
                                                   << ""
                                                   << "EditClear"
                                                   << "Untitled"
                                                   << "old";
        QTest::newRow("Undo typing") << false << "Untitled" << 8 << 0 << "old"
                                     << "X"
                                     << "EditUndo"
                                     << "Untitled"
                                     << "old";
        QTest::newRow("Cut, multi-line") << true << "Untitled" << 3 << 5 << "old"
                                         << ""
                                         << "EditCut"
                                         << "Unt"
                                         << "itled";
        QTest::newRow("Paste, multi-line") << true << "Untitled" << 0 << 0 << "My "
                                           << ""
                                           << "EditPaste"
                                           << "My Untitled"
                                           << "My ";
    }
    void editCommands() {
        QFETCH(bool, multiLine);
        QFETCH(QString, text);
        QFETCH(int, selectionStart);
        QFETCH(int, selectionLength);
        QFETCH(QString, clipboard);
        QFETCH(QString, typed);
        QFETCH(QString, item);
        QFETCH(QString, textAfter);
        QFETCH(QString, clipboardAfter);
        // One-line cases work on the chooser's desired-name field; the multi-line ones on a
        // text area of a window of our own.
        platform::Window* window = nullptr;
        QLineEdit* field = nullptr;
        QTextEdit* area = nullptr;
        if (multiLine) {
            window = &EditWindow::instance();
            area = EditWindow::instance().text;
        } else {
            window = &imagecontrol::instance();
            field = imagecontrol::instance().EditField3;
        }
        window->Show();
        QVERIFY(QTest::qWaitForWindowActive(window));
        QApplication::clipboard()->setText(clipboard);
        QWidget* focus;
        if (multiLine) {
            area->setPlainText(text);
            QTextCursor cursor = area->textCursor();
            cursor.setPosition(selectionStart);
            cursor.setPosition(selectionStart + selectionLength, QTextCursor::KeepAnchor);
            area->setTextCursor(cursor);
            focus = area;
        } else {
            field->setText(text);
            field->setSelection(selectionStart, selectionLength);
            focus = field;
        }
        focus->setFocus();
        QTest::keyClicks(focus, typed);

        QVERIFY(chooseMenuItem(window, item));

        QCOMPARE(multiLine ? area->toPlainText() : field->text(), textAfter);
        QCOMPARE(QApplication::clipboard()->text(), clipboardAfter);
        QCOMPARE(QApplication::focusWidget(), focus);
    }

    // With no text control focused the Edit items change nothing.
    void editCommandsWithoutTextFocusDoNothing() {
        EditWindow& window = EditWindow::instance();
        window.Show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        window.field->setText(QStringLiteral("Untitled"));
        window.field->selectAll();
        window.button->setFocus();
        QApplication::clipboard()->setText(QStringLiteral("old"));
        for (const char* item : {"EditCut", "EditCopy", "EditPaste", "EditClear", "EditUndo"}) {
            QVERIFY(chooseMenuItem(&window, QString::fromLatin1(item)));
            QCOMPARE(window.field->text(), QStringLiteral("Untitled"));
            QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("old"));
        }
    }
};

MORVELLE_TEST_MAIN(TestMenus)
#include "tst_menus.moc"
