// What every command-line tool shares: a hardened process that fails with
// one line, its command line, output a terminal cannot be tricked by, one
// progress line, the vault beside the tool, and the lock the program holds.
//
// A tool's main is one call of Tool::run:
//
//     int main(int argc, char** argv)
//     {
//         return Tool::run(argc, argv, "quillock-export", "Nothing was written.", QString(), [] {
//             Tool::CommandLine line({QStringLiteral("FILE [--vault PATH/data.mdb]")},
//                                    QStringLiteral("Writes every account ...\n"));
//             line.addArgument(QStringLiteral("FILE"));                // positional, in order
//             line.addValue(QStringLiteral("format"), QStringLiteral("NAME"), QStringLiteral("The layout."));
//             line.addFlag(QStringLiteral("yes"), QStringLiteral("Asks nothing."));
//             line.addVault();                                          // --vault PATH/data.mdb
//             if (const auto stop = line.read())                        // --help, --version, a wrong line
//                 return *stop;
//             ... line.argument(0), line.value("format"), line.isSet("yes"), line.vault() ...
//             return line.wrong(QStringLiteral("Unknown format."));   // a value the tool refuses: exit 2
//         });
//     }
//
// Every message goes out through Tool::print, its own line breaks kept;
// text from outside (a file's fields, a path) goes into a message through
// Tool::printable, so that it cannot start a line of its own. Long work
// shows a Tool::Progress.
#pragma once

#include "masterentry.h"
#include "vault/apperror.h"
#include "vault/hardening.h"
#include "vault/vaultlock.h"
#include "vault/vaultstore.h"
#include "vault/wipe.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QList>
#include <QString>
#include <QStringList>
#include <algorithm>
#include <cstdio>
#include <exception>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <sys/ioctl.h>
#include <unistd.h>
#include <utility>

namespace Tool {

// The tool's name as its messages start, set by Tool::run.
inline const char* name = "quillock";

// Text from a file may hold escape sequences, and format characters that
// reorder or hide what a terminal shows (U+202E turns "gpj.exe" around);
// a terminal gets none of them, nor a line break, a line separator or a
// lone surrogate. For one value or one line.
inline QString printable(const QString& text)
{
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        char32_t code = text[i].unicode();
        const bool pair = QChar::isHighSurrogate(code) && i + 1 < text.size() && text[i + 1].isLowSurrogate();
        if (pair)
            code = QChar::surrogateToUcs4(text[i], text[i + 1]);
        const QChar::Category category = QChar::category(code);
        const bool hidden = code < 0x20 || (code >= 0x7F && code < 0xA0) || category == QChar::Other_Format
            || category == QChar::Other_Surrogate || category == QChar::Separator_Line
            || category == QChar::Separator_Paragraph;
        if (hidden)
            out += QChar(u'\uFFFD');
        else
            out.append(text.constData() + i, pair ? 2 : 1);
        i += pair ? 1 : 0;
    }
    return out;
}

// A message of one line or several: its "\n"s stay line breaks, each line
// is made printable as above.
inline QString printableLines(const QString& message)
{
    QStringList lines = message.split(QLatin1Char('\n'));
    for (QString& line : lines)
        line = printable(line);
    return lines.join(QLatin1Char('\n'));
}

namespace Detail {
inline bool progressShown = false;

inline void clearProgress()
{
    if (std::exchange(progressShown, false)) {
        std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
    }
}
}  // namespace Detail

// Prints a message and a line end to `to` (stdout or stderr), after
// clearing a progress line.
inline void print(std::FILE* to, const QString& message)
{
    Detail::clearProgress();
    const QByteArray utf8 = printableLines(message).toUtf8();
    std::fwrite(utf8.constData(), 1, size_t(utf8.size()), to);
    std::fputc('\n', to);
}

// One line on a terminal (standard error) that keeps being rewritten, cut
// to the terminal's width; nothing when standard error is not a terminal.
// Gone when cleared, when a message is printed, and when it goes.
class Progress {
public:
    Progress() : terminal_(::isatty(STDERR_FILENO) == 1) { }
    ~Progress() { clear(); }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void show(const QString& text)
    {
        if (!terminal_)
            return;
        QString line = printable(text);
        winsize size{};
        if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 1)
            line.truncate(size.ws_col - 1);
        std::fprintf(stderr, "\r\033[K%s", line.toUtf8().constData());
        std::fflush(stderr);
        Detail::progressShown = true;
    }
    static void clear() { Detail::clearProgress(); }

private:
    bool terminal_;
};

// An error's description as a sentence of a message line.
inline QString sentence(const QString& description)
{
    return description.endsWith(QLatin1Char('.')) ? description : description + QLatin1Char('.');
}

