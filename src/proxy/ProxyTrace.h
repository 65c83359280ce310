#pragma once

#include <QLoggingCategory>

// The proxy pool's developer trace ("[Testing] IP:", the ready list, progress). It has no effect on behaviour;
// switch it off with QT_LOGGING_RULES="veilport.proxy.debug=false".
Q_DECLARE_LOGGING_CATEGORY(lcProxyTrace)
