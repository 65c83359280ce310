// Every test executable runs inside a QApplication so that queued calls, timers and
// windows behave as in the program. Tests are headless: the platform is offscreen, and the web
// engine runs without its sandbox because the suite runs as root in CI.
#include <QApplication>
#include <gtest/gtest.h>

namespace {
void setDefault(const char* name, const QByteArray& value)
{
    if (qgetenv(name).isEmpty())
        qputenv(name, value);
}
} // namespace

int main(int argc, char** argv)
{
    setDefault("QT_QPA_PLATFORM", "offscreen");
    qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    // Where the built program (with its data beside it) and the source tree are.
    setDefault("VEILPORT_BIN_DIR", VEILPORT_TEST_BIN_DIR);
    setDefault("VEILPORT_SOURCE_DIR", VEILPORT_TEST_SOURCE_DIR);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
