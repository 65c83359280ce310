#include "CheckPage.h"

#include "CheckPageTexts.h"
#include "proxy/ProxyJudgement.h"

#include <QCryptographicHash>
#include <QRegularExpression>
#include <QStringList>

namespace {

constexpr int kMaxHeaderRows = 40;
constexpr int kMaxHeaderValueShown = 300;

// Gathers the browser's WebRTC candidates (no STUN server: only what the machine itself offers), judges
// them against the addresses the page was rendered with, and settles #verdict. Every text it writes goes
// through textContent or a data attribute, never through markup.
const char kScript[] = R"JS((function () {
    'use strict';
    var verdict = document.getElementById('verdict');
    var texts = document.getElementById('texts').dataset;
    var headline = document.getElementById('headline');
    var reasons = document.getElementById('reasons');
    var list = document.getElementById('candidates');
    var status = document.getElementById('webrtc-status');
    var seen = verdict.dataset.seen;
    var own = verdict.dataset.own ? verdict.dataset.own.split(' ') : [];
    var maxCandidates = 64;
    var found = {}, order = [], lines = {}, unreadable = 0, done = false, pc = null;

    function v4(text) {
        var parts = text.split('.');
        if (parts.length !== 4) return null;
        for (var i = 0; i < 4; ++i) {
            if (!/^\d{1,3}$/.test(parts[i]) || +parts[i] > 255) return null;
            parts[i] = String(+parts[i]);
        }
        return parts.join('.');
    }
    function v6(text) {
        var tail4 = /^(.*:)(\d+\.\d+\.\d+\.\d+)$/.exec(text);
        if (tail4) {
            var q = v4(tail4[2]);
            if (!q) return null;
            var b = q.split('.').map(Number);
            text = tail4[1] + ((b[0] << 8) | b[1]).toString(16) + ':' + ((b[2] << 8) | b[3]).toString(16);
        }
        var halves = text.split('::');
        if (halves.length > 2) return null;
        var head = halves[0] ? halves[0].split(':') : [];
        var tail = halves.length === 2 && halves[1] ? halves[1].split(':') : [];
        var missing = 8 - head.length - tail.length;
        if (halves.length === 2 ? missing < 1 : missing !== 0) return null;
        var groups = head.concat(new Array(halves.length === 2 ? missing : 0).fill('0'), tail);
        for (var i = 0; i < 8; ++i) {
            if (!/^[0-9a-f]{1,4}$/.test(groups[i])) return null;
            groups[i] = parseInt(groups[i], 16).toString(16);
        }
        if (groups.slice(0, 6).join(':') === '0:0:0:0:0:ffff') {
            var hi = parseInt(groups[6], 16), lo = parseInt(groups[7], 16);
            return [hi >> 8, hi & 255, lo >> 8, lo & 255].join('.');
        }
        return groups.join(':');
    }
    function canonical(text) {
        text = text.toLowerCase().replace(/^\[(.*)\]$/, '$1');
        if (text.indexOf('%') >= 0) text = text.slice(0, text.indexOf('%'));
        return text.indexOf(':') >= 0 ? v6(text) : v4(text);
    }
    function kindOf(address) {
        if (/^[0-9a-z-]{1,128}\.local$/i.test(address)) return 'mdns';
        var a = canonical(address);
        if (!a) return null;
        if (/^127\./.test(a) || a === '0:0:0:0:0:0:0:1' || a === '0.0.0.0' || a === '0:0:0:0:0:0:0:0')
            return 'loopback';
        if (own.indexOf(a) >= 0) return 'own';
        return a === seen ? 'seen' : 'local';
    }
    function add(line) {
        line = String(line).replace(/^a=/, '').replace(/^candidate:/, '').trim();
        if (!line || lines[line] || order.length + unreadable >= maxCandidates) return;
        lines[line] = true;
        var fields = line.split(/\s+/);
        var address = fields.length >= 8 && fields[6] === 'typ' ? fields[4] : '';
        var kind = address ? kindOf(address) : null;
        if (!kind) {
            ++unreadable;
            return;
        }
        var key = kind === 'mdns' ? address.toLowerCase() : canonical(address);
        if (!found[key]) {
            found[key] = kind;
            order.push(key);
        }
    }
    function say(template, value) {
        return template.split('%1').join(value);
    }
    function settle(available) {
        var where = verdict.dataset.where ? verdict.dataset.where.split(' ') : [];
        var revealed = false;
        order.forEach(function (key) {
            var kind = found[key];
            var item = document.createElement('li');
            item.setAttribute('data-kind', kind);
            item.setAttribute('data-address', key);
            item.textContent = key + ' \u2014 ' + texts['kind' + kind.charAt(0).toUpperCase() + kind.slice(1)];
            list.appendChild(item);
            if (kind === 'own' || kind === 'local') {
                revealed = true;
                var reason = document.createElement('li');
                reason.textContent = say(kind === 'own' ? texts.webrtcOwn : texts.webrtcLocal, key);
                reasons.appendChild(reason);
            }
        });
        if (revealed) where.push('webrtc');
        status.textContent = !available ? texts.webrtcOff
                           : unreadable ? say(texts.webrtcUnreadable, unreadable)
                           : revealed ? texts.webrtcSome : texts.webrtcNone;
        var state = where.length ? 'visible'
                  : verdict.dataset.serverState === 'unknown' || unreadable ? 'unknown' : 'hidden';
        headline.textContent = texts[state];
        verdict.className = state;
        verdict.setAttribute('data-where', where.join(' '));
        verdict.setAttribute('data-candidates', String(order.length));
        verdict.setAttribute('data-unreadable', String(unreadable));
        verdict.setAttribute('data-webrtc', available ? 'on' : 'off');
        verdict.setAttribute('data-state', state);
    }
    function end() {
        if (done) return;
        done = true;
        try {
            var sdp = pc.localDescription ? pc.localDescription.sdp : '';
            sdp.split(/\r?\n/).forEach(function (line) {
                if (line.indexOf('a=candidate:') === 0) add(line);
            });
        } catch (e) {}
        try { pc.close(); } catch (e) {}
        settle(true);
    }

