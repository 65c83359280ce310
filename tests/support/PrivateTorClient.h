#pragma once

#include "support/PrivateTorNetwork.h"
#include "tor/TorOptions.h"

namespace testsupport {

// How Veilport's own tor joins a private Tor network: the machine's tor, a data folder of the caller's, and the
// network's client lines; the rest as the program has it.
inline TorOptions privateTorClient(const PrivateTorNetwork& network, const QString& dataFolder)
{
    TorOptions options;
    options.program = TorOptions::findProgram();
    options.dataFolder = dataFolder;
    options.extraConfig = network.clientOptions();
    return options;
}

} // namespace testsupport
