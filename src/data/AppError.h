#pragma once
// Errors of the program. An AppError carries the text the user sees in the generic error box;
// Abort ends the current operation silently (a hook that refused after showing its own message).

#include <QString>
#include <stdexcept>

class AppError : public std::runtime_error {
public:
    explicit AppError(const QString &text) : std::runtime_error(text.toStdString()), m_text(text) {}
    const QString &text() const { return m_text; }

private:
    QString m_text;
};

class Abort : public std::exception {
public:
    const char *what() const noexcept override { return "Operation aborted"; }
};
