#pragma once

// libcurl's process-wide set-up is not thread-safe; every user of curl calls this first.
void EnsureCurlGlobalInit();
