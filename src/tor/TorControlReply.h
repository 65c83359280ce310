#pragma once

#include <QByteArray>
#include <QList>

// One whole reply of tor's control port: every line shares the status code, the last one ends with a space
// ("250 OK"), those before it with "-" (more lines follow) or "+" (a data block follows, already undotted).
// Replies with codes 6xx are asynchronous events that no command asked for.
class TorControlReply
{
public:
    struct Line
    {
        char separator = ' '; // '-', '+' or ' '
        QByteArray text;      // after the separator, without the line end
        QByteArray data;      // only for '+': the block's lines joined by "\n", leading dots undone
    };

    int code = 0;
    QList<Line> lines;

    // 2xx: the command was done.
    bool isOk() const { return code >= 200 && code < 300; }
    // 6xx: an event.
    bool isEvent() const { return code >= 600 && code < 700; }
    // The text of the first line ("OK", "Unrecognized option", "STATUS_CLIENT NOTICE BOOTSTRAP ...").
    QByteArray firstText() const { return lines.isEmpty() ? QByteArray() : lines.first().text; }

    // The answer to one key of GETINFO or GETCONF: the value of a line "key=value", or of a data line
    // "key=" with its block. found tells a key that was missing from one answered with an empty value
    // (GETCONF answers a key that has no value with "key" alone, which reads as found and empty).
    QByteArray value(const QByteArray& key, bool* found = nullptr) const;
    // Every value given for key, in order (GETCONF repeats a key that is set several times).
    QList<QByteArray> values(const QByteArray& key) const;
};
