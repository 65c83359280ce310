// Prints nothing; exits 0 when CheckFileAccess grants write access to argv[1], else 1.
#include "util/SPTools.h"

#include <QString>

int main(int argc, char** argv)
{
    if (argc < 2)
        return 2;
    return CheckFileAccess(QString::fromLocal8Bit(argv[1])) ? 0 : 1;
}
