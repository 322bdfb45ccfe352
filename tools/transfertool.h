// What quillock-import and quillock-export share: output a terminal cannot
// be tricked by, the vault beside the tool, and the lock the program holds.
#pragma once

#include "vault/apperror.h"
#include "vault/fileops.h"
#include "vault/vaultstore.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QString>
#include <cstdio>
#include <memory>

namespace Tool {

// Text from a file may hold escape sequences; a terminal gets none of them.
inline QString Printable(const QString& text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        out += (u < 0x20 || (u >= 0x7F && u < 0xA0)) ? QChar(u'\uFFFD') : c;
    }
    return out;
}

inline void Print(std::FILE* to, const QString& line)
{
    const QByteArray utf8 = Printable(line).toUtf8();
    std::fwrite(utf8.constData(), 1, size_t(utf8.size()), to);
    std::fputc('\n', to);
}

inline QString DefaultVault()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/data.mdb");
}

// The vault, opened while the tool shares its folder with every running
// copy of the program: no copy compacts and replaces it in the meantime.
class OpenVault {
public:
    explicit OpenVault(const QString& path) : lock_(std::make_unique<VaultLock>(QFileInfo(path).absolutePath()))
    {
        lock_->share();
        store_ = VaultStore::open(path);
    }
    VaultStore& store() { return *store_; }

private:
    std::unique_ptr<VaultLock> lock_;
    std::unique_ptr<VaultStore> store_;  // closed before the lock goes
};

// The value following an option, as "--name VALUE" or "--name=VALUE".
inline bool OptionValue(const QStringList& args, qsizetype& i, const QString& name, QString& value)
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

}  // namespace Tool
