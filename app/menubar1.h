#pragma once

#include "platform/menus.h"

// The application's one menu bar: the File menu, and the Edit menu with the items that the
// application menu shows.
class MenuBar1 : public platform::MenuBar {
public:
    MenuBar1();

    // The one instance, made on first reference.
    static MenuBar1& instance();
    // Drops the instance; used when the application ends.
    static void release();

private:
    void Untitled1();
    void Untitled2();
};
