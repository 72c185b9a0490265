#pragma once

// --list: what would be published, as a table for people.

#include "sectionwriter.h"

#include <QString>
#include <QStringList>

#include <string>
#include <vector>

// One line per reading (sensor number, sensor, label, value, unit) under a
// heading, and `footnote` last. Labels, units and names are printed the way
// telvane-client prints them: no control character reaches the terminal.
[[nodiscard]] QStringList formatReadingList(const std::vector<std::string> &sensors,
                                            const std::vector<section::ReadingRecord> &readings,
                                            const QString &footnote);
