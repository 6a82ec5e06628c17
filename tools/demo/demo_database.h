#pragma once
// Writes a demo plan into a database made by Schema::createDatabase.

#include "demo_data.h"

#include <QString>

namespace DemoDatabase {

// Creates the database file at path (which must not exist) and fills it with the plan's
// categories, customers and cases in one transaction. Throws AppError on failure.
void create(const QString &path, const DemoData::Plan &plan);

} // namespace DemoDatabase
