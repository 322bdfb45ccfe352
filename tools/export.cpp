// Writes every account of the vault as a CSV file that KeePassXC, Bitwarden
// or Chrome imports, after the master password is given.
#include "transfertool.h"

#include "transfer/accountexport.h"
#include "transfer/transfer.h"

#include <QScopeGuard>
#include <array>
#include <cerrno>
#include <csignal>
#include <sodium.h>
#include <termios.h>
#include <unistd.h>

namespace {

const char Usage[] = "usage: quillock-export FILE [--format keepassxc|bitwarden|chrome] [--vault PATH/data.mdb]\n"
                     "Writes every account of the vault beside this tool (or the one named) to the new\n"
                     "file FILE (mode 0600), KeePassXC's CSV by default. Asks for the master password;\n"
                     "when standard input is not a terminal, its first line is the master password.\n";

termios savedTerminal{};
volatile std::sig_atomic_t echoIsOff = 0;

// A signal must not leave the terminal without its echo.
void RestoreTerminalAndDie(int signal)
{
    if (echoIsOff)
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

// One line of standard input without its "\n"; false when the input ended
// before anything, or the line is too long to be any master password.
bool ReadLine(QString& line)
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

bool ReadMasterPassword(QString& entry)
{
    if (::isatty(STDIN_FILENO) != 1)
        return ReadLine(entry);
    std::fputs("Master password: ", stderr);
    std::fflush(stderr);
    if (::tcgetattr(STDIN_FILENO, &savedTerminal) != 0)
        return ReadLine(entry);
    termios quiet = savedTerminal;
    quiet.c_lflag &= tcflag_t(~ECHO);
    quiet.c_lflag |= ECHONL;
    const int stopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP};
    for (int s : stopSignals)
        std::signal(s, RestoreTerminalAndDie);
    echoIsOff = 1;
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    const bool read = ReadLine(entry);
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
    echoIsOff = 0;
    for (int s : stopSignals)
        std::signal(s, SIG_DFL);
    return read;
}

QString FormatTitle(Transfer::ExportFormat format)
{
    switch (format) {
    case Transfer::ExportFormat::KeePassXC:
        return QStringLiteral("KeePassXC");
    case Transfer::ExportFormat::Bitwarden:
        return QStringLiteral("Bitwarden");
    case Transfer::ExportFormat::Chrome:
        return QStringLiteral("Chrome");
    }
    return {};
}

// Writes the file once the master password is right.
int Export(const Tool::CommandLine& line, Transfer::ExportFormat format)
{
    const QString& file = line.file;
    // Before the master password is asked for, not instead of the
    // exclusive creation that really guards the file.
    if (FileOps::exists(file))
        throw AppError(ErrorCode::DatabaseFailure,
                       QStringLiteral("'%1' exists already; an export never replaces a file.").arg(file),
                       ErrorSource::Files);
    Tool::OpenVault vault(line.vault);
    QString entry;
    const bool given = ReadMasterPassword(entry);
    const bool matches = given && Transfer::MasterPasswordMatches(vault.store(), entry);
    Secrets::wipe(entry);
    if (!matches) {
        Tool::print(stderr, QStringLiteral("quillock-export: wrong master password; nothing was written."));
        return 1;
    }
    qsizetype count = 0;
    QByteArray csv = Transfer::ExportCsv(vault.store(), format, &count);
    const auto forgetCsv = qScopeGuard([&] { Secrets::wipe(csv); });
    Transfer::WriteNewFile(file, csv);
    Tool::print(stdout,
                QStringLiteral("Wrote %1 accounts to %2 for %3. The file holds every password in "
                               "plain text: delete it once it is imported.")
                    .arg(count)
                    .arg(file, FormatTitle(format)));
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    return Tool::run(argc, argv, "quillock-export", "Nothing was written.", QString(), [] {
        Tool::CommandLine line;
        QString formatName = QStringLiteral("keepassxc");
        const auto stop = Tool::readCommandLine(Usage, line, [&](const QStringList& args, qsizetype& i) {
            return Tool::optionValue(args, i, QStringLiteral("--format"), formatName);
        });
        if (stop)
            return *stop;
        const auto format = Transfer::ExportFormatNamed(formatName);
        if (!format)
            return Tool::wrongUsage(Usage);
        return Export(line, *format);
    });
}
