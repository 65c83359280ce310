#pragma once

#include <QByteArray>
#include <QList>
#include <QNetworkCookie>

#include <optional>

// The lines the program and its info-page helper (veilport-infopage) exchange over the helper's standard input
// and output: a word, a space and an argument. A line the reader does not know is skipped: the web engine's own
// processes share the helper's output.
namespace infopage {

// Program to helper.
inline constexpr QByteArrayView kEmbed = "embed"; // the X window the page goes inside, in decimal
inline constexpr QByteArrayView kSize = "size";   // "<width> <height>" of that window
inline constexpr QByteArrayView kProxy = "proxy"; // the process proxy's text, empty for none
inline constexpr QByteArrayView kOpen = "open";   // an encoded address
inline constexpr QByteArrayView kDeleteCookie = "delete-cookie";
inline constexpr QByteArrayView kClearVisited = "clear-visited";
inline constexpr QByteArrayView kClearCache = "clear-cache";
// Helper to program.
inline constexpr QByteArrayView kShown = "shown";       // the page is inside the program's window
inline constexpr QByteArrayView kProgress = "progress"; // how far the page has loaded, 0 to 100
inline constexpr QByteArrayView kLoaded = "loaded";     // the page has loaded: 1, or failed: 0
inline constexpr QByteArrayView kCookieAdded = "cookie-added";
inline constexpr QByteArrayView kCookieRemoved = "cookie-removed";

// Longest line either side reads; a longer one ends the exchange.
inline constexpr qsizetype kMaxLine = 64 * 1024;

inline QByteArray line(QByteArrayView word, const QByteArray& argument = QByteArray())
{
    return word.toByteArray() + ' ' + argument + '\n';
}

// A cookie in one line: its whole Set-Cookie form (domain and path included), base64.
inline QByteArray encodeCookie(const QNetworkCookie& cookie)
{
    return cookie.toRawForm(QNetworkCookie::Full).toBase64();
}

inline std::optional<QNetworkCookie> decodeCookie(const QByteArray& argument)
{
    auto raw = QByteArray::fromBase64Encoding(argument, QByteArray::AbortOnBase64DecodingErrors);
    if (!raw)
        return std::nullopt;
    const QList<QNetworkCookie> cookies = QNetworkCookie::parseCookies(*raw);
    if (cookies.size() != 1)
        return std::nullopt;
    return cookies.first();
}

// Takes the whole lines (without their ends) off the front of pending; the rest waits for its end. A rest longer
// than kMaxLine is the caller's to refuse.
inline QList<QByteArray> takeLines(QByteArray& pending)
{
    QList<QByteArray> lines;
    qsizetype start = 0;
    qsizetype newline;
    while ((newline = pending.indexOf('\n', start)) >= 0) {
        lines << pending.mid(start, newline - start);
        start = newline + 1;
    }
    pending.remove(0, start);
    return lines;
}

// Splits a line (without its end) into its word and argument.
inline std::pair<QByteArray, QByteArray> split(const QByteArray& line)
{
    const qsizetype space = line.indexOf(' ');
    if (space < 0)
        return {line, QByteArray()};
    return {line.left(space), line.mid(space + 1)};
}

} // namespace infopage
