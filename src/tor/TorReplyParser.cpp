#include "tor/TorReplyParser.h"

namespace {
// A short excerpt of untrusted bytes that is safe to show in a message.
QString printable(const QByteArray& bytes)
{
    QString text;
    for (const char c : bytes)
        text += (c >= 0x20 && c < 0x7f) ? QChar::fromLatin1(c) : QChar(u'?');
    return text;
}
} // namespace

TorReplyParser::TorReplyParser(qsizetype maxLine, qsizetype maxReply) : m_maxLine(maxLine), m_maxReply(maxReply) {}

bool TorReplyParser::fail(const QString& why)
{
    m_error = why;
    m_buffer.clear();
    m_scanned = 0;
    m_current = {};
    m_inReply = false;
    m_inData = false;
    m_replySize = 0;
    return false;
}

bool TorReplyParser::feed(const QByteArray& bytes)
{
    if (failed())
        return false;
    m_buffer.append(bytes);
    while (m_scanned < m_buffer.size()) {
        const qsizetype end = m_buffer.indexOf('\n', m_scanned);
        if (end < 0)
            break;
        qsizetype length = end - m_scanned;
        // Tor ends lines with CR LF; a bare LF is taken too, as the protocol allows it the other way.
        if (length > 0 && m_buffer.at(end - 1) == '\r')
            --length;
        if (length > m_maxLine)
            return fail(QStringLiteral("Tor's control port sent a line longer than %1 bytes").arg(m_maxLine));
        const QByteArray line = m_buffer.mid(m_scanned, length);
        m_scanned = end + 1;
        if (!takeLine(line))
            return false;
    }
    m_buffer.remove(0, m_scanned);
    m_scanned = 0;
    if (m_buffer.size() > m_maxLine)
        return fail(QStringLiteral("Tor's control port sent a line longer than %1 bytes").arg(m_maxLine));
    return true;
}

bool TorReplyParser::takeLine(QByteArray line)
{
    m_replySize += line.size() + 1;
    if (m_replySize > m_maxReply)
        return fail(QStringLiteral("Tor's control port sent a reply longer than %1 bytes").arg(m_maxReply));

    if (m_inData) {
        if (line == ".") {
            m_inData = false;
            return true;
        }
        // Lines of a data block that begin with a dot carry one more in front.
        if (line.startsWith('.'))
            line.remove(0, 1);
        QByteArray& data = m_current.lines.last().data;
        if (m_dataStarted)
            data.append('\n');
        data.append(line);
        m_dataStarted = true;
        return true;
    }

    const auto digit = [&](int i) { return line.size() > i && line.at(i) >= '0' && line.at(i) <= '9'; };
    if (line.size() < 4 || !digit(0) || !digit(1) || !digit(2) || line.at(0) < '1' || line.at(0) > '6')
        return fail(QStringLiteral("Tor's control port sent something that is not a reply: \"%1\"")
                        .arg(printable(line.left(40))));
    const int code = (line.at(0) - '0') * 100 + (line.at(1) - '0') * 10 + (line.at(2) - '0');
    const char separator = line.at(3);
    if (separator != '-' && separator != '+' && separator != ' ')
        return fail(QStringLiteral("Tor's control port sent a malformed reply line"));
    if (m_inReply && code != m_current.code)
        return fail(QStringLiteral("Tor's control port mixed status codes %1 and %2 in one reply")
                        .arg(m_current.code)
                        .arg(code));

    m_inReply = true;
    m_current.code = code;
    TorControlReply::Line parsed;
    parsed.separator = separator;
    parsed.text = line.mid(4);
    m_current.lines.append(parsed);
    if (separator == '+') {
        m_inData = true;
        m_dataStarted = false;
    } else if (separator == ' ') {
        m_ready.append(std::move(m_current));
        m_current = {};
        m_inReply = false;
        m_replySize = 0;
    }
    return true;
}

QList<TorControlReply> TorReplyParser::takeReplies()
{
    QList<TorControlReply> replies;
    replies.swap(m_ready);
    return replies;
}
