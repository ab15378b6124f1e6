#pragma once

#include <QString>

namespace platform {

// Text handed to a system function, made from our own and released right after the call.
struct CFString {
    QString text;
};
CFString* CFStringCreate(const QString& text);
void CFRelease(CFString* string);

using AnyFunction = void (*)();

// Makes a function known under its name in a system library. Returns what was registered
// under that name before (null if nothing), so that it can be put back.
AnyFunction registerSystemFunction(const QString& library, const QString& name,
                                   AnyFunction function);
void unregisterSystemFunction(const QString& library, const QString& name);

// Looks the function up at each call; FunctionNotFoundException when the library lacks it.
AnyFunction lookupSystemFunction(const QString& library, const QString& name);

template <class F> F systemFunction(const QString& library, const QString& name) {
    return reinterpret_cast<F>(lookupSystemFunction(library, name));
}

} // namespace platform
