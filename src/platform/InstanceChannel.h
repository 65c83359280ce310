#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>

namespace platform {

// The machine-wide single-copy lock of the program and the message line between its copies.
// Holding the name is the lock; the same name carries the messages that a second start sends to
// the copy that holds it (close, who-are-you, raise, hand over an argument). A send waits for
// the answer, as a window message sent between processes does, but never longer than its time-out.
class InstanceChannel
{
public:
    // Answers one received message: the result sent back, or nullopt when there is nobody to
    // receive it (the sender then behaves as if no copy were running).
    using Handler = std::function<std::optional<qint32>(quint32 message, qint32 wParam, const QByteArray& payload)>;

    virtual ~InstanceChannel() = default;

    // Takes the machine-wide name; false when another process (of any user) holds it. A name once
    // taken is held until this object is destroyed or the process ends, however it ends.
    virtual bool claim(const QString& name) = 0;
    // Whether this object holds its name.
    virtual bool isClaimed() const = 0;
    // Starts answering the messages sent to the held name; handler runs on the calling thread.
    virtual void serve(Handler handler) = 0;
    // Sends a message to the process holding name and waits up to timeoutMs for its answer.
    // nullopt when nobody holds the name, the holder belongs to another user, or it does not answer.
    virtual std::optional<qint32> send(const QString& name, quint32 message, qint32 wParam, const QByteArray& payload,
                                       int timeoutMs) = 0;
};

// Takes the machine-wide name for the rest of the process; false when it is already held, also
// when this process took it before.
bool IsFirstInstance(const QString& name);

} // namespace platform
