#include "widgets/Guard.h"

#include "data/AppError.h"
#include "widgets/Prompter.h"

#include <QWidget>
#include <exception>

bool guarded(QWidget *owner, const std::function<void()> &fn)
{
    try {
        fn();
        return true;
    } catch (const Abort &) {
    } catch (const AppError &e) {
        Prompter::instance().showError(owner, e.text());
    } catch (const std::exception &e) {
        Prompter::instance().showError(owner, QString::fromLocal8Bit(e.what()));
    }
    return false;
}
