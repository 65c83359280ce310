#include "proxy/TProxyTestWorker.h"

#include "net/CurlGlobal.h"
#include "net/HttpClient.h"
#include "proxy/TProxyTester.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <curl/curl.h>

#include <algorithm>
#include <thread>
#include <unordered_map>

namespace {

// The body through a proxy is not examined; a little of it is kept for the report.
constexpr qint64 kKeptResponseBytes = 16 * 1024;
// The longest the thread sleeps without looking at its inbox and the stop flag.
constexpr int kMaxPollMs = 1000;

} // namespace

struct TProxyTestWorker::Transfer
{
    Job job;
    HttpClient::Body body;
    CURL* easy = nullptr;
};

TProxyTestWorker::TProxyTestWorker(TProxyTester* tester, const QString& url)
    : m_tester(tester)
    , m_url(url)
{
}

TProxyTestWorker::~TProxyTestWorker() = default;

void TProxyTestWorker::enqueue(int index, const QString& host, int port, int delayMs)
{
    Job job;
    job.index = index;
    job.host = host;
    job.port = port;
    job.due = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(0, delayMs));
    m_active.fetch_add(1);
    bool startThread = false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        job.seq = m_seq++;
        m_inbox.push_back(std::move(job));
        if (!m_running) {
            m_running = true;
            startThread = true;
        } else if (m_multi) {
            curl_multi_wakeup(static_cast<CURLM*>(m_multi));
        }
    }
    if (startThread) {
        // The thread keeps the worker alive until it ends, so it never outlives what it uses.
        std::thread([self = shared_from_this()] { self->run(); }).detach();
    }
}

void TProxyTestWorker::setStopped(bool stopped)
{
    m_stopped.store(stopped);
    if (stopped)
        wake();
}

void TProxyTestWorker::detach()
{
    m_tester = nullptr;
    m_detached.store(true);
    m_stopped.store(true);
    wake();
}

void TProxyTestWorker::wake()
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_multi)
        curl_multi_wakeup(static_cast<CURLM*>(m_multi));
}

void TProxyTestWorker::deliver(const Job& job, bool success, const QString& response, quint32 elapsed)
{
    QCoreApplication* app = QCoreApplication::instance();
    if (!app)
        return;
    auto self = shared_from_this();
    // The result is booked on the user-interface thread while this thread waits, so results arrive one at a time.
    QMetaObject::invokeMethod(
        app,
        [self, job, success, response, elapsed] {
            if (self->m_tester)
                self->m_tester->DoResult(success, job.index, response, job.host, job.port, elapsed);
        },
        Qt::BlockingQueuedConnection);
}

void TProxyTestWorker::run()
{
    EnsureCurlGlobalInit();
    CURLM* multi = curl_multi_init();
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_multi = multi;
    }

    const auto later = [](const Job& a, const Job& b) { return a.due != b.due ? a.due > b.due : a.seq > b.seq; };
    std::vector<Job> sleeping; // a heap, earliest due first
    std::unordered_map<CURL*, std::unique_ptr<Transfer>> open;

    const auto closeTransfer = [&](CURL* easy) {
        curl_multi_remove_handle(multi, easy);
        curl_easy_cleanup(easy);
        open.erase(easy);
        m_active.fetch_sub(1);
    };

    for (;;) {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            for (Job& job : m_inbox) {
                sleeping.push_back(std::move(job));
                std::push_heap(sleeping.begin(), sleeping.end(), later);
            }
            m_inbox.clear();
            if (m_detached.load()) {
                // Nobody will ever receive these results: drop the sleepers and cut the requests.
                m_active.fetch_sub(int(sleeping.size()));
                sleeping.clear();
                while (!open.empty())
                    closeTransfer(open.begin()->first);
                m_multi = nullptr;
                m_running = false;
                break;
            }
        }

        // A stopped tester reports nothing for open requests, so a proxy that never answers is let go now.
        if (m_stopped.load()) {
            while (!open.empty())
                closeTransfer(open.begin()->first);
        }

        const auto now = std::chrono::steady_clock::now();
        while (!sleeping.empty() && sleeping.front().due <= now) {
            std::pop_heap(sleeping.begin(), sleeping.end(), later);
            Job job = std::move(sleeping.back());
            sleeping.pop_back();
            if (m_stopped.load()) {
                m_active.fetch_sub(1);
                continue;
            }
            auto transfer = std::make_unique<Transfer>();
            transfer->job = std::move(job);
            transfer->body.keep = kKeptResponseBytes;
            transfer->easy = curl_easy_init();
            if (!transfer->easy) {
                if (!m_stopped.load())
                    deliver(transfer->job, false, QString(), 0);
                m_active.fetch_sub(1);
                continue;
            }
            HttpClient::prepareTransfer(transfer->easy, m_url, transfer->job.host, transfer->job.port,
                                        &transfer->body);
            curl_multi_add_handle(multi, transfer->easy);
            open.emplace(transfer->easy, std::move(transfer));
        }

        int timeoutMs = kMaxPollMs;
        if (!sleeping.empty()) {
            const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(sleeping.front().due - now);
            timeoutMs = int(std::clamp<qint64>(wait.count() + 1, 0, kMaxPollMs));
        }
        if (!open.empty() || timeoutMs > 0)
            curl_multi_poll(multi, nullptr, 0, timeoutMs, nullptr);

        int running = 0;
        curl_multi_perform(multi, &running);
        int queued = 0;
        while (CURLMsg* msg = curl_multi_info_read(multi, &queued)) {
            if (msg->msg != CURLMSG_DONE)
                continue;
            CURL* easy = msg->easy_handle;
            const auto it = open.find(easy);
            if (it == open.end())
                continue;
            Transfer& transfer = *it->second;
            curl_off_t micros = 0;
            curl_easy_getinfo(easy, CURLINFO_TOTAL_TIME_T, &micros);
            const HttpResponse response = HttpClient::finishTransfer(easy, msg->data.result, transfer.body);
            const Job job = transfer.job;
            closeTransfer(easy);
            if (!m_stopped.load())
                deliver(job, response.ok, QString::fromUtf8(response.body), quint32(micros / 1000));
        }
    }
    curl_multi_cleanup(multi);
}
