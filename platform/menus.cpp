#include "menus.h"

#include <QAction>
#include <QGuiApplication>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QTextEdit>

#include "application.h"
#include "exceptions.h"

namespace platform {

QKeySequence MenuItem::shortcut() const {
    QString text = KeyboardShortcut;
    text.replace(QLatin1String("Cmd+"), QLatin1String("Ctrl+"), Qt::CaseInsensitive);
    return QKeySequence::fromString(text, QKeySequence::PortableText);
}

void MenuItem::Append(std::unique_ptr<MenuItem> item) {
    items_.push_back(std::move(item));
}

void MenuBar::Append(std::unique_ptr<MenuItem> menu) {
    menus_.push_back(std::move(menu));
}

MenuItem& MenuBar::Child(const QString& name) {
    for (const auto& menu : menus_) {
        if (menu->Name == name)
            return *menu;
    }
    throw NilObjectException(QStringLiteral("menu %1").arg(name));
}

namespace {
void addEntry(QMenu* menu, const MenuItem& item, QWidget* window) {
    if (item.isSeparator()) {
        menu->addSeparator()->setObjectName(item.Name);
        return;
    }
    QAction* action = menu->addAction(item.Text);
    action->setObjectName(item.Name);
    action->setShortcut(item.shortcut());
    const QString name = item.Name;
    QObject::connect(action, &QAction::triggered, window, [name, window] {
        if (Application* app = Application::current())
            app->menuItemChosen(name, window);
    });
}

// Clear removes the selection, and nothing without one.
void removeSelection(QLineEdit* line) {
    line->insert(QString());
}
void removeSelection(QTextEdit* text) {
    text->textCursor().removeSelectedText();
}

template <class TextControl> bool edit(TextControl* control, const QString& itemName) {
    if (itemName == QLatin1String("EditUndo"))
        control->undo();
    else if (itemName == QLatin1String("EditCut"))
        control->cut();
    else if (itemName == QLatin1String("EditCopy"))
        control->copy();
    else if (itemName == QLatin1String("EditPaste"))
        control->paste();
    else if (itemName == QLatin1String("EditClear"))
        removeSelection(control);
    else
        return false;
    return true;
}

// Every menu of the bar has an access key: a title that marks none gets the first of its
// letters that no other title uses.
QStringList titlesWithAccessKeys(const QStringList& titles) {
    QString taken;
    for (const QString& title : titles) {
        const qsizetype marker = title.indexOf(QLatin1Char('&'));
        if (marker >= 0 && marker + 1 < title.size())
            taken += title.at(marker + 1).toLower();
    }
    QStringList result;
    for (const QString& title : titles) {
        QString shown = title;
        if (!title.contains(QLatin1Char('&'))) {
            for (qsizetype i = 0; i < title.size(); ++i) {
                const QChar c = title.at(i).toLower();
                if (c.isLetter() && !taken.contains(c)) {
                    taken += c;
                    shown.insert(i, QLatin1Char('&'));
                    break;
                }
            }
        }
        result.append(shown);
    }
    return result;
}
} // namespace

QMenuBar* MenuBar::createFor(QWidget* window) const {
    QStringList titles{QGuiApplication::applicationDisplayName()};
    for (const auto& menuItem : menus_)
        titles.append(menuItem->Text);
    titles = titlesWithAccessKeys(titles);
    auto* bar = new QMenuBar(window);
    QMenu* applicationMenu = bar->addMenu(titles.takeFirst());
    for (const auto& menuItem : menus_) {
        QMenu* menu = bar->addMenu(titles.takeFirst());
        menu->setObjectName(menuItem->Name);
        for (const auto& item : menuItem->items()) {
            const bool inApplicationMenu = item->kind() == MenuItem::Kind::AppleMenuItem;
            addEntry(inApplicationMenu ? applicationMenu : menu, *item, window);
        }
    }
    QAction* quit = applicationMenu->addAction(QObject::tr("Quit"));
    // Not QKeySequence::Quit: some desktop themes bind no keys to it.
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    quit->setMenuRole(QAction::QuitRole);
    QObject::connect(quit, &QAction::triggered, qApp, &QCoreApplication::quit);
    return bar;
}

bool standardEdit(const QString& itemName, QWidget* focus) {
    if (auto* line = qobject_cast<QLineEdit*>(focus))
        return edit(line, itemName);
    if (auto* text = qobject_cast<QTextEdit*>(focus))
        return edit(text, itemName);
    return false;
}

} // namespace platform
