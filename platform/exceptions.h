#pragma once

#include <QString>

#include <functional>
#include <stdexcept>

namespace platform {

// Raised when code uses an object that is not there: a window control that cannot be
// found, a file item with no parent folder, and the like.
class NilObjectException : public std::runtime_error {
public:
    explicit NilObjectException(const QString& what);
};

// Raised when a named function cannot be found in a named system library.
class FunctionNotFoundException : public std::runtime_error {
public:
    FunctionNotFoundException(const QString& function, const QString& library);
    QString function() const { return function_; }
    QString library() const { return library_; }

private:
    QString function_;
    QString library_;
};

// What happens to an exception that no handler caught: the user is told in plain words,
// and the application goes on with its windows, lists and files as they were.
void defaultHandling(const std::exception& e);
void defaultHandling();

// Runs an event handler; an exception escaping it gets the default handling instead of
// unwinding through the event loop.
void guarded(const std::function<void()>& handler);

} // namespace platform
