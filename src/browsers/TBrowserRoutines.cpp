#include "browsers/TBrowserRoutines.h"

Q_LOGGING_CATEGORY(lcBrowsers, "veilport.browsers")

TBrowserRoutines::TBrowserRoutines(const Platform& platform) : m_platform(platform) {}
