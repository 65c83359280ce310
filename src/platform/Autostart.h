#pragma once

#include <QString>
#include <QStringList>

namespace platform {

// Starting the program when the user logs on.
class Autostart
{
public:
    virtual ~Autostart() = default;

    // Registers (enable) or removes the log-on start of executable under entryName, a display name
    // such as the product name. False with a readable reason in *error when the change failed.
    virtual bool setEnabled(const QString& entryName, const QString& executable, bool enable, QString* error) = 0;
    // Registers the log-on start of executable with arguments after it under entryName, replacing an
    // older registration of that name. False with a readable reason in *error when it failed.
    virtual bool enableWithArguments(const QString& entryName, const QString& executable, const QStringList& arguments,
                                     QString* error) = 0;
    // Whether a log-on start is registered under entryName.
    virtual bool isEnabled(const QString& entryName) const = 0;
};

} // namespace platform