// Runs `work` and returns its exit status. Whatever it throws ends the
// tool with one line on standard error, "TOOL: [PLACE: ]REASON AFTERMATH",
// and exit status 1; `place` (read when the error comes) names what the
// tool was working on. Memory that ran out is told without allocating more.
inline int guarded(const char* tool, const char* aftermath, const QString& place, const std::function<int()>& work)
{
    try {
        return work();
    } catch (const AppError& error) {
        const QString where = place.isEmpty() ? QString() : place + QStringLiteral(": ");
        print(stderr,
              printable(QStringLiteral("%1: %2%3 %4")
                            .arg(QLatin1String(tool), where, sentence(error.description()), QLatin1String(aftermath))));
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "%s: out of memory. %s\n", tool, aftermath);
    } catch (const std::exception& error) {
        print(stderr,
              printable(
                  QStringLiteral("%1: unexpected failure: %2 %3")
                      .arg(QLatin1String(tool), sentence(QString::fromUtf8(error.what())), QLatin1String(aftermath))));
    } catch (...) {
        std::fprintf(stderr, "%s: unexpected failure. %s\n", tool, aftermath);
    }
    std::fflush(stderr);
    return 1;
}

// A tool's whole life, its main's only statement: the process hardened
// before anything is read, then `work` guarded as above.
inline int run(int argc, char** argv, const char* tool, const char* aftermath, const QString& place,
               const std::function<int()>& work)
{
    Secrets::hardenProcess();
    name = tool;
    return guarded(tool, aftermath, place, [&] {
        QCoreApplication app(argc, argv);
        QCoreApplication::setApplicationName(QString::fromUtf8(tool));
        QCoreApplication::setApplicationVersion(QStringLiteral("%1.%2.%3")
                                                    .arg(QUILLOCK_VERSION_MAJOR)
                                                    .arg(QUILLOCK_VERSION_MINOR)
                                                    .arg(QUILLOCK_VERSION_PATCH));
        return work();
    });
}

// The vault, opened while the tool shares its folder with every running
// copy of the program: no copy compacts and replaces it in the meantime.
class OpenVault {
public:
    explicit OpenVault(const QString& path) : lock_(std::make_unique<VaultLock>(path))
    {
        lock_->share();
        store_ = VaultStore::open(path);
        store_->attachLock(lock_.get());
    }
    VaultStore& store() { return *store_; }

    // Reads the master password and opens the vault with it. False, with
    // "TOOL: wrong master password; NOTHINGDONE" told, when it is not the
    // one; a vault without a master password yet is an error.
    bool unlock(const char* tool, const char* nothingDone)
    {
        if (!store_->isInitialized())
            throw AppError(ErrorCode::NoCurrentRecord,
                           QStringLiteral("The vault has no master password yet; start Quillock once to choose one."),
                           ErrorSource::Store);
        QString entry;
        const bool given = readMasterPassword(entry);
        const bool matches = given && store_->masterPasswordOpens(entry);
        Secrets::wipe(entry);
        if (!matches)
            print(stderr,
                  QStringLiteral("%1: wrong master password; %2").arg(QLatin1String(tool), QLatin1String(nothingDone)));
        return matches;
    }

private:
    std::unique_ptr<VaultLock> lock_;
    std::unique_ptr<VaultStore> store_;  // closed before the lock goes
};

// The vault beside the tool, as the program beside it has it.
inline QString defaultVaultPath()
{
    return QCoreApplication::applicationDirPath() + QLatin1Char('/') + VaultStore::FileName;
}

// A tool's command line: what it takes is declared first, then read once.
// The help is "usage: TOOL " and each form of `synopsis`, the text
// `about`, then the options and arguments as declared. --help and
// --version are always there. A wrong command line (an unknown option, a
// missing or empty value, a value option given twice, an argument too
// many or missing) is told in one line, then the help, on standard error.
class CommandLine {
public:
    CommandLine(const QStringList& synopsis, const QString& about) : synopsis_(synopsis), about_(about)
    {
        addFlag(QStringLiteral("help"), QStringLiteral("Shows this help."), QStringLiteral("h"));
        addFlag(QStringLiteral("version"), QStringLiteral("Shows the version."));
    }

    // A positional argument; arguments are read in the order they are
    // added, the optional ones after all others.
    void addArgument(const QString& argumentName, const QString& help = {}, bool optional = false)
    {
        arguments_.append({argumentName, help, optional});
    }
    // An option without a value, --NAME (and -SHORTNAME when given).
    void addFlag(const QString& optionName, const QString& help, const QString& shortName = {})
    {
        add(QCommandLineOption(shortName.isEmpty() ? QStringList{optionName} : QStringList{shortName, optionName},
                               help));
    }
    // An option with a value, --NAME VALUE or --NAME=VALUE, at most once.
    void addValue(const QString& optionName, const QString& valueName, const QString& help)
    {
        add(QCommandLineOption(optionName, help, valueName));
    }
    // --vault PATH/data.mdb; vault() is the vault beside the tool without it.
    void addVault()
    {
        hasVault_ = true;
        addValue(QStringLiteral("vault"), QStringLiteral("PATH/data.mdb"),
                 QStringLiteral("The vault to work on instead of the one beside this tool."));
    }

