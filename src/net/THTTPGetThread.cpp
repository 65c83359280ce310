#include "net/THTTPGetThread.h"

#include "net/THTTPGet.h"
#include "net/WireUrl.h"
#include "util/MainThreadQueue.h"

#include <QCoreApplication>
#include <QFile>

#include <curl/curl.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

// Content-Length as the server wrote it: plain decimal digits, nothing else.
bool parseLength(const QByteArray& text, qint64& value)
{
    const QByteArray t = text.trimmed();
    if (t.isEmpty() || t.size() > 18)
        return false;
    for (char c : t)
        if (c < '0' || c > '9')
            return false;
    value = t.toLongLong();
    return true;
}

} // namespace

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
    const qint64 total = m_header.length;
    const qint64 readed = m_readed;
    // Waiting for the handler keeps the worker in step with the display, one block at a time.
    // At shutdown the wait ends without the handler.
    RunOnMainThreadAndWait([self, total, readed] {
        if (self->m_owner)
            emit self->m_owner->OnProgress(self->m_owner, total, readed);
    });
}

bool THTTPGetThread::acceptReply()
{
    if (m_replyDecided)
        return m_replyAccepted;
    m_replyDecided = true;
    if (!AcceptsHeader(m_header, m_params.binaryData))
        return false;
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

void THTTPGetThread::ReadHeaderLine(const QByteArray& line, ReplyHeader& header)
{
    if (line.startsWith("HTTP/")) {
        header = ReplyHeader();
        header.responseSeen = true;
    } else if (!header.haveLength && line.toLower().startsWith("content-length:")) {
        header.haveLength = true;
        header.lengthValid = parseLength(line.mid(15), header.length);
        if (!header.lengthValid)
            header.length = 0;
    }
}

bool THTTPGetThread::AcceptsHeader(const ReplyHeader& header, bool binaryData)
{
    if (!header.haveLength && binaryData)
        return false;
    return !header.haveLength || header.lengthValid;
}

size_t THTTPGetThread::headerCallback(char* data, size_t size, size_t count, void* p)
{
    auto* self = static_cast<THTTPGetThread*>(p);
    ReadHeaderLine(QByteArray(data, qsizetype(size * count)), self->m_header);
    return size * count;
}

size_t THTTPGetThread::writeCallback(char* data, size_t size, size_t count, void* p)
{
    auto* self = static_cast<THTTPGetThread*>(p);
    const size_t bytes = size * count;
    if (self->StopRequested() || !self->acceptReply())
        return 0;
    if (bytes == 0)
        return 0;
    const qint64 limit = self->m_params.maxFileSize;
    if (limit > 0 && self->m_readed + qint64(bytes) > limit) {
        self->m_tooLarge = true;
        return 0;
    }
    if (fwrite(data, 1, bytes, self->m_file) != bytes) {
        self->m_writeFailed = true;
        return 0;
    }
    self->m_readed += qint64(bytes);
    self->postProgress();
    return bytes;
}

int THTTPGetThread::progressCallback(void* p, long long, long long, long long, long long)
{
    return static_cast<THTTPGetThread*>(p)->StopRequested() ? 1 : 0;
}

void THTTPGetThread::run()
{
    m_success = false;
    const QByteArray url = NormalizeUrl(m_params.url);
    if (url.isEmpty() || StopRequested())
        return;

    CURL* curl = curl_easy_init();
    if (!curl)
        return;
    curl_slist* headers = nullptr;
    if (!m_params.acceptTypes.isEmpty())
        headers = curl_slist_append(headers, ("Accept: " + m_params.acceptTypes).constData());
    if (!m_params.useCache) {
        headers = curl_slist_append(headers, "Pragma: no-cache");
        headers = curl_slist_append(headers, "Cache-Control: no-cache");
    }
    if (!m_params.postQuery.isEmpty())
        headers = curl_slist_append(headers, "Content-Type: application/x-www-form-urlencoded");

    curl_easy_setopt(curl, CURLOPT_URL, url.constData());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_0));
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    // An empty proxy text means a direct connection, whatever the environment says.
    const QByteArray proxy = m_params.proxy.isEmpty() ? QByteArray() : "http://" + m_params.proxy;
    curl_easy_setopt(curl, CURLOPT_PROXY, proxy.constData());
    if (!m_params.agent.isEmpty())
        curl_easy_setopt(curl, CURLOPT_USERAGENT, m_params.agent.constData());
    if (!m_params.referer.isEmpty())
        curl_easy_setopt(curl, CURLOPT_REFERER, m_params.referer.constData());
    if (!m_params.userName.isEmpty()) {
        curl_easy_setopt(curl, CURLOPT_USERNAME, m_params.userName.constData());
        curl_easy_setopt(curl, CURLOPT_PASSWORD, m_params.password.constData());
    }
    if (!m_params.postQuery.isEmpty()) {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, long(m_params.postQuery.size()));
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, m_params.postQuery.constData());
    }
    const long stallSeconds = std::max(1L, long((m_params.stallTimeoutMs + 999) / 1000));
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, long(std::max(1000, m_params.stallTimeoutMs)));
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, stallSeconds);
    if (m_params.overallTimeoutMs > 0)
        curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, long(m_params.overallTimeoutMs));
    // A declared length over the limit ends the fetch before a byte of the body is read.
    if (m_params.maxFileSize > 0)
        curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, curl_off_t(m_params.maxFileSize));
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &THTTPGetThread::headerCallback);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &THTTPGetThread::writeCallback);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &THTTPGetThread::progressCallback);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, this);

    if (curl_easy_perform(curl) == CURLE_FILESIZE_EXCEEDED)
        m_tooLarge = true;
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    m_status = int(status);
    curl_easy_cleanup(curl);
    curl_slist_free_all(headers);

    // No reply at all (refused, unresolved, cut before the status line) is a failure; only a
    // reply that came with an empty body still has to be accepted here.
    if (!StopRequested() && !m_writeFailed && !m_tooLarge && m_header.responseSeen && status != 0 && acceptReply())
        m_success = m_header.length == m_readed;
    // A failed fetch leaves what it wrote in place, so close (and flush) it in every case.
    if (m_file) {
        if (fclose(m_file) != 0)
            m_success = false;
        m_file = nullptr;
    }
}
