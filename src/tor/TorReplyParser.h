#pragma once

#include "tor/TorControlReply.h"

#include <QByteArray>
#include <QList>
#include <QString>

// Cuts the byte stream of tor's control port into whole replies. The stream is untrusted text: a line that
// does not read as a reply line, a reply whose lines disagree on the status code, a line longer than maxLine
// bytes (or a partial one growing past it) or a reply longer than maxReply bytes breaks the stream for good,
// so nothing after it is believed and nothing grows without bound.
class TorReplyParser
{
public:
    // A line of ns/all or of a batched GETINFO stays far below this; a whole consensus below the reply bound.
    static constexpr qsizetype DefaultMaxLine = 64 * 1024;
    static constexpr qsizetype DefaultMaxReply = 16 * 1024 * 1024;

    explicit TorReplyParser(qsizetype maxLine = DefaultMaxLine, qsizetype maxReply = DefaultMaxReply);

    // Takes the next bytes as they arrived. False once the stream broke the protocol; error() says how, and
    // every later call is refused.
    bool feed(const QByteArray& bytes);
    // The replies completed so far, in order; each is handed out once. Those completed before the stream
    // broke are still handed out.
    QList<TorControlReply> takeReplies();

    bool failed() const { return !m_error.isEmpty(); }
    QString error() const { return m_error; }
    // Whether a reply has begun but not ended (its last line has not arrived).
    bool inReply() const { return m_inReply; }
    // Bytes held for the reply under way, partial line included; never more than maxReply + maxLine.
    qsizetype heldBytes() const { return m_buffer.size() - m_scanned + m_replySize; }

private:
    bool takeLine(QByteArray line);
    bool fail(const QString& why);

    qsizetype m_maxLine;
    qsizetype m_maxReply;
    QByteArray m_buffer;     // bytes of lines not yet taken
    qsizetype m_scanned = 0; // the part of m_buffer already taken (dropped in one go after a feed)
    TorControlReply m_current;
    bool m_inReply = false;
    bool m_inData = false;
    bool m_dataStarted = false;
    qsizetype m_replySize = 0;
    QList<TorControlReply> m_ready;
    QString m_error;
};
