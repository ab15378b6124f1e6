#pragma once

#include <QByteArray>
#include <QTemporaryDir>

namespace testsupport {

// A runtime folder (XDG_RUNTIME_DIR) of the test program's own for as long as it lives, where
// the tool's warm helpers keep their sockets: the tests neither use a helper of the user's nor
// leave one, or a folder, behind. Going, it stops the helpers serving there and waits for them.
class RuntimeFolder {
public:
    RuntimeFolder();
    ~RuntimeFolder();
    RuntimeFolder(const RuntimeFolder&) = delete;
    RuntimeFolder& operator=(const RuntimeFolder&) = delete;

private:
    QTemporaryDir dir_;
    QByteArray before_;
    bool hadOne_;
};

} // namespace testsupport
