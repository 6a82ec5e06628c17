// The customer-number parser on any text: an integer or AppError, and the running number that
// follows a number read is that number plus one, in at least four digits.

#include "FuzzSupport.h"

#include "data/AppError.h"
#include "data/CustomerNo.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    int value = 0;
    try {
        value = CustomerNo::toInteger(text);
    } catch (const AppError &) {
        return 0;
    }
    const QString next = CustomerNo::nextRunningNumber(text);
    bool ok = false;
    const qlonglong n = next.toLongLong(&ok);
    if (value >= 0 && (!ok || n != qlonglong(value) + 1 || next.size() < 4))
        FuzzSupport::fail("nextRunningNumber", QStringLiteral("%1 -> %2").arg(value).arg(next));
    return 0;
}
