#include "tor/TorReplyParser.h"
#include "tor/TorReplyText.h"

#include <gtest/gtest.h>

namespace {

// A reply as one text: the code, then each line as its separator and text, a data block in braces.
QByteArray describe(const TorControlReply& reply)
{
    QByteArray text = QByteArray::number(reply.code);
    for (const TorControlReply::Line& line : reply.lines) {
        text += '|' + QByteArray(1, line.separator) + line.text;
        if (line.separator == '+')
            text += '{' + line.data + '}';
    }
    return text;
}

struct Shape
{
    const char* name;
    QByteArray stream;
    QList<QByteArray> replies;   // as describe() gives them
    const char* error = nullptr; // a part of the error, when the stream must be refused
};

// Small bounds, so that the hostile shapes stay short.
constexpr qsizetype MaxLine = 100;
constexpr qsizetype MaxReply = 256;

// Feeds the stream chunk bytes at a time; the replies taken and the error, if any.
QList<QByteArray> parse(const QByteArray& stream, qsizetype chunk, QString& error)
{
    TorReplyParser parser(MaxLine, MaxReply);
    QList<QByteArray> replies;
    for (qsizetype at = 0; at < stream.size(); at += chunk) {
        const bool intact = parser.feed(stream.mid(at, chunk));
        for (const TorControlReply& reply : parser.takeReplies())
            replies << describe(reply);
        if (!intact)
            break;
        EXPECT_LE(parser.heldBytes(), MaxLine + MaxReply);
    }
    error = parser.error();
    return replies;
}

class TorReplyShapes : public ::testing::TestWithParam<Shape>
{
};

TEST_P(TorReplyShapes, ReadTheSameWhicheverWayTheBytesArrive)
{
    const Shape& shape = GetParam();
    for (const qsizetype chunk : {shape.stream.size() + 1, qsizetype(1), qsizetype(7)}) {
        QString error;
        const QList<QByteArray> replies = parse(shape.stream, chunk, error);
        if (shape.error) {
            EXPECT_TRUE(error.contains(QLatin1String(shape.error))) << "chunk " << chunk << ": " << error.toStdString();
            // What came whole before the fault is still handed out.
            EXPECT_EQ(replies, shape.replies) << "chunk " << chunk;
        } else {
            EXPECT_TRUE(error.isEmpty()) << "chunk " << chunk << ": " << error.toStdString();
            EXPECT_EQ(replies, shape.replies) << "chunk " << chunk;
        }
    }
}

// Replies as tor writes them (shapes from its control protocol), then streams no tor writes.
INSTANTIATE_TEST_SUITE_P(
    Tor, TorReplyShapes,
    ::testing::Values(
        Shape{"Ok", "250 OK\r\n", {"250| OK"}},
        Shape{"GetInfoLines",
              "250-version=0.4.9.11\r\n250-ip-to-country/8.8.8.8=us\r\n250 OK\r\n",
              {"250|-version=0.4.9.11|-ip-to-country/8.8.8.8=us| OK"}},
        Shape{"DataBlockWithDottedLines",
              "250+config-text=\r\nSocksPort auto\r\n..hidden\r\n.\r\n250 OK\r\n",
              {"250|+config-text={SocksPort auto\n.hidden}| OK"}},
        Shape{"EmptyDataBlock", "250+ns/all=\r\n.\r\n250 OK\r\n", {"250|+ns/all={}| OK"}},
        Shape{"DataBlockWithBlankLines", "250+x=\r\n\r\na\r\n\r\n.\r\n250 OK\r\n", {"250|+x={\na\n}| OK"}},
        Shape{"ProtocolInfo",
              "250-PROTOCOLINFO 1\r\n250-AUTH METHODS=COOKIE,SAFECOOKIE COOKIEFILE=\"/d/control_auth_cookie\"\r\n"
              "250-VERSION Tor=\"0.4.9.11\"\r\n250 OK\r\n",
              {"250|-PROTOCOLINFO 1|-AUTH METHODS=COOKIE,SAFECOOKIE COOKIEFILE=\"/d/control_auth_cookie\"|-VERSION "
               "Tor=\"0.4.9.11\"| OK"}},
        Shape{"EventsAroundAReply",
              "650 SIGNAL NEWNYM\r\n250 OK\r\n650-CONF_CHANGED\r\n650-ExitNodes={de}\r\n650 OK\r\n",
              {"650| SIGNAL NEWNYM", "250| OK", "650|-CONF_CHANGED|-ExitNodes={de}| OK"}},
        Shape{"EventWithData",
              "650+NS\r\nr a b c 2024-01-01 00:00:00 1.2.3.4 9001 0\r\ns Exit\r\n.\r\n650 OK\r\n",
              {"650|+NS{r a b c 2024-01-01 00:00:00 1.2.3.4 9001 0\ns Exit}| OK"}},
        Shape{"Errors",
              "552 Unrecognized key \"x\"\r\n515 Authentication failed: Wrong length.\r\n",
              {"552| Unrecognized key \"x\"", "515| Authentication failed: Wrong length."}},
        Shape{"BareLineFeeds", "250-a=1\n250 OK\n", {"250|-a=1| OK"}},
        Shape{
            "EightBitAndNul", QByteArray("250 caf\xc3\xa9 \0 ok\r\n", 16), {QByteArray("250| caf\xc3\xa9 \0 ok", 15)}},
        Shape{"HalfAReplyIsHeld", "250-a=1\r\n250 O", {}},
        // Hostile or broken streams.
        Shape{"Http", "HTTP/1.1 200 OK\r\n\r\n", {}, "not a reply"},
        Shape{"LetterInCode", "25O OK\r\n", {}, "not a reply"}, Shape{"CodeAlone", "250\r\n", {}, "not a reply"},
        Shape{"CodeOutOfRange", "999 OK\r\n", {}, "not a reply"}, Shape{"BadSeparator", "250*OK\r\n", {}, "malformed"},
        Shape{"MixedCodes", "250 OK\r\n250-a=1\r\n550 nope\r\n", {"250| OK"}, "mixed status codes"},
        Shape{"EndlessLine", "250 OK\r\n650 " + QByteArray(200, 'x'), {"250| OK"}, "line longer than 100"},
        Shape{"LongLineWithEnd", "250-" + QByteArray(120, 'x') + "\r\n250 OK\r\n", {}, "line longer than 100"},
        Shape{"EndlessReply",
              "250 OK\r\n" + QByteArray("250-aaaaaaaaaaaaaaaaaaaa\r\n").repeated(20),
              {"250| OK"},
              "reply longer than 256"},
        Shape{"EndlessDataBlock", "250+ns/all=\r\n" + QByteArray("r x\r\n").repeated(80), {}, "reply longer than 256"}),
    [](const ::testing::TestParamInfo<Shape>& info) { return std::string(info.param.name); });

TEST(TorReplyParser, RefusesEverythingOnceBroken)
{
    TorReplyParser parser;
    EXPECT_FALSE(parser.feed("garbage\r\n"));
    EXPECT_FALSE(parser.feed("250 OK\r\n"));
    EXPECT_TRUE(parser.takeReplies().isEmpty());
}

TEST(TorReplyParser, AnswersKeysOfGetInfoAndGetConf)
{
    TorReplyParser parser;
    ASSERT_TRUE(parser.feed("250-ExitNodes={de}\r\n250-StrictNodes=1\r\n250-ExitNodesX=no\r\n250-HiddenServiceDir\r\n"
                            "250+ns/all=\r\nr a\r\n.\r\n250 OK\r\n"));
    const QList<TorControlReply> replies = parser.takeReplies();
    ASSERT_EQ(replies.size(), 1);
    const TorControlReply& reply = replies.first();
    bool found = false;
    EXPECT_EQ(reply.value("ExitNodes"), "{de}");
    EXPECT_EQ(reply.value("ns/all"), "r a");
    EXPECT_EQ(reply.value("HiddenServiceDir", &found), "");
    EXPECT_TRUE(found);
    EXPECT_EQ(reply.value("Exit", &found), "");
    EXPECT_FALSE(found);
}

TEST(TorReplyText, ReadsKeywordsAndQuotedWords)
{
    const auto arguments = torreply::keywordArguments(
        "NOTICE BOOTSTRAP PROGRESS=45 TAG=loading SUMMARY=\"Loading \\\"relay\\\" descriptors\" "
        "WARNING=\"a\\tb\\n\\101\" HINT=\"unterminated");
    EXPECT_EQ(arguments.value("PROGRESS"), "45");
    EXPECT_EQ(arguments.value("SUMMARY"), "Loading \"relay\" descriptors");
    EXPECT_EQ(arguments.value("WARNING"), "a\tb\nA");
    EXPECT_EQ(arguments.value("HINT"), "unterminated");
    EXPECT_FALSE(arguments.contains("NOTICE"));
    EXPECT_EQ(torreply::words("\"127.0.0.1:9050\" \"[::1]:9050\""),
              (QList<QByteArray>{"127.0.0.1:9050", "[::1]:9050"}));
}

} // namespace
