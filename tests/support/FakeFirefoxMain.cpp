// A stand-in for the Firefox executable. Each start appends one line to the file named by
// FAKE_FIREFOX_LOG: its process id, then every argument hex-encoded, separated by blanks, so
// that arguments holding blanks, quotes or line breaks come back exactly. With
// FAKE_FIREFOX_MODE=hang it then never ends, as a current Firefox started with -chrome does.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

int main(int argc, char** argv)
{
    std::string line = std::to_string(static_cast<long>(getpid()));
    static const char digits[] = "0123456789abcdef";
    for (int i = 1; i < argc; ++i) {
        line += ' ';
        line += '=';
        for (const unsigned char c : std::string(argv[i])) {
            line += digits[c >> 4];
            line += digits[c & 15];
        }
    }
    line += '\n';
    if (const char* log = std::getenv("FAKE_FIREFOX_LOG")) {
        const int fd = open(log, O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd >= 0) {
            // One write per start, so records of parallel starts do not interleave.
            if (write(fd, line.data(), line.size()) < 0)
                std::perror("fake firefox");
            close(fd);
        }
    }
    const char* mode = std::getenv("FAKE_FIREFOX_MODE");
    if (mode && std::strcmp(mode, "hang") == 0) {
        for (;;)
            pause();
    }
    return 0;
}