    status.textContent = texts.webrtcRunning;
    try {
        pc = new RTCPeerConnection({iceServers: []});
        pc.createDataChannel('check');
    } catch (e) {
        settle(false);
        return;
    }
    pc.onicecandidate = function (event) {
        if (done) return;
        if (!event.candidate) end();
        else if (event.candidate.candidate) add(event.candidate.candidate);
    };
    pc.onicegatheringstatechange = function () {
        if (pc.iceGatheringState === 'complete') setTimeout(end, 0);
    };
    pc.createOffer().then(function (offer) {
        return pc.setLocalDescription(offer);
    }).catch(end);
    setTimeout(end, 5000);
})();
)JS";

QString text(const char* utf8)
{
    return QString::fromUtf8(utf8);
}

QString escaped(const char* utf8)
{
    return text(utf8).toHtmlEscaped();
}

// One language's text with its values put in, escaped and emphasised (in one pass, so that a value holding
// "%2" stays as it is).
QString filled(const char* utf8, const QString& value, const QString& second = QString())
{
    const auto bold = [](const QString& v) {
        return QStringLiteral("<b>") + v.toHtmlEscaped() + QStringLiteral("</b>");
    };
    return second.isNull() ? escaped(utf8).arg(bold(value)) : escaped(utf8).arg(bold(value), bold(second));
}

bool isWellFormedAddress(const QString& token, QHostAddress& address)
{
    static const QRegularExpression v4(QStringLiteral("^(25[0-5]|2[0-4]\\d|1\\d\\d|[1-9]?\\d)(\\.(25[0-5]|2[0-4]\\d|"
                                                      "1\\d\\d|[1-9]?\\d)){3}$"));
    static const QRegularExpression v6(QStringLiteral("^[0-9A-Fa-f:.]{2,45}$"));
    if (v4.match(token).hasMatch())
        return address.setAddress(token);
    return token.contains(QLatin1Char(':')) && v6.match(token).hasMatch() && address.setAddress(token) &&
           address.protocol() == QAbstractSocket::IPv6Protocol;
}

