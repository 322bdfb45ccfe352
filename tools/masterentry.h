// Asking for the master password on the command line, as quillock-export,
// quillock-import and quillock-seal do: without echo on a terminal, else the
// first line of standard input.
#pragma once

#include <QString>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sodium.h>
#include <termios.h>
#include <unistd.h>

namespace Tool {

namespace Detail {

// What the signal handlers need while a prompt waits on the terminal.
inline termios savedTerminal{};
inline termios promptTerminal{};
inline const char* shownPrompt = "";
inline size_t shownPromptLength = 0;
inline volatile std::sig_atomic_t prompting = 0;
inline volatile std::sig_atomic_t startedAgain = 0;

inline constexpr int EndSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Ctrl+C and the like: the terminal gets its echo back, then the signal
// ends the tool as it would have, once the handler returns.
inline void endAfterRestoring(int signal)
{
    if (prompting)
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
    struct sigaction fallback { };
    fallback.sa_handler = SIG_DFL;
    ::sigaction(signal, &fallback, nullptr);
    ::raise(signal);
}

// Ctrl+Z, as readpassphrase takes it: the shell and whatever runs while
// the tool is stopped get the terminal as it was, then the tool stops.
inline void stopAfterRestoring(int)
{
    const int savedErrno = errno;
    if (prompting)
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
    struct sigaction fallback { };
    struct sigaction own { };
    fallback.sa_handler = SIG_DFL;
    ::sigaction(SIGTSTP, &fallback, &own);
    sigset_t stop;
    sigset_t before;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTSTP);
    ::sigprocmask(SIG_UNBLOCK, &stop, &before);
    ::raise(SIGTSTP);  // stopped here until continued
    ::sigprocmask(SIG_SETMASK, &before, nullptr);
    ::sigaction(SIGTSTP, &own, nullptr);
    errno = savedErrno;
}

// Continued (after Ctrl+Z, or a stop from outside): the echo goes off
// again, what was half typed is dropped and the prompt shown afresh.
inline void promptAgain(int)
{
    const int savedErrno = errno;
    if (prompting) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &promptTerminal);
        [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, shownPrompt, shownPromptLength);
        startedAgain = 1;
    }
    errno = savedErrno;
}

// The prompt's signals held back while the handlers and the terminal change
// together; one that came meanwhile is handled once they are let through.
class HeldSignals {
public:
    HeldSignals()
    {
        sigset_t held;
        sigemptyset(&held);
        for (int s : EndSignals)
            sigaddset(&held, s);
        sigaddset(&held, SIGTSTP);
        sigaddset(&held, SIGCONT);
        ::sigprocmask(SIG_BLOCK, &held, &before_);
    }
    ~HeldSignals() { ::sigprocmask(SIG_SETMASK, &before_, nullptr); }
    HeldSignals(const HeldSignals&) = delete;
    HeldSignals& operator=(const HeldSignals&) = delete;

private:
    sigset_t before_;
};

}  // namespace Detail

// One line of standard input without its "\n"; false when the input ended
// before anything, or the line is too long to be any master password. A
// prompt shown again after a stop starts the line over.
inline bool readLine(QString& line)
{
    std::array<char, 1024> buffer{};
    size_t length = 0;
    bool any = false;
    bool tooLong = false;
    char c = 0;
    while (true) {
        const ssize_t got = ::read(STDIN_FILENO, &c, 1);
        if (Detail::startedAgain) {
            Detail::startedAgain = 0;
            length = 0;
            any = false;
            tooLong = false;
        }
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

// Shows `prompt` (a literal) on standard error and reads a line from the
// terminal on standard input, without echo unless `echo`. Ctrl+Z gives
// the terminal back as it was; continuing shows the prompt again.
inline bool readFromTerminal(const char* prompt, bool echo, QString& line)
{
    std::array<struct sigaction, std::size(Detail::EndSignals)> endBefore{};
    struct sigaction stopBefore { };
    struct sigaction continueBefore { };
    {
        const Detail::HeldSignals held;
        if (::tcgetattr(STDIN_FILENO, &Detail::savedTerminal) != 0) {
            std::fputs(prompt, stderr);
            std::fflush(stderr);
            return readLine(line);
        }
        Detail::promptTerminal = Detail::savedTerminal;
        if (!echo) {
            Detail::promptTerminal.c_lflag &= tcflag_t(~ECHO);
            Detail::promptTerminal.c_lflag |= ECHONL;
        }
        Detail::shownPrompt = prompt;
        Detail::shownPromptLength = std::strlen(prompt);
        Detail::startedAgain = 0;
        struct sigaction handler { };
        sigemptyset(&handler.sa_mask);
        handler.sa_flags = SA_RESTART;
        handler.sa_handler = Detail::endAfterRestoring;
        for (size_t i = 0; i < endBefore.size(); ++i)
            ::sigaction(Detail::EndSignals[i], &handler, &endBefore[i]);
        handler.sa_handler = Detail::stopAfterRestoring;
        ::sigaction(SIGTSTP, &handler, &stopBefore);
        handler.sa_handler = Detail::promptAgain;
        ::sigaction(SIGCONT, &handler, &continueBefore);
        Detail::prompting = 1;
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &Detail::promptTerminal);
        std::fputs(prompt, stderr);
        std::fflush(stderr);
    }
    const bool read = readLine(line);
    const Detail::HeldSignals held;
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &Detail::savedTerminal);
    Detail::prompting = 0;
    for (size_t i = 0; i < endBefore.size(); ++i)
        ::sigaction(Detail::EndSignals[i], &endBefore[i], nullptr);
    ::sigaction(SIGTSTP, &stopBefore, nullptr);
    ::sigaction(SIGCONT, &continueBefore, nullptr);
    return read;
}

// `prompt` is a literal: the prompt shown again after Ctrl+Z.
inline bool readMasterPassword(QString& entry, const char* prompt = "Master password: ")
{
    if (::isatty(STDIN_FILENO) != 1)
        return readLine(entry);
    return readFromTerminal(prompt, false, entry);
}

}  // namespace Tool
