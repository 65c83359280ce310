// A small program for the path tests, run as another process (or another user).
//   access_probe PATH              exits 0 when CheckFileAccess grants write access to PATH, else 1
//   access_probe --exe-after-line  waits for a line on its input, then prints GetExeFileName() and
//                                  GetAppPath(), one per line (the test replaces the file meanwhile)
#include "util/SPTools.h"

#include <QString>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    if (argc < 2)
        return 2;
    if (std::strcmp(argv[1], "--exe-after-line") == 0) {
        char line[64];
        if (!std::fgets(line, sizeof(line), stdin))
            return 3;
        std::printf("%s\n%s\n", qPrintable(GetExeFileName()), qPrintable(GetAppPath()));
        return 0;
    }
    return CheckFileAccess(QString::fromLocal8Bit(argv[1])) ? 0 : 1;
}
