#pragma once

#include <QByteArray>
#include <QString>

// The answers of the blocking endpoint, as complete HTTP/1.1 responses that close the connection.
//
// A plain request gets 503 Service Unavailable with a small page of its own: browsers show the body of any
// status a proxy returns for a plain request, 503 says that the condition is temporary (the page comes back to
// the site as soon as a proxy passes), and, unlike a 200, no cache and no crawler keeps it in place of the site.
// A CONNECT gets 403 without a body: browsers never show what a proxy answers to CONNECT, so a secure page simply
// fails, and 403 (unlike 407) asks for no credentials that could be tried again.

// The blocked page with the caller's title and sentence (shown as text, line breaks kept); without body only the
// status and headers, as the answer to HEAD.
QByteArray BlockedPageResponse(const QString& title, const QString& sentence, bool withBody = true);
// The refusal of a tunnel.
QByteArray RefusedTunnelResponse();

// What a complete request head asks for.
enum class BlockedRequest
{
    Page,   // any plain request, and anything that does not parse: it gets the page
    Head,   // HEAD: the page's status and headers only
    Tunnel, // CONNECT: refused
};
BlockedRequest ClassifyRequestHead(const QByteArray& head);

// Where a request head ends (the index after its blank line), or -1 while it is incomplete. Blank lines before
// the request line are skipped, as HTTP allows. scanned is how much of received an earlier call saw, so that a
// head arriving byte by byte is not searched from its start each time.
qsizetype RequestHeadEnd(const QByteArray& received, qsizetype scanned = 0);
