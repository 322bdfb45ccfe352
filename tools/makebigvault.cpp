// Writes a generated vault of N realistic accounts, to start Quillock on a
// large vault and feel it. Never overwrites an existing file.
#include "vaultgen.h"

#include "vault/apperror.h"

#include <QCoreApplication>
#include <QStringList>
#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    bool ok = args.size() == 2 || args.size() == 3;
    const int count = ok ? args.at(0).toInt(&ok) : 0;
    unsigned seed = 20261207;
    if (ok && args.size() == 3)
        seed = args.at(2).toUInt(&ok);
    if (!ok || count < 0) {
        std::fprintf(stderr,
                     "usage: quillock-makebigvault N PATH/data.mdb [SEED]\n"
                     "The vault's master password is \"%s\".\n",
                     qPrintable(VaultGen::MasterPassword));
        return 2;
    }
    try {
        VaultGen::write(args.at(1), count, seed);
    } catch (const AppError& error) {
        std::fprintf(stderr, "quillock-makebigvault: %s\n", error.what());
        return 1;
    }
    std::printf("%d accounts written to %s (master password \"%s\")\n", count, qPrintable(args.at(1)),
                qPrintable(VaultGen::MasterPassword));
    return 0;
}