    // Reads the command line. std::nullopt when the tool goes on; else
    // its exit status: 0 after --help or --version, 2 for a wrong line.
    std::optional<int> read()
    {
        if (!parser_.parse(QCoreApplication::arguments()))
            return wrong(parser_.errorText());
        if (parser_.isSet(QStringLiteral("help"))) {
            std::fputs(usage().toUtf8().constData(), stdout);
            return 0;
        }
        if (parser_.isSet(QStringLiteral("version"))) {
            print(stdout, QStringLiteral("%1 %2").arg(QLatin1String(name), QCoreApplication::applicationVersion()));
            return 0;
        }
        for (const QCommandLineOption& option : options_) {
            if (option.valueName().isEmpty())
                continue;
            const QStringList values = parser_.values(option);
            const QString dashed = QStringLiteral("--") + option.names().constLast();
            if (values.size() > 1)
                return wrong(QStringLiteral("'%1' is given more than once.").arg(dashed));
            if (values.size() == 1 && values.first().isEmpty())
                return wrong(QStringLiteral("Missing value after '%1'.").arg(dashed));
        }
        const QStringList given = parser_.positionalArguments();
        if (given.size() > arguments_.size())
            return wrong(QStringLiteral("Unexpected argument '%1'.").arg(given.at(arguments_.size())));
        for (qsizetype i = given.size(); i < arguments_.size(); ++i)
            if (!arguments_.at(i).optional)
                return wrong(QStringLiteral("Missing argument %1.").arg(arguments_.at(i).name));
        return std::nullopt;
    }

    bool isSet(const QString& optionName) const { return parser_.isSet(optionName); }
    // An option's value; empty when it is not given.
    QString value(const QString& optionName) const { return parser_.value(optionName); }
    // The i-th positional argument; empty when it is not given.
    QString argument(qsizetype i) const { return parser_.positionalArguments().value(i); }
    QString vault() const
    {
        const QString named = hasVault_ ? value(QStringLiteral("vault")) : QString();
        return named.isEmpty() ? defaultVaultPath() : named;
    }

    // A command line the tool refuses after reading it (a value it does
    // not know): `reason` and the help on standard error; returns 2.
    int wrong(const QString& reason) const
    {
        print(stderr, printable(QStringLiteral("%1: %2").arg(QLatin1String(name), reason)));
        std::fputs(usage().toUtf8().constData(), stderr);
        return 2;
    }

    QString usage() const
    {
        QString text;
        const QString toolName = QString::fromUtf8(name);
        for (qsizetype i = 0; i < synopsis_.size(); ++i)
            text += (i == 0 ? QStringLiteral("usage: ") : QStringLiteral("       ")) + toolName + QLatin1Char(' ')
                + synopsis_.at(i) + QLatin1Char('\n');
        text += about_;
        QList<std::pair<QString, QString>> rows;
        // The tool's own options first, then --help and --version.
        QList<QCommandLineOption> options = options_.mid(2) + options_.mid(0, 2);
        for (const QCommandLineOption& option : options) {
            QStringList names;
            for (const QString& each : option.names())
                names << (each.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + each;
            const QString value = option.valueName().isEmpty() ? QString() : QLatin1Char(' ') + option.valueName();
            rows.append({names.join(QStringLiteral(", ")) + value, option.description()});
        }
        const qsizetype optionRows = rows.size();
        for (const Argument& argument : arguments_)
            if (!argument.help.isEmpty())
                rows.append({argument.name, argument.help});
        qsizetype width = 0;
        for (const auto& row : rows)
            width = std::max(width, row.first.size());
        for (qsizetype i = 0; i < rows.size(); ++i) {
            if (i == 0 || i == optionRows)
                text += i == 0 ? QStringLiteral("\nOptions:\n") : QStringLiteral("\nArguments:\n");
            text += QStringLiteral("  ") + rows.at(i).first.leftJustified(width + 2) + rows.at(i).second
                + QLatin1Char('\n');
        }
        return text;
    }

private:
    struct Argument {
        QString name;
        QString help;
        bool optional = false;
    };

    void add(const QCommandLineOption& option)
    {
        parser_.addOption(option);
        options_.append(option);
    }

    QCommandLineParser parser_;
    QStringList synopsis_;
    QString about_;
    QList<QCommandLineOption> options_;
    QList<Argument> arguments_;
    bool hasVault_ = false;
};

}  // namespace Tool
