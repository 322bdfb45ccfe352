// Writes a fresh, empty vault. Never overwrites an existing file.
#include "vault/apperror.h"
#include "vault/fileops.h"
#include "vault/vaultstore.h"

#include <QCoreApplication>
#include <QStringList>
#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    const bool ifAbsent = args.removeAll(QStringLiteral("--if-absent")) > 0;
    if (args.size() != 1) {
        std::fprintf(stderr, "usage: quillock-makevault [--if-absent] PATH/data.mdb\n");
        return 2;
    }
    try {
        if (ifAbsent && FileOps::exists(args.first()))
            return 0;
        VaultStore::createFresh(args.first());
    } catch (const AppError& error) {
        std::fprintf(stderr, "quillock-makevault: %s\n", error.what());
        return 1;
    }
    return 0;
}
