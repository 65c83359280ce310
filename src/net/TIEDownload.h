#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

class TBSCB;

// The channel through which the engine asks the service about updates: one HTTP GET per
// request, run off the user-interface thread, the body collected in memory and handed to
// OnDownloadComplete on the component's thread together with a result code (0 = success,
// otherwise one of the failure codes below). Requests always go straight to the server, never
// through the proxy the program applied nor one the environment names.
class TIEDownload : public QObject
{
    Q_OBJECT

public:
    // Result codes, the values the service channel has always reported.
    static constexpr int ResultOk = 0;
    static constexpr int ResultAborted = int(0x80004004u);       // 4xx reply or declared empty body
    static constexpr int ResultSyntax = int(0x800401E4u);        // the address cannot be requested
    static constexpr int ResultCannotConnect = int(0x800C0004u); // connection refused or dropped
    static constexpr int ResultNotFound = int(0x800C0005u);      // host name does not resolve
    static constexpr int ResultFailed = int(0x800C0008u);        // any other transfer failure
    static constexpr int ResultTimeout = int(0x800C000Bu);       // a pause of TimeOut ms, a stall, or the overall bound

    // Request options; GetNewestVersion makes every cache on the way fetch afresh. The transfer
    // is always asynchronous and silent, the other two flags are kept for the settings' sake.
    enum Option
    {
        Asynchronous = 0x1,
        AsyncStorage = 0x2,
        GetNewestVersion = 0x10,
        SilentOperation = 0x1000
    };

    explicit TIEDownload(QObject* parent = nullptr);
    // Cancels running requests; none of them reports to a destroyed component.
    ~TIEDownload() override;

    // Extra request header lines, sent after the user-agent line in this order.
    QStringList AdditionalHeader() const { return m_additionalHeader; }
    void SetAdditionalHeader(const QStringList& lines) { m_additionalHeader = lines; }
    // Scheme put in front of an address that names none (default "http://").
    QString DefaultProtocol() const { return m_defaultProtocol; }
    void SetDefaultProtocol(const QString& value) { m_defaultProtocol = value; }
    // Kept for configuration only: bodies are always collected in memory.
    QString DefaultUrlFileName() const { return m_defaultUrlFileName; }
    void SetDefaultUrlFileName(const QString& value) { m_defaultUrlFileName = value; }
    // A combination of Option values (default: all four).
    int Options() const { return m_options; }
    void SetOptions(int value) { m_options = value; }
    // Inactivity limit in ms: a request that pauses this long once the HTTP transaction has
    // begun still runs to its end, but then reports ResultTimeout. 0 turns the mark off.
    int TimeOut() const { return m_timeOut; }
    void SetTimeOut(int value) { m_timeOut = value; }
    // Text placed inside the user-agent line, after the browser part.
    QString UserAgent() const { return m_userAgent; }
    void SetUserAgent(const QString& value) { m_userAgent = value; }
    // A request that receives nothing at all for this long (default 30000 ms) is given up with
    // ResultTimeout, so a silent server does not hold it until the overall bound.
    int StallTimeoutMs() const { return m_stallTimeoutMs; }
    void SetStallTimeoutMs(int value) { m_stallTimeoutMs = value; }
    // Upper bound of a whole request in ms (default 60000); past it the request ends with
    // ResultTimeout, so a server that never finishes cannot keep the caller waiting for ever.
    int OverallTimeoutMs() const { return m_overallTimeoutMs; }
    void SetOverallTimeoutMs(int value) { m_overallTimeoutMs = value; }
    // Largest body kept in memory (default 4 MiB); a longer one ends the request as failed.
    qint64 MaxBodySize() const { return m_maxBodySize; }
    void SetMaxBodySize(qint64 value) { m_maxBodySize = value; }

    // Starts one GET of url and returns at once; OnDownloadComplete follows exactly once.
    void StartRequest(const QString& url);
    // Number of requests that have not completed yet.
    int RunningRequests() const { return int(m_requests.size()); }

    // The address a request goes to: DefaultProtocol is put in front when the address names
    // none of the known schemes anywhere in it.
    QString CompleteUrl(const QString& url) const;
    // The header lines of a request, in the order they are sent.
    QStringList RequestHeaders() const;

signals:
    // A request ended: stream is the whole body received (maybe partial or empty), result 0 on
    // success and a failure code otherwise. Delivered on the component's thread.
    void OnDownloadComplete(TIEDownload* sender, const QByteArray& stream, int result);

private:
    friend class TBSCB;
    void requestDone(const std::shared_ptr<TBSCB>& request);

    QStringList m_additionalHeader;
    QString m_defaultProtocol = QStringLiteral("http://");
    QString m_defaultUrlFileName = QStringLiteral("index.html");
    int m_options = Asynchronous | AsyncStorage | GetNewestVersion | SilentOperation;
    int m_timeOut = 5000;
    QString m_userAgent;
    int m_stallTimeoutMs = 30000;
    int m_overallTimeoutMs = 60000;
    qint64 m_maxBodySize = 4 * 1024 * 1024;

    std::vector<std::shared_ptr<TBSCB>> m_requests;
};