bool sameAddress(const QHostAddress& a, const QHostAddress& b)
{
    return a.isEqual(b, QHostAddress::ConvertV4MappedToIPv4);
}

bool listed(const QList<QHostAddress>& list, const QHostAddress& address)
{
    for (const QHostAddress& each : list) {
        if (sameAddress(each, address))
            return true;
    }
    return false;
}

// A header line as it may appear on the page: one line of at most kMaxHeaderValueShown characters.
QString shownHeaderText(const QByteArray& bytes)
{
    QString out = QString::fromUtf8(bytes.left(kMaxHeaderValueShown * 4));
    for (QChar& c : out) {
        if (c.category() == QChar::Other_Control || c == QChar::LineSeparator || c == QChar::ParagraphSeparator)
            c = QLatin1Char(' ');
    }
    return out.size() > kMaxHeaderValueShown ? out.left(kMaxHeaderValueShown) + QChar(0x2026) : out;
}

QString dataTexts(const CheckTexts& t)
{
    const QPair<const char*, const char*> entries[] = {
        {"pending", t.pending},
        {"hidden", t.hidden},
        {"visible", t.visible},
        {"unknown", t.unknown},
        {"webrtc-running", t.webrtcRunning},
        {"webrtc-off", t.webrtcOff},
        {"webrtc-none", t.webrtcNone},
        {"webrtc-some", t.webrtcSome},
        {"webrtc-unreadable", t.webrtcUnreadable},
        {"webrtc-own", t.webrtcOwn},
        {"webrtc-local", t.webrtcLocal},
        {"kind-mdns", t.kindMdns},
        {"kind-loopback", t.kindLoopback},
        {"kind-seen", t.kindSeen},
        {"kind-own", t.kindOwn},
        {"kind-local", t.kindLocal},
    };
    QString out;
    for (const auto& [name, value] : entries)
        out += QStringLiteral(" data-%1=\"%2\"").arg(QLatin1String(name), escaped(value));
    return out;
}

} // namespace

CheckOwnAddresses ParseCheckOwnAddresses(const QString& localIp)
{
    CheckOwnAddresses out;
    if (localIp.size() > kCheckMaxLocalIpLength) {
        out.tooLong = true;
        return out;
    }
    static const QRegularExpression separators(QStringLiteral("[\\s,;]+"));
    const QStringList tokens = localIp.split(separators, Qt::SkipEmptyParts);
    if (tokens.size() > kCheckMaxLocalIps) {
        out.tooLong = true;
        return out;
    }
    for (const QString& token : tokens) {
        QHostAddress address;
        if (!isWellFormedAddress(token, address))
            ++out.rejected;
        else if (!listed(out.addresses, address))
            out.addresses.append(address);
    }
    return out;
}

QString CheckPageLanguage(const QString& langParam, const QByteArray& acceptLanguage)
{
    const auto known = [](QString tag) -> QString {
        tag = tag.trimmed().toLower();
        if (tag == QLatin1String("german") || tag == QLatin1String("deutsch") || tag == QLatin1String("de") ||
            tag.startsWith(QLatin1String("de-")) || tag.startsWith(QLatin1String("de_")))
            return QStringLiteral("de");
        if (tag == QLatin1String("english") || tag == QLatin1String("en") || tag.startsWith(QLatin1String("en-")) ||
            tag.startsWith(QLatin1String("en_")))
            return QStringLiteral("en");
        return QString();
    };
    if (const QString chosen = known(langParam); !chosen.isEmpty())
        return chosen;
    QString best = QStringLiteral("en");
    double bestWeight = 0;
    for (const QByteArray& item : acceptLanguage.split(',')) {
        const QList<QByteArray> parts = item.split(';');
        const QString language = known(QString::fromLatin1(parts.first()));
        if (language.isEmpty())
            continue;
        double weight = 1;
        for (qsizetype i = 1; i < parts.size(); ++i) {
            const QByteArray parameter = parts[i].trimmed();
            if (parameter.startsWith("q=")) {
                bool ok = false;
                weight = parameter.mid(2).toDouble(&ok);
                if (!ok || weight < 0 || weight > 1)
                    weight = 0;
            }
        }
        if (weight > bestWeight) {
            best = language;
            bestWeight = weight;
        }
    }
    return best;
}

