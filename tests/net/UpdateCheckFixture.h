#pragma once

#include "ServiceSettingsFixture.h"
#include "config/TSettings.h"
#include "net/TIEDownload.h"
#include "net/TUpdateCheck.h"
#include "platform/ProcessProxy.h"
#include "support/RecordingEngineServices.h"
#include "support/ScriptedHttpServer.h"

#include <QDate>
#include <QDateTime>
#include <QStringList>
#include <QTime>

#include <memory>

// The update check over a real service channel, talking to a scripted server, with the settings store
// open, the engine's services recorded, the pages it opens collected and a clock the test sets.
class UpdateCheckFixture : public ServiceSettingsFixture
{
protected:
    UpdateCheckFixture()
    {
        services.unscriptedAnswer = TEngineServices::mrNone;
        platform::setProcessProxy(QString());
        init();
        channel.SetTimeOut(1000);
        makeCheck();
    }

    // A fresh check object, as a new run of the program has.
    void makeCheck()
    {
        check = std::make_unique<TUpdateCheck>(channel, *Settings(), services);
        check->SetOpenUrl([this](const QString& url) { opened << url; });
        check->SetClock([this] { return now; });
    }

    testsupport::ScriptedHttpServer server;
    TIEDownload channel;
    testsupport::RecordingEngineServices services;
    QStringList opened;
    QDateTime now{QDate(2026, 12, 9), QTime(10, 0)};
    std::unique_ptr<TUpdateCheck> check;
};
