#pragma once

#include <QString>

// Lists name countries in English ("Germany", "United States"); tor names them by two letters. Both ways go
// through Qt's territory table.

// The two letters (upper case) of a country named in English; empty when the name is not one Qt knows.
QString CountryCodeOfName(const QString& name);
// The English name of a country given by its two letters (either case); empty when unknown.
QString CountryNameOfCode(const QString& code);
