#pragma once

#include <QLoggingCategory>

// The proxy pool's developer trace ("[Testing] IP:", the ready list, progress). It has no effect on behaviour;
// the program's engine window switches it off; QT_LOGGING_RULES="veilport.proxy.debug=true" brings it back.
Q_DECLARE_LOGGING_CATEGORY(lcProxyTrace)
