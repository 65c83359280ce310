#pragma once

class TSettings;

// Whether hiding blocks the web, rather than letting the browsers go direct, when no working proxy is left, and
// how often it then looks for one.
struct BlockingOptions
{
    // The user setting "BlockWhenNoProxy" (default false: hiding ends and the browsers go direct).
    bool blockWhenNoProxy = false;
    // The constant "Proxy.RetryInterval" in seconds (1 to 86400, default 60): while blocked, a new list is
    // fetched and tested this often.
    int retryIntervalMs = 60000;

    // The options the settings give; the defaults before Setting.dat is open.
    static BlockingOptions fromSettings(const TSettings& settings);
    // Stores the user's choice (saved at once, as every setting).
    static void writeBlockWhenNoProxy(TSettings& settings, bool block);
};
