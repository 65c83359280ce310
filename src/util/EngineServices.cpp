#include "util/EngineServices.h"

namespace {
TEngineServices g_defaultServices;
TEngineServices* g_services = &g_defaultServices;
} // namespace

QString TEngineServices::LangText(const QString& key) const
{
    return key;
}

void TEngineServices::LangStrings(const QString&, QStringList&) const {}

int TEngineServices::ShowMessageBox(const QString&, const QStringList&, int, int, int, int)
{
    return mrNone;
}

void TEngineServices::ShowErrorMessage(int, const QString&) {}

TEngineServices& EngineServices()
{
    return *g_services;
}

void SetEngineServices(TEngineServices* services)
{
    g_services = services ? services : &g_defaultServices;
}
