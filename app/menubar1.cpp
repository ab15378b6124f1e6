#include "menubar1.h"

#include <memory>

using platform::MenuItem;

namespace {
std::unique_ptr<MenuBar1>& slot() {
    static std::unique_ptr<MenuBar1> bar;
    return bar;
}

// One entry, set up in the framework's order: name, auto-enable, text, shortcut. A
// separator keeps the default of no shortcut.
std::unique_ptr<MenuItem> item(MenuItem::Kind kind, const QString& name, const QString& text,
                               const QString& shortcut = QString()) {
    auto entry = std::make_unique<MenuItem>(kind);
    entry->Name = name;
    entry->AutoEnable = true;
    entry->Text = text;
    if (!entry->isSeparator())
        entry->KeyboardShortcut = shortcut;
    return entry;
}

std::unique_ptr<MenuItem> plain(const QString& name, const QString& text,
                                const QString& shortcut = QString()) {
    return item(MenuItem::Kind::MenuItem, name, text, shortcut);
}

std::unique_ptr<MenuItem> apple(const QString& name, const QString& text) {
    return item(MenuItem::Kind::AppleMenuItem, name, text);
}
} // namespace

MenuBar1::MenuBar1() {
    Untitled1();
    Untitled2();
}

MenuBar1& MenuBar1::instance() {
    if (!slot())
        slot() = std::make_unique<MenuBar1>();
    return *slot();
}

void MenuBar1::release() {
    slot().reset();
}

void MenuBar1::Untitled1() {
    const QString file = QStringLiteral("fileMenu");
    Append(plain(file, QStringLiteral("File")));
    Child(file).Append(plain(QStringLiteral("UntitledMenu1"), QStringLiteral("-")));
    Child(file).Append(plain(QStringLiteral("fileNewconvert"), QStringLiteral("New DropScreen"),
                             QStringLiteral("Cmd+n")));
}

void MenuBar1::Untitled2() {
    const QString edit = QStringLiteral("EditMenu");
    Append(plain(edit, QStringLiteral("&Edit")));
    // clang-format off
    Child(edit).Append(plain(QStringLiteral("EditUndo"),           QStringLiteral("&Undo"), QStringLiteral("Cmd+Z")));
    Child(edit).Append(plain(QStringLiteral("UntitledMenu0"),      QStringLiteral("-")));
    Child(edit).Append(plain(QStringLiteral("EditCut"),            QStringLiteral("Cu&t"), QStringLiteral("Cmd+X")));
    Child(edit).Append(plain(QStringLiteral("EditCopy"),           QStringLiteral("&Copy"), QStringLiteral("Cmd+C")));
    Child(edit).Append(plain(QStringLiteral("EditPaste"),          QStringLiteral("&Paste"), QStringLiteral("Cmd+V")));
    Child(edit).Append(plain(QStringLiteral("EditClear"),          QStringLiteral("Clear")));
    Child(edit).Append(apple(QStringLiteral("UntitledMenu6"),      QStringLiteral("-")));
    Child(edit).Append(apple(QStringLiteral("AppleDonateSupport"), QStringLiteral("   Support    ")));
    Child(edit).Append(apple(QStringLiteral("EditWebsite"),        QStringLiteral("   Website")));
    Child(edit).Append(apple(QStringLiteral("UntitledMenu5"),      QStringLiteral("-")));
    Child(edit).Append(apple(QStringLiteral("UntitledMenu4"),      QStringLiteral("-")));
    Child(edit).Append(apple(QStringLiteral("AppleAbout"),         QStringLiteral("   About")));
    Child(edit).Append(apple(QStringLiteral("UntitledMenu3"),      QStringLiteral("-")));
    // clang-format on
}
