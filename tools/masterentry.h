// Asking for the master password on the command line, as quillock-export,
// quillock-import and quillock-seal do: without echo on a terminal, else the
// first line of standard input.
#pragma once

#include <QString>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <sodium.h>
#include <termios.h>
#include <unistd.h>

namespace Tool {

inline termios savedTerminal{};
inline volatile std::sig_atomic_t echoIsOff = 0;

// A signal must not leave the terminal without its echo.
inline void restoreTerminalAndDie(int signal)
{
    if (echoIsOff)
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

// One line of standard input without its "\n"; false when the input ended
// before anything, or the line is too long to be any master password.
inline bool readLine(QString& line)
{
    std::array<char, 1024> buffer{};
    size_t length = 0;
    bool any = false;
    bool tooLong = false;
    char c = 0;
    while (true) {
        const ssize_t got = ::read(STDIN_FILENO, &c, 1);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        any = true;
        if (c == '\n')
            break;
        if (length < buffer.size())
            buffer[length++] = c;
        else
            tooLong = true;
    }
    line = QString::fromUtf8(buffer.data(), qsizetype(length));
    sodium_memzero(buffer.data(), buffer.size());
    sodium_memzero(&c, sizeof c);
    return any && !tooLong;
}

inline bool readMasterPassword(QString& entry, const char* prompt = "Master password: ")
{
    if (::isatty(STDIN_FILENO) != 1)
        return readLine(entry);
    std::fputs(prompt, stderr);
    std::fflush(stderr);
    if (::tcgetattr(STDIN_FILENO, &savedTerminal) != 0)
        return readLine(entry);
    termios quiet = savedTerminal;
    quiet.c_lflag &= tcflag_t(~ECHO);
    quiet.c_lflag |= ECHONL;
    const int stopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP};
    for (int s : stopSignals)
        std::signal(s, restoreTerminalAndDie);
    echoIsOff = 1;
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    const bool read = readLine(entry);
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
    echoIsOff = 0;
    for (int s : stopSignals)
        std::signal(s, SIG_DFL);
    return read;
}

}  // namespace Tool
