#include "net/HttpClient.h"

#include "support/ScriptedHttpServer.h"
#include "support/TinyproxyFixture.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <gtest/gtest.h>

#include <future>

using testsupport::ScriptedHttpServer;

namespace {

// Runs a blocking request on another thread while this thread serves the scripted server.
HttpResponse fetch(HttpClient& client, const QString& url, int timeoutMs = 10000)
{
    auto future = std::async(std::launch::async, [&] { return client.get(url); });
    QDeadlineTimer deadline(timeoutMs);
    while (future.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready) {
        if (deadline.hasExpired()) {
            ADD_FAILURE() << "request did not end";
            break;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return future.get();
}

} // namespace

TEST(HttpClient, SendsAPlainHttp11GetWithTheTwoHeaders)
{
    ScriptedHttpServer server;
    server.setDefaultReply(ScriptedHttpServer::Reply::http(200, "hello"));
    HttpClient client;
    const HttpResponse response = fetch(client, server.url("/list?a=1"));
    EXPECT_TRUE(response.ok) << qPrintable(response.error);
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body, "hello");
    const QByteArray request = server.lastRequest();
    EXPECT_TRUE(request.startsWith("GET /list?a=1 HTTP/1.1\r\n")) << request.constData();
    EXPECT_EQ(ScriptedHttpServer::headerValue(request, "Accept"), "text/html, */*");
    EXPECT_EQ(ScriptedHttpServer::headerValue(request, "User-Agent"), "Mozilla/3.0 (compatible; Indy Library)");
}

TEST(HttpClient, OnlyA2xxStatusSucceedsAndRedirectsAreNotFollowed)
{
    ScriptedHttpServer server;
    server.enqueueReply(ScriptedHttpServer::Reply::http(404, "missing"));
    server.enqueueReply(ScriptedHttpServer::Reply::http(301, "moved", {{"Location", server.url("/b").toUtf8()}}));
    server.enqueueReply(ScriptedHttpServer::Reply::http(500, "broken"));
    server.enqueueReply(ScriptedHttpServer::Reply::http(204, ""));
    HttpClient client;
    const HttpResponse notFound = fetch(client, server.url("/a"));
    EXPECT_FALSE(notFound.ok);
    EXPECT_EQ(notFound.status, 404);
    EXPECT_FALSE(notFound.error.isEmpty());
    EXPECT_FALSE(fetch(client, server.url("/a")).ok);
    EXPECT_EQ(server.requestCount(), 2);
    EXPECT_FALSE(fetch(client, server.url("/a")).ok);
    EXPECT_TRUE(fetch(client, server.url("/a")).ok);
}

TEST(HttpClient, BrokenAndRefusedAnswersFail)
{
    ScriptedHttpServer server;
    server.enqueueReply(ScriptedHttpServer::Reply().send("HTTP/1.1 200 OK\r\nContent-Length: 50\r\n\r\nshort"));
    server.enqueueReply(ScriptedHttpServer::Reply().send("not http at all\r\n\r\n"));
    HttpClient client;
    EXPECT_FALSE(fetch(client, server.url("/")).ok);
    EXPECT_FALSE(fetch(client, server.url("/")).ok);
    EXPECT_FALSE(fetch(client, "http://" + testsupport::TinyproxyFixture::deadProxyText() + "/").ok);
    EXPECT_FALSE(fetch(client, "file:///etc/passwd").ok);
}

TEST(HttpClient, ABodyOverTheLimitFailsAndTheKeepLimitOnlyCuts)
{
    ScriptedHttpServer server;
    const QByteArray big(100000, 'x');
    server.setDefaultReply(ScriptedHttpServer::Reply::http(200, big));
    HttpClient client;
    client.setMaxBodySize(50000);
    const HttpResponse tooLarge = fetch(client, server.url("/"));
    EXPECT_FALSE(tooLarge.ok);
    EXPECT_TRUE(tooLarge.error.contains("too large"));

    client.setMaxBodySize(0);
    client.setKeepBodySize(10);
    const HttpResponse kept = fetch(client, server.url("/"));
    EXPECT_TRUE(kept.ok);
    EXPECT_EQ(kept.body, QByteArray(10, 'x'));
}
