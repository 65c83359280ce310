#include "net/THTTPGetThread.h"

#include "net/THTTPGet.h"
#include "net/Transfer.h"
#include "net/WireUrl.h"
#include "util/MainThreadQueue.h"

#include <QCoreApplication>
#include <QFile>

#include <algorithm>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

THTTPGetThread::THTTPGetThread(const Params& params, THTTPGet* owner) : m_owner(owner), m_params(params) {}

THTTPGetThread::~THTTPGetThread()
{
    if (m_file)
        fclose(m_file);
}

QByteArray THTTPGetThread::NormalizeUrl(const QString& url)
{
    QString rest = url.trimmed();
    QString scheme = QStringLiteral("http://");
    if (rest.startsWith(QLatin1String("http://"), Qt::CaseInsensitive)) {
        rest = rest.mid(7);
    } else if (rest.startsWith(QLatin1String("https://"), Qt::CaseInsensitive)) {
        scheme = QStringLiteral("https://");
        rest = rest.mid(8);
    } else {
        // Another scheme before the first "/" is not something this component speaks.
        const int colonSlash = rest.indexOf(QLatin1String("://"));
        if (colonSlash >= 0 && colonSlash < rest.indexOf(QLatin1Char('/')))
            return QByteArray();
    }
    const int slash = rest.indexOf(QLatin1Char('/'));
    // The host must be followed by the object to request.
    if (slash <= 0)
        return QByteArray();
    return WireUrl(scheme + rest);
}

void THTTPGetThread::Start()
{
    auto self = shared_from_this();
    std::thread([self] {
        self->run();
        self->postDone();
    }).detach();
}

void THTTPGetThread::postDone()
{
    // At shutdown there may be nobody left to tell; then nothing is posted.
    auto self = shared_from_this();
    PostToMainThread([self] {
        if (self->m_owner)
            self->m_owner->workerDone(self);
    });
}

void THTTPGetThread::postProgress()
{
    if (!m_params.reportProgress || !QCoreApplication::instance())
        return;
    auto self = shared_from_this();
    const qint64 total = m_length;
    const qint64 readed = m_readed;
    // Waiting for the handler keeps the worker in step with the display, one block at a time.
    // At shutdown the wait ends without the handler.
    RunOnMainThreadAndWait([self, total, readed] {
        if (self->m_owner)
            emit self->m_owner->OnProgress(self->m_owner, total, readed);
    });
}

bool THTTPGetThread::acceptReply(const Transfer& transfer)
{
    m_length = 0;
    if (const std::optional<QByteArray> text = transfer.header("Content-Length")) {
        const std::optional<qint64> length = Transfer::parseLength(*text);
        if (!length)
            return false;
        m_length = *length;
    } else if (m_params.binaryData) {
        return false;
    }
    // Never through a link (a dangling one would create its target wherever it points) and never into
    // a FIFO or device put in the file's place: only a regular file is truncated and written.
    const int fd = ::open(QFile::encodeName(m_params.fileName).constData(),
                          O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666);
    struct stat info;
    if (fd >= 0 && (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || ::ftruncate(fd, 0) != 0)) {
        ::close(fd);
        return false;
    }
    m_file = fd >= 0 ? fdopen(fd, "wb") : nullptr;
    if (fd >= 0 && !m_file)
        ::close(fd);
    m_replyAccepted = m_file != nullptr;
    return m_replyAccepted;
}

bool THTTPGetThread::writeBody(const char* data, qint64 bytes)
{
    if (!m_file || fwrite(data, 1, size_t(bytes), m_file) != size_t(bytes))
        return false;
    m_readed += bytes;
    postProgress();
    return true;
}

void THTTPGetThread::run()
{
    m_success = false;
    const QByteArray url = NormalizeUrl(m_params.url);
    if (url.isEmpty() || StopRequested())
        return;

    TransferOptions options;
    options.url = url;
    options.version = TransferOptions::Version::Http10;
    if (!m_params.acceptTypes.isEmpty())
        options.headers << "Accept: " + m_params.acceptTypes;
    if (!m_params.useCache)
        options.headers << "Pragma: no-cache"
                        << "Cache-Control: no-cache";
    if (!m_params.postQuery.isEmpty())
        options.headers << "Content-Type: application/x-www-form-urlencoded";
    options.userAgent = m_params.agent;
    options.referer = m_params.referer;
    options.userName = m_params.userName;
    options.password = m_params.password;
    options.postFields = m_params.postQuery;
    options.proxy = m_params.proxy;
    options.socks5Proxy = m_params.socks5Proxy;
    options.maxRedirects = 10;
    options.connectTimeoutMs = std::max(1000, m_params.stallTimeoutMs);
    options.stallTimeoutMs = std::max(1000, m_params.stallTimeoutMs);
    options.overallTimeoutMs = m_params.overallTimeoutMs;
    options.maxBodySize = m_params.maxFileSize;

    Transfer transfer(std::move(options));
    transfer.setStopFlag(&m_stop);
    transfer.onHeaders = [this, &transfer] { return acceptReply(transfer); };
    transfer.onBody = [this](const char* data, qint64 bytes) { return writeBody(data, bytes); };
    transfer.run();
    m_status = int(transfer.status());

    // The body must be whole by libcurl's account (which ends a reply by the last length it names)
    // and by this component's (the first length of the reply).
    if (transfer.complete() && !StopRequested() && m_replyAccepted)
        m_success = m_length == m_readed;
    // A failed fetch leaves what it wrote in place, so close (and flush) it in every case.
    if (m_file) {
        if (fclose(m_file) != 0)
            m_success = false;
        m_file = nullptr;
    }
}
