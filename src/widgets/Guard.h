#pragma once
// Every handler connected to a signal runs through the guard: an AppError (or any other
// exception) is shown in the generic error box and the handler returns; Abort ends it silently.
// So no exception ever crosses Qt code.

#include <QObject>
#include <QWidget>
#include <functional>

// Runs fn; returns false when it ended with an error or an abort.
bool guarded(QWidget *owner, const std::function<void()> &fn);

// connect() whose slot runs through the guard; the owner is the parent of any error box.
template <typename Sender, typename Signal, typename Fn>
QMetaObject::Connection connectGuarded(Sender *sender, Signal signal, QWidget *owner, Fn fn)
{
    QObject *context = owner ? static_cast<QObject *>(owner) : static_cast<QObject *>(sender);
    return QObject::connect(sender, signal, context,
                            [owner, fn](auto &&...args) { guarded(owner, [&] { fn(args...); }); });
}
