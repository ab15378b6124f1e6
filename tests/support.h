#pragma once

#include <QColor>
#include <QList>
#include <QObject>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>

#include <functional>

class QAction;
class QMessageBox;
class QWidget;

namespace testsupport {

// Starts the application the way main() does: file types, the application object, and the
// Drop Screen; the event loop then raises Open.
int runWithApplication(int argc, char** argv, QObject* testObject);

// Writes a small real PNG picture (w x h, filled with colour) and returns its path.
QString writePng(const QString& path, int w = 8, int h = 6, const QColor& colour = Qt::red);

// An SVG that gives the real tool seconds of work after its hidden temporary file is open:
// a real conversion to hold there (HeldJob) and stop.
QString writeSlowSvg(const QString& path);
// The tool's hidden temporary files (".NAME.sips-XXXXXX") in a folder.
QStringList hiddenTemporaries(const QString& folder);

// File names that a shell would take apart, expand or misread, each a valid file name.
QStringList hostileFileNames();

// Sends a real drag-enter and drop of these local files onto the widget, then lets the
// window's drop handler run; returns whether the drop was accepted.
bool dropFiles(QWidget* target, const QStringList& paths);
bool dropUrls(QWidget* target, const QList<QUrl>& urls);

// Answers every modal message box as the user would, pressing OK, and keeps their texts:
// the message, then any note and list of details below it, one line apart.
class MessageAnswerer : public QObject {
    Q_OBJECT
public:
    MessageAnswerer();
    QStringList texts;
    QStringList titles;
    // Looks at each box as shown, before OK is pressed.
    std::function<void(QMessageBox*)> inspect;

private:
    QTimer poll_;
};

// The headless platform cannot raise windows and says so at every Show; call from
// initTestCase() to keep that out of the log.
void quietPlatformNoise();

// The item of this name in the window's menu bar, or null.
QAction* menuAction(QWidget* window, const QString& itemName);
// Chooses the item of this name as the user would: activates the window, clicks its menu in
// the window's menu bar, then clicks the item. Returns whether every step could be taken.
bool chooseMenuItem(QWidget* window, const QString& itemName);

// Lets the events already pending (zero-time timers, deferred deletions) run.
void settle();

} // namespace testsupport

#define MORVELLE_TEST_MAIN(TestClass)                                                              \
    int main(int argc, char** argv) {                                                              \
        TestClass tc;                                                                              \
        return testsupport::runWithApplication(argc, argv, &tc);                                   \
    }
