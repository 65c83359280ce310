#include "ServiceOptions.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

namespace {

QStringList commandLine(const QStringList& arguments)
{
    return QStringList{QStringLiteral("veilport-listservice")} + arguments;
}

TEST(ServiceOptions, BadValuesAreRefusedWithTheValueNamed)
{
    struct Case
    {
        QStringList arguments;
        const char* said;
    };
    const QList<Case> cases = {
        {{"--port", "70000"}, "bad --port 70000"},
        {{"--port", "x1"}, "bad --port x1"},
        {{"--tls-port", "-1", "--cert", "c", "--key", "k"}, "bad --tls-port -1"},
        {{"--tls-port", "0", "--cert", "c"}, "--tls-port, --cert and --key go together"},
        {{"--key", "k"}, "--tls-port, --cert and --key go together"},
        {{"--max-per-address", "0"}, "bad --max-per-address 0 (1 to 256)"},
        {{"--max-per-address", "257"}, "bad --max-per-address 257 (1 to 256)"},
        {{"--listen", "nowhere"}, "bad --listen nowhere"},
    };
    for (const Case& c : cases) {
        ServiceOptions options;
        QString error;
        EXPECT_FALSE(ParseServiceOptions(commandLine(c.arguments), options, error)) << c.said;
        EXPECT_EQ(error.toStdString(), c.said);
    }
}

// A relative certificate or key names a systemd credential, an absolute one stays, and an override given empty
// still overrides.
TEST(ServiceOptions, CredentialsAndOverrides)
{
    ServiceOptions options;
    QString error;
    const testsupport::ScopedEnv credentials("CREDENTIALS_DIRECTORY", "/run/credentials/listservice");
    ASSERT_TRUE(ParseServiceOptions(commandLine({"--listen", "::", "--port", "0", "--tls-port", "8443", "--cert",
                                                 "cert.pem", "--key", "/etc/key.pem", "--database", "", "--verbose"}),
                                    options, error))
        << error.toStdString();
    EXPECT_EQ(options.listen, QHostAddress(QHostAddress::AnyIPv6));
    EXPECT_EQ(options.port, 0);
    EXPECT_TRUE(options.tls);
    EXPECT_EQ(options.tlsPort, 8443);
    EXPECT_EQ(options.certFile, "/run/credentials/listservice/cert.pem");
    EXPECT_EQ(options.keyFile, "/etc/key.pem");
    ASSERT_TRUE(options.database.has_value());
    EXPECT_TRUE(options.database->isEmpty());
    EXPECT_TRUE(options.verbose);
}

} // namespace
