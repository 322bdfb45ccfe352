// Writes a fresh, empty vault. Never overwrites an existing file.
#include "tool.h"

#include "vault/fileops.h"

int main(int argc, char** argv)
{
    return Tool::run(argc, argv, "quillock-makevault", "Nothing was written.", QString(), [] {
        Tool::CommandLine line(
            {QStringLiteral("[--if-absent] PATH/data.mdb")},
            QStringLiteral("Writes a fresh, empty vault at PATH/data.mdb; never overwrites a file.\n"));
        line.addArgument(QStringLiteral("PATH/data.mdb"));
        line.addFlag(QStringLiteral("if-absent"), QStringLiteral("Does nothing when the file exists already."));
        if (const auto stop = line.read())
            return *stop;
        const QString path = line.argument(0);
        if (line.isSet(QStringLiteral("if-absent")) && FileOps::exists(path))
            return 0;
        VaultStore::createFresh(path);
        return 0;
    });
}
