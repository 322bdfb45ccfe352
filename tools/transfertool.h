// What quillock-import, quillock-export and every later tool share: a
// hardened process that fails with one line, their command line, output a
// terminal cannot be tricked by, the vault beside the tool, and the lock
// the program holds.
#pragma once

#include "vault/apperror.h"
#include "vault/fileops.h"
#include "vault/hardening.h"
#include "vault/vaultstore.h"
#include "vault/wipe.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QString>
#include <cstdio>
#include <exception>
#include <functional>
#include <memory>
#include <new>
#include <optional>

namespace Tool {

// Text from a file may hold escape sequences, and format characters that
// reorder or hide what a terminal shows (U+202E turns "gpj.exe" around);
// a terminal gets none of them, nor a line separator or a lone surrogate.
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

inline void print(std::FILE* to, const QString& line)
{
    const QByteArray utf8 = printable(line).toUtf8();
    std::fwrite(utf8.constData(), 1, size_t(utf8.size()), to);
    std::fputc('\n', to);
}

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
              QStringLiteral("%1: %2%3 %4")
                  .arg(QLatin1String(tool), where, sentence(error.description()), QLatin1String(aftermath)));
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "%s: out of memory. %s\n", tool, aftermath);
    } catch (const std::exception& error) {
        print(stderr,
              QStringLiteral("%1: unexpected failure: %2 %3")
                  .arg(QLatin1String(tool), sentence(QString::fromUtf8(error.what())), QLatin1String(aftermath)));
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
    return guarded(tool, aftermath, place, [&] {
        QCoreApplication app(argc, argv);
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

private:
    std::unique_ptr<VaultLock> lock_;
    std::unique_ptr<VaultStore> store_;  // closed before the lock goes
};

// The vault beside the tool, as the program beside it has it.
inline QString defaultVaultPath()
{
    return QCoreApplication::applicationDirPath() + QLatin1Char('/') + VaultStore::FileName;
}

// The value following an option, as "--name VALUE" or "--name=VALUE".
inline bool optionValue(const QStringList& args, qsizetype& i, const QString& name, QString& value)
{
    if (args[i] == name && i + 1 < args.size()) {
        value = args[++i];
        return true;
    }
    if (args[i].startsWith(name + QLatin1Char('='))) {
        value = args[i].mid(name.size() + 1);
        return true;
    }
    return false;
}

inline int wrongUsage(const char* usage)
{
    std::fputs(usage, stderr);
    return 2;
}

struct CommandLine {
    QString file;
    QString vault;  // the vault beside the tool unless --vault names one
};

// Reads "FILE [--vault PATH/data.mdb]" and the options `own` takes (it
// moves `i` past an option's value). Returns the exit status when the tool
// stops here: 0 after --help, 2 for a wrong command line.
inline std::optional<int> readCommandLine(const char* usage, CommandLine& line,
                                          const std::function<bool(const QStringList& args, qsizetype& i)>& own)
{
    const QStringList args = QCoreApplication::arguments().mid(1);
    bool wrong = false;
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (own(args, i) || optionValue(args, i, QStringLiteral("--vault"), line.vault))
            continue;
        if (args[i] == QLatin1String("-h") || args[i] == QLatin1String("--help")) {
            std::fputs(usage, stdout);
            return 0;
        }
        if (args[i].startsWith(QLatin1Char('-')) || !line.file.isEmpty())
            wrong = true;
        else
            line.file = args[i];
    }
    if (wrong || line.file.isEmpty())
        return wrongUsage(usage);
    if (line.vault.isEmpty())
        line.vault = defaultVaultPath();
    return std::nullopt;
}

}  // namespace Tool
