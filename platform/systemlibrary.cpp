#include "systemlibrary.h"

#include <QHash>

#include "exceptions.h"

namespace platform {

namespace {
QHash<QString, QHash<QString, AnyFunction>>& libraries() {
    static QHash<QString, QHash<QString, AnyFunction>> table;
    return table;
}
} // namespace

CFString* CFStringCreate(const QString& text) {
    return new CFString{text};
}

void CFRelease(CFString* string) {
    delete string;
}

AnyFunction registerSystemFunction(const QString& library, const QString& name,
                                   AnyFunction function) {
    AnyFunction& slot = libraries()[library][name];
    AnyFunction previous = slot;
    slot = function;
    return previous;
}

void unregisterSystemFunction(const QString& library, const QString& name) {
    auto lib = libraries().find(library);
    if (lib != libraries().end())
        lib->remove(name);
}

AnyFunction lookupSystemFunction(const QString& library, const QString& name) {
    const auto lib = libraries().constFind(library);
    if (lib != libraries().constEnd()) {
        const auto f = lib->constFind(name);
        if (f != lib->constEnd() && *f)
            return *f;
    }
    throw FunctionNotFoundException(name, library);
}

} // namespace platform
