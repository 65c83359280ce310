#pragma once

#include <QString>

#include <stdexcept>

// A settings file that cannot be written. The store does not catch it; the caller decides how to
// tell the user. what() names the file and the reason.
class ESettingsError : public std::runtime_error
{
public:
    explicit ESettingsError(const QString& message) : std::runtime_error(message.toStdString()) {}
};
