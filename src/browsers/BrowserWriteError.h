#pragma once

#include <QString>

#include <stdexcept>

// Raised when a browser's settings file exists but cannot be rewritten ("Unable to write to <file>").
class EBrowserWriteError : public std::runtime_error
{
public:
    explicit EBrowserWriteError(const QString& message) : std::runtime_error(message.toStdString()) {}
};
