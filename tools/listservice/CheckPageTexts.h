#pragma once

#include <QString>

// The check page's texts in one language, UTF-8; "%1" and "%2" stand for the values put in.
struct CheckTexts
{
    const char* title;
    const char* pending;
    const char* hidden;
    const char* visible;
    const char* unknown;
    const char* noScript;
    const char* addressTitle;
    const char* seen;
    const char* ownYes;
    const char* ownNo;
    const char* ownNotGiven;
    const char* rejected;
    const char* tooLong;
    const char* reasonAddress;
    const char* reasonHeaderOwn;
    const char* reasonHeaderOther;
    const char* headersTitle;
    const char* headersNone;
    const char* headersAnonymous;
    const char* headersTransparent;
    const char* webrtcTitle;
    const char* webrtcIntro;
    const char* webrtcRunning;
    const char* webrtcOff;
    const char* webrtcNone;
    const char* webrtcSome;
    const char* webrtcUnreadable;
    const char* webrtcOwn;
    const char* webrtcLocal;
    const char* kindMdns;
    const char* kindLoopback;
    const char* kindSeen;
    const char* kindOwn;
    const char* kindLocal;
};

/// The texts of "de" or, for any other language, of "en".
const CheckTexts& CheckPageTexts(const QString& language);
