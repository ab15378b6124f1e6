#include "exceptions.h"

#include "msgbox.h"

namespace platform {

NilObjectException::NilObjectException(const QString& what)
    : std::runtime_error(QStringLiteral("%1 is missing").arg(what).toStdString()) {}

FunctionNotFoundException::FunctionNotFoundException(const QString& function,
                                                     const QString& library)
    : std::runtime_error(QStringLiteral("the function %1 was not found in %2")
                             .arg(function, library)
                             .toStdString()),
      function_(function), library_(library) {}

void defaultHandling(const std::exception& e) {
    MsgBox(QStringLiteral("Something went wrong: %1.\n\nMorvelle keeps running; your files and "
                          "lists are as they were.")
               .arg(QString::fromStdString(e.what())));
}

void defaultHandling() {
    defaultHandling(std::runtime_error("an unknown error occurred"));
}

void guarded(const std::function<void()>& handler) {
    try {
        handler();
    } catch (const std::exception& e) {
        defaultHandling(e);
    } catch (...) {
        defaultHandling();
    }
}

} // namespace platform
