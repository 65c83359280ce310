#include "CheckPageTexts.h"

namespace {

const CheckTexts kEnglish = {
    "What sites see",
    "Checking what WebRTC gives away\u2026",
    "Hidden: this site does not see your address.",
    "Your address is visible.",
    "Whether your address is hidden cannot be told here.",
    "Scripts are off in this browser, so WebRTC cannot give your address away either.",
    "Address",
    "This site sees you as %1.",
    "That is your own address.",
    "That is not your own address (%1).",
    "Your own address was not given: open this page from Veilport to compare it with what the site sees.",
    "Values given as your own address that were not IP addresses were ignored: %1.",
    "The list of your own addresses was too long and was ignored.",
    "The site sees your own address %1.",
    "A proxy passes your address on in the header %1.",
    "A proxy passes the address %2 on in the header %1: it may be yours.",
    "Proxy headers",
    "No proxy header arrived: if a proxy carried this request, it does not announce itself.",
    "A proxy announces itself, but does not pass your address on (an anonymous proxy).",
    "A proxy passes the address of its client on (a transparent proxy).",
    "WebRTC",
    "The candidates this browser offers for a WebRTC connection, which any page can read:",
    "Gathering\u2026",
    "This browser offers no WebRTC: no page can read an address that way.",
    "WebRTC gives no address away.",
    "WebRTC gives an address away:",
    "%1 WebRTC candidates could not be read, so what WebRTC gives away cannot be judged.",
    "Your address %1 is visible through WebRTC.",
    "Your local address %1 is visible through WebRTC.",
    "a name in place of the address (hidden)",
    "this machine only (hidden)",
    "the address this site sees anyway",
    "your own address",
    "your local address",
};

const CheckTexts kGerman = {
    "Was Websites sehen",
    "Pr\u00fcfe, was WebRTC verr\u00e4t\u2026",
    "Verborgen: Diese Website sieht Ihre Adresse nicht.",
    "Ihre Adresse ist sichtbar.",
    "Ob Ihre Adresse verborgen ist, l\u00e4sst sich hier nicht sagen.",
    "Skripte sind in diesem Browser aus, also kann auch WebRTC Ihre Adresse nicht verraten.",
    "Adresse",
    "Diese Website sieht Sie als %1.",
    "Das ist Ihre eigene Adresse.",
    "Das ist nicht Ihre eigene Adresse (%1).",
    "Ihre eigene Adresse wurde nicht \u00fcbergeben: \u00d6ffnen Sie diese Seite aus Veilport, um sie mit dem zu "
    "vergleichen, was die Website sieht.",
    "Als Ihre eigene Adresse \u00fcbergebene Werte, die keine IP-Adressen waren, wurden nicht beachtet: %1.",
    "Die Liste Ihrer eigenen Adressen war zu lang und wurde nicht beachtet.",
    "Die Website sieht Ihre eigene Adresse %1.",
    "Ein Proxy gibt Ihre Adresse im Header %1 weiter.",
    "Ein Proxy gibt im Header %1 die Adresse %2 weiter: Sie k\u00f6nnte Ihre sein.",
    "Proxy-Header",
    "Kein Proxy-Header ist angekommen: Falls ein Proxy diese Anfrage weitergab, gibt er sich nicht zu erkennen.",
    "Ein Proxy gibt sich zu erkennen, gibt Ihre Adresse aber nicht weiter (ein anonymer Proxy).",
    "Ein Proxy gibt die Adresse seines Clients weiter (ein transparenter Proxy).",
    "WebRTC",
    "Die Kandidaten, die dieser Browser f\u00fcr eine WebRTC-Verbindung anbietet und die jede Seite lesen kann:",
    "Sammle\u2026",
    "Dieser Browser bietet kein WebRTC an: Keine Seite kann so eine Adresse lesen.",
    "WebRTC verr\u00e4t keine Adresse.",
    "WebRTC verr\u00e4t eine Adresse:",
    "%1 WebRTC-Kandidaten lie\u00dfen sich nicht lesen, daher l\u00e4sst sich nicht beurteilen, was WebRTC "
    "verr\u00e4t.",
    "Ihre Adresse %1 ist \u00fcber WebRTC sichtbar.",
    "Ihre lokale Adresse %1 ist \u00fcber WebRTC sichtbar.",
    "ein Name anstelle der Adresse (verborgen)",
    "nur dieser Rechner (verborgen)",
    "die Adresse, die diese Website ohnehin sieht",
    "Ihre eigene Adresse",
    "Ihre lokale Adresse",
};

} // namespace

const CheckTexts& CheckPageTexts(const QString& language)
{
    return language == QLatin1String("de") ? kGerman : kEnglish;
}
