#pragma once

#include <QKeySequence>
#include <QString>

#include <memory>
#include <vector>

class QMenuBar;
class QWidget;

namespace platform {

// One entry of a menu bar: a menu, a command or, with the text "-", a separator.
class MenuItem {
public:
    // An AppleMenuItem is shown in the application menu instead of the menu it is appended to.
    enum class Kind { MenuItem, AppleMenuItem };

    explicit MenuItem(Kind kind = Kind::MenuItem) : kind_(kind) {}

    QString Name;
    QString Text;
    // "Cmd+" and a key, or empty for none.
    QString KeyboardShortcut;
    bool AutoEnable = false;

    Kind kind() const { return kind_; }
    bool isSeparator() const { return Text == QLatin1String("-"); }
    // The shortcut as Qt keys: "Cmd" is Qt's Ctrl, which is Command on a Mac.
    QKeySequence shortcut() const;

    void Append(std::unique_ptr<MenuItem> item);
    const std::vector<std::unique_ptr<MenuItem>>& items() const { return items_; }

private:
    Kind kind_;
    std::vector<std::unique_ptr<MenuItem>> items_;
};

// The framework's menu bar: its menus in order, each shown in every window whose layout
// shows the menu bar.
class MenuBar {
public:
    virtual ~MenuBar() = default;

    void Append(std::unique_ptr<MenuItem> menu);
    // The menu of this name; NilObjectException when the bar has none.
    MenuItem& Child(const QString& name);
    const std::vector<std::unique_ptr<MenuItem>>& menus() const { return menus_; }

    // A Qt menu bar for one window. Its first menu is the application menu, titled with the
    // application's display name: the AppleMenuItem entries in order, then Quit. Choosing an
    // item runs what the application attached under the item's name.
    QMenuBar* createFor(QWidget* window) const;

private:
    std::vector<std::unique_ptr<MenuItem>> menus_;
};

// The framework's standard edits on a focused text control, by item name: EditUndo,
// EditCut, EditCopy, EditPaste, EditClear. Returns false when the name is none of these or
// the focus is on no text control.
bool standardEdit(const QString& itemName, QWidget* focus);

} // namespace platform
