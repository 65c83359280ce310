#include "support/TinyproxyFixture.h"

#include "support/TinyproxyProcess.h"

#include <QDir>

namespace testsupport {

TinyproxyFixture::TinyproxyFixture() : m_dir(QDir::tempPath() + "/veilport-tinyproxy-XXXXXX") {}

TinyproxyFixture::~TinyproxyFixture()
{
    stopAll();
}

int TinyproxyFixture::freePort()
{
    return TinyproxyProcess::freePort(QHostAddress::LocalHost);
}

QString TinyproxyFixture::deadProxyText()
{
    return QStringLiteral("127.0.0.1:%1").arg(freePort());
}

bool TinyproxyFixture::start(int count)
{
    m_error.clear();
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("cannot create a temporary folder");
        return false;
    }
    for (int i = 0; i < count; ++i) {
        const int number = this->count();
        TinyproxyProcess::Setup setup;
        setup.bind = outgoingAddress(number);
        setup.extraLines = m_extraConfig;
        auto instance =
            std::make_unique<TinyproxyProcess>(m_dir.filePath(QStringLiteral("proxy%1").arg(number)), setup);
        if (!instance->start()) {
            m_error = instance->errorText();
            return false;
        }
        m_instances.push_back(std::move(instance));
    }
    return true;
}

QString TinyproxyFixture::outgoingAddress(int i)
{
    return QStringLiteral("127.0.0.%1").arg(2 + i % 250);
}

int TinyproxyFixture::port(int i) const
{
    return (i >= 0 && i < count()) ? m_instances[size_t(i)]->port() : 0;
}

QString TinyproxyFixture::proxyText(int i) const
{
    return QStringLiteral("127.0.0.1:%1").arg(port(i));
}

QStringList TinyproxyFixture::proxyTexts() const
{
    QStringList list;
    for (int i = 0; i < count(); ++i)
        list << proxyText(i);
    return list;
}

void TinyproxyFixture::stop(int i)
{
    if (i >= 0 && i < count())
        m_instances[size_t(i)]->stop();
}

void TinyproxyFixture::stopAll()
{
    for (int i = 0; i < count(); ++i)
        stop(i);
}

bool TinyproxyFixture::isRunning(int i) const
{
    return i >= 0 && i < count() && m_instances[size_t(i)]->isRunning();
}

QByteArray TinyproxyFixture::log(int i) const
{
    return (i >= 0 && i < count()) ? m_instances[size_t(i)]->log() : QByteArray();
}

} // namespace testsupport
