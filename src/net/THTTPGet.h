#pragma once

#include <QObject>
#include <QString>

#include <memory>

class THTTPGetThread;

// Fetches one URL in a worker thread and writes the response body into a file, reporting the
// outcome on the thread that owns the component. Used for the flag images, which are cached as
// files: the owner only fetches when the file is missing.
//
// Properties are copied when GetFile starts, so changing them later does not affect a running
// fetch. One fetch at a time: GetFile while busy is dropped without any event.
class THTTPGet : public QObject
{
    Q_OBJECT

public:
    explicit THTTPGet(QObject* parent = nullptr);
    // Aborts a running fetch and cuts the worker's link, so no event reaches a destroyed component.
    ~THTTPGet() override;

    // Media types the request accepts, sent as the Accept header (default "*/*").
    QString AcceptTypes() const { return m_acceptTypes; }
    void SetAcceptTypes(const QString& value) { m_acceptTypes = value; }
    // User-agent text; empty sends none (default "Veilport HTTPGet").
    QString Agent() const { return m_agent; }
    void SetAgent(const QString& value) { m_agent = value; }
    // True: a reply without Content-Length fails at once, before any file is created.
    bool BinaryData() const { return m_binaryData; }
    void SetBinaryData(bool value) { m_binaryData = value; }
    // What to fetch: "http://host[:port]/path", "https://..." or "host/path".
    QString URL() const { return m_url; }
    void SetURL(const QString& value) { m_url = value; }
    // False (default): caches between here and the server are told to fetch afresh.
    bool UseCache() const { return m_useCache; }
    void SetUseCache(bool value) { m_useCache = value; }
    // The file that receives the body; created or truncated once the reply is accepted.
    QString FileName() const { return m_fileName; }
    void SetFileName(const QString& value) { m_fileName = value; }
    // Credentials offered to the server.
    QString UserName() const { return m_userName; }
    void SetUserName(const QString& value) { m_userName = value; }
    QString Password() const { return m_password; }
    void SetPassword(const QString& value) { m_password = value; }
    // Non-empty: the request is a POST carrying this text as a form-encoded body.
    QString PostQuery() const { return m_postQuery; }
    void SetPostQuery(const QString& value) { m_postQuery = value; }
    // Referrer sent with the request; empty sends none.
    QString Referer() const { return m_referer; }
    void SetReferer(const QString& value) { m_referer = value; }
    // True: GetFile returns only after the fetch has ended, running the event loop meanwhile.
    bool WaitThread() const { return m_waitThread; }
    void SetWaitThread(bool value) { m_waitThread = value; }

    // A fetch that receives nothing for this long is given up (default 60000 ms), so a dead
    // server cannot keep the component busy and drop every later GetFile.
    int StallTimeoutMs() const { return m_stallTimeoutMs; }
    void SetStallTimeoutMs(int value) { m_stallTimeoutMs = value; }

    // Largest body a fetch writes (default kDefaultMaxFileSize; <= 0: no limit). A server that
    // declares or sends more fails the fetch instead of filling the disk; a longer declared
    // length fails before the file is created.
    static constexpr qint64 kDefaultMaxFileSize = 64ll * 1024 * 1024;
    qint64 MaxFileSize() const { return m_maxFileSize; }
    void SetMaxFileSize(qint64 value) { m_maxFileSize = value; }
    // Longest a whole fetch may take (default 120000 ms; <= 0: no limit). A server that keeps
    // trickling a byte now and then never looks stalled, and would keep the component busy for
    // the rest of the run, dropping every later GetFile.
    int OverallTimeoutMs() const { return m_overallTimeoutMs; }
    void SetOverallTimeoutMs(int value) { m_overallTimeoutMs = value; }

    // Starts fetching URL into FileName; does nothing while a fetch is running.
    void GetFile();
    // Stops the running fetch, if any; it ends as failed and raises no OnError.
    void Abort();
    // True while a fetch is running.
    bool Busy() const { return m_worker != nullptr; }
    // Whether the last completed fetch succeeded.
    bool Success() const { return m_success; }
    // The HTTP status of the last completed fetch's reply (0 when none arrived); a fetch succeeds
    // whatever the status, so a caller that keeps only real content checks it.
    int HttpStatus() const { return m_httpStatus; }

signals:
    // After each block received; totalSize is the Content-Length (0 when the reply gave none).
    void OnProgress(THTTPGet* sender, qint64 totalSize, qint64 readed);
    // The fetch succeeded: the body length matched the Content-Length, whatever the status.
    void OnDoneFile(THTTPGet* sender, const QString& fileName, qint64 fileSize);
    // The fetch failed and was not aborted.
    void OnError(THTTPGet* sender);

private:
    friend class THTTPGetThread;
    void workerDone(const std::shared_ptr<THTTPGetThread>& worker);

    QString m_acceptTypes = QStringLiteral("*/*");
    QString m_agent = QStringLiteral("Veilport HTTPGet");
    bool m_binaryData = false;
    QString m_url;
    bool m_useCache = false;
    QString m_fileName;
    QString m_userName;
    QString m_password;
    QString m_postQuery;
    QString m_referer;
    bool m_waitThread = false;
    int m_stallTimeoutMs = 60000;
    qint64 m_maxFileSize = kDefaultMaxFileSize;
    int m_overallTimeoutMs = 120000;

    std::shared_ptr<THTTPGetThread> m_worker;
    bool m_success = false;
    int m_httpStatus = 0;
    bool m_aborted = false;
};