QString CheckCanonicalAddress(const QHostAddress& address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    if (isV4)
        return QHostAddress(v4).toString();
    if (address.protocol() != QAbstractSocket::IPv6Protocol)
        return QString();
    const Q_IPV6ADDR bytes = address.toIPv6Address();
    QStringList groups;
    for (int i = 0; i < 16; i += 2)
        groups << QString::number((bytes[i] << 8) | bytes[i + 1], 16);
    return groups.join(QLatin1Char(':'));
}

HttpResponse CheckPage(const HttpRequest& request, const QString& seenAddress,
                       const std::function<bool(const QHostAddress&)>& ownProxy)
{
    const QString language =
        CheckPageLanguage(request.param(QStringLiteral("lang")), request.headers.value("accept-language"));
    const CheckTexts& t = CheckPageTexts(language);
    const QHostAddress seen(seenAddress);
    const CheckOwnAddresses own = ParseCheckOwnAddresses(request.param(QStringLiteral("LocalIP")));

    QStringList reasons;
    QStringList where;
    QStringList ownTexts;
    for (const QHostAddress& each : own.addresses)
        ownTexts << CheckCanonicalAddress(each);

    QString addressPart = QStringLiteral("<p>%1</p>\n").arg(filled(t.seen, seenAddress));
    if (own.addresses.isEmpty()) {
        addressPart += QStringLiteral("<p id=\"own\" data-own=\"unknown\">%1</p>\n").arg(escaped(t.ownNotGiven));
    } else if (listed(own.addresses, seen)) {
        addressPart += QStringLiteral("<p id=\"own\" data-own=\"yes\">%1</p>\n").arg(escaped(t.ownYes));
        reasons << filled(t.reasonAddress, seenAddress);
        where << QStringLiteral("address");
    } else {
        addressPart += QStringLiteral("<p id=\"own\" data-own=\"no\">%1</p>\n")
                           .arg(filled(t.ownNo, ownTexts.join(QStringLiteral(", "))));
    }
    if (own.tooLong)
        addressPart += QStringLiteral("<p class=\"note\" id=\"own-note\">%1</p>\n").arg(escaped(t.tooLong));
    else if (own.rejected > 0)
        addressPart += QStringLiteral("<p class=\"note\" id=\"own-note\">%1</p>\n")
                           .arg(filled(t.rejected, QString::number(own.rejected)));

    // The headers the address check judges proxies by; those naming a client (all but the Via kind) are
    // searched for addresses other than the one the site sees and those of the service's own proxies.
    QString rows;
    int shown = 0;
    bool announced = false;
    bool passesOn = false;
    for (const auto& [name, value] : request.rawHeaders) {
        if (!IsProxyHeader(name))
            continue;
        announced = true;
        QString mark;
        if (!name.toLower().endsWith("via")) {
            for (const QHostAddress& address : AddressesInText(value)) {
                const bool mine = listed(own.addresses, address);
                if (!mine && (sameAddress(address, seen) || (ownProxy && ownProxy(address))))
                    continue;
                const QString headerName = shownHeaderText(name);
                const QString addressText = CheckCanonicalAddress(address);
                const QString reason =
                    mine ? filled(t.reasonHeaderOwn, headerName) : filled(t.reasonHeaderOther, headerName, addressText);
                if (!reasons.contains(reason))
                    reasons << reason;
                mark = QStringLiteral(" class=\"reveals\" data-reveals=\"1\"");
                passesOn = true;
            }
        }
        if (++shown <= kMaxHeaderRows)
            rows += QStringLiteral("<tr%1><th>%2</th><td>%3</td></tr>\n")
                        .arg(mark, shownHeaderText(name).toHtmlEscaped(), shownHeaderText(value).toHtmlEscaped());
    }
    if (passesOn)
        where << QStringLiteral("header");
    const QString proxyKind = passesOn    ? QStringLiteral("transparent")
                              : announced ? QStringLiteral("anonymous")
                                          : QStringLiteral("none");
    QString headerPart = QStringLiteral("<p id=\"proxy-kind\" data-kind=\"%1\">%2</p>\n")
                             .arg(proxyKind, escaped(passesOn    ? t.headersTransparent
                                                     : announced ? t.headersAnonymous
                                                                 : t.headersNone));
    if (!rows.isEmpty())
        headerPart += QStringLiteral("<table id=\"headers\">\n%1</table>\n").arg(rows);

    const QString serverState = !where.isEmpty()          ? QStringLiteral("visible")
                                : own.addresses.isEmpty() ? QStringLiteral("unknown")
                                                          : QStringLiteral("hidden");
    QString reasonItems;
    for (const QString& reason : reasons)
        reasonItems += QStringLiteral("<li>%1</li>").arg(reason);

    const QByteArray script(kScript);
    const QByteArray scriptHash = QCryptographicHash::hash(script, QCryptographicHash::Sha256).toBase64();
    // Nothing but this page's own script and style may run or load, whatever a header value smuggles in.
    const QString policy = QStringLiteral("default-src 'none'; style-src 'unsafe-inline'; script-src 'sha256-%1'; "
                                          "base-uri 'none'; form-action 'none'")
                               .arg(QString::fromLatin1(scriptHash));
    const QString page =
        QStringLiteral(
            "<!DOCTYPE html>\n<html lang=\"%1\"><head><meta charset=\"utf-8\">"
            "<meta http-equiv=\"Content-Security-Policy\" content=\"%2\">"
            "<meta name=\"viewport\" content=\"width=device-width\"><title>%3</title>"
            "<style>body{font:15px sans-serif;margin:2em auto;max-width:46em;color:#222;padding:0 1em;}"
            "#verdict{padding:.6em 1em;border-radius:6px;background:#eee;border:2px solid #999;}"
            "#verdict.hidden{background:#e3f5e1;border-color:#2e7d32;}"
            "#verdict.visible{background:#fde4e1;border-color:#c62828;}"
            "#headline{font-size:1.3em;font-weight:bold;margin:.3em 0;}"
            "table{border-collapse:collapse;}th,td{border:1px solid #ccc;padding:3px 6px;text-align:left;"
            "word-break:break-all;}tr.reveals{background:#fde4e1;}.note{color:#8a5a00;}</style></head>\n<body>"
            "<h1>%3</h1>\n"
            "<div id=\"verdict\" class=\"pending\" data-state=\"pending\" data-server-state=\"%4\" data-where=\"%5\" "
            "data-seen=\"%6\" data-own=\"%7\"><p id=\"headline\">%8</p><ul id=\"reasons\">%9</ul>"
            "<noscript><p>%10</p></noscript></div>\n"
            "<h2>%11</h2>\n%12<h2>%13</h2>\n%14<h2>%15</h2>\n<p>%16</p><p id=\"webrtc-status\"></p>"
            "<ul id=\"candidates\"></ul>\n<div id=\"texts\" hidden%17></div>\n<script>%18</script>\n</body></html>\n")
            .arg(language, policy, escaped(t.title), serverState, where.join(QLatin1Char(' ')),
                 CheckCanonicalAddress(seen).toHtmlEscaped(), ownTexts.join(QLatin1Char(' ')).toHtmlEscaped(),
                 escaped(serverState == QLatin1String("visible") ? t.visible : t.pending), reasonItems,
                 escaped(t.noScript), escaped(t.addressTitle), addressPart, escaped(t.headersTitle), headerPart,
                 escaped(t.webrtcTitle), escaped(t.webrtcIntro), dataTexts(t), QString::fromUtf8(script));
    return HttpResponse::html(200, page.toUtf8());
}
