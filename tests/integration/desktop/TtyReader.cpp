// Runs inside a terminal emulator and records what the terminal passes on: puts its terminal into raw mode
// (no echo, no line editing, control characters as bytes), creates "<file>.ready", then appends every byte
// it reads to <file> until the terminal goes away. With --bracketed-paste it first asks the terminal to mark
// pastes (ESC [200~ ... ESC [201~), as a shell does so as not to run what is pasted.
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <termios.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    const bool bracketedPaste = argc == 3 && std::strcmp(argv[2], "--bracketed-paste") == 0;
    if (argc != 2 && !bracketedPaste)
        return 2;
    termios mode{};
    if (tcgetattr(STDIN_FILENO, &mode) != 0)
        return 1;
    cfmakeraw(&mode);
    if (tcsetattr(STDIN_FILENO, TCSANOW, &mode) != 0)
        return 1;
    if (bracketedPaste) {
        // Switched on, then asked back (DECRQM): once the answer is in, the terminal has taken the mode, and
        // every paste after that is marked.
        constexpr char kOnAndAsk[] = "\x1b[?2004h\x1b[?2004$p";
        if (write(STDOUT_FILENO, kOnAndAsk, sizeof kOnAndAsk - 1) !=
            static_cast<ssize_t>(sizeof kOnAndAsk - 1))
            return 1;
        std::string answer;
        char c = 0;
        while (answer.find("$y") == std::string::npos) {
            if (read(STDIN_FILENO, &c, 1) != 1)
                return 1;
            answer += c;
        }
        if (answer.find("\x1b[?2004;1$y") == std::string::npos)
            return 3; // the terminal does not mark pastes
    }
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
