#pragma once

#include "platform/application.h"

// The application object: shows the two working windows when the event loop starts, and
// carries the four application-wide menu commands.
class App : public platform::Application {
    Q_OBJECT
public:
    App(int& argc, char** argv);

    static App* current();

    // Declares the application's ten file types, in their order.
    static void declareFileTypes();
    // Releases what the application loaded on first use; runs after the event loop ends.
    static void releaseAll();
    // Runs the event loop, then releases everything. An application ended by a termination
    // signal then raises it again, so that whoever started it sees how it ended.
    int execAndRelease();

    bool fileNewconvert();
    bool AppleAbout();
    bool AppleDonateSupport();
    bool EditWebsite();

    static const QString SupportAddress;
    static const QString WebsiteAddress;

protected:
    void Open() override;
};
