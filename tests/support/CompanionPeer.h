#pragma once

#include <QByteArray>
#include <QJsonObject>

#include <optional>

class CompanionHub;

namespace testsupport {

// A browser companion as the program sees it: the far end of a session socket handed to the hub,
// speaking the companion's framed JSON. Reading spins the event loop, so the hub keeps working.
class CompanionPeer
{
public:
    explicit CompanionPeer(CompanionHub& hub, const QByteArray& greeting = R"({"browser":"firefox"})");
    ~CompanionPeer();
    CompanionPeer(const CompanionPeer&) = delete;
    CompanionPeer& operator=(const CompanionPeer&) = delete;

    // Sends one message (framed); false when the program's end is gone.
    bool send(const QJsonObject& message);
    // Sends bytes as they are (for malformed and oversized frames).
    bool sendRaw(const QByteArray& bytes);
    // The next message from the program, or nullopt when none came in time or the session ended.
    std::optional<QJsonObject> next(int timeoutMs = 5000);
    // Whether the program closed its end (spins the event loop up to timeoutMs first).
    bool closedByProgram(int timeoutMs = 5000);
    // Ends the session from the companion's side.
    void close();

private:
    int m_fd = -1;
    QByteArray m_in;
};

} // namespace testsupport
