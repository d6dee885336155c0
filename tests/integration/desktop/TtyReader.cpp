// Runs inside a terminal emulator and records what the terminal passes on: puts its terminal into raw mode
// (no echo, no line editing, control characters as bytes), creates "<file>.ready", then appends every byte
// it reads to <file> until the terminal goes away.
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <termios.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc != 2)
        return 2;
    termios mode{};
    if (tcgetattr(STDIN_FILENO, &mode) != 0)
        return 1;
    cfmakeraw(&mode);
    if (tcsetattr(STDIN_FILENO, TCSANOW, &mode) != 0)
        return 1;
    const int out = open(argv[1], O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (out < 0)
        return 1;
    const int ready = open((std::string(argv[1]) + ".ready").c_str(), O_WRONLY | O_CREAT, 0600);
    if (ready < 0)
        return 1;
    close(ready);
    char buffer[4096];
    for (;;) {
        const ssize_t count = read(STDIN_FILENO, buffer, sizeof buffer);
        if (count <= 0)
            break;
        if (write(out, buffer, static_cast<size_t>(count)) != count)
            return 1;
    }
    close(out);
    return 0;
}
