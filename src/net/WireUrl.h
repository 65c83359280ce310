#pragma once

#include <QByteArray>
#include <QString>

// An address as it goes on the wire. The program builds addresses with values inserted as they
// are (a release name with blanks, a country name in a flag path), which libcurl refuses; blanks,
// control and non-ASCII characters and the few others that may not appear in a URL are
// percent-encoded (non-ASCII as UTF-8). Existing "%xx" escapes and every reserved character
// are left alone, so an address that is already valid passes unchanged.
// libcurl's own URL encoder is not used here: it writes a blank in the query as "+" and escapes in
// lower-case hex, which would change the bytes the list service and the update server receive.
QByteArray WireUrl(const QString& url);
