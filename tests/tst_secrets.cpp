// The process keeps the passwords in its memory out of core files and
// debuggers, and its files to their owner.
#include "testsupport.h"

#include "shared/secrets.h"

#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

class TestSecrets : public QObject {
    Q_OBJECT
private slots:
    void hardeningKeepsMemoryFromCoreFilesAndDebuggers()
    {
        // In a child, so this process keeps its own settings.
        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            ::prctl(PR_SET_DUMPABLE, 1, 0, 0, 0);
            ::umask(022);
            Secrets::hardenProcess();
            rlimit core{};
            ::getrlimit(RLIMIT_CORE, &core);
            mode_t forTheBrowser = 0;
            {
                const Secrets::UserUmask user;
                forTheBrowser = ::umask(0);
                ::umask(forTheBrowser);
            }
            ::_exit((::prctl(PR_GET_DUMPABLE, 0, 0, 0, 0) != 0 ? 1 : 0) | (core.rlim_cur || core.rlim_max ? 2 : 0)
                    | (::umask(0) != 077 ? 4 : 0) | (forTheBrowser != 022 ? 8 : 0));
        }
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status),
                 0);  // 1: dumpable, 2: core files allowed, 4: umask not 077, 8: the browser's umask not the user's
    }
};

QUILLOCK_TEST_MAIN(TestSecrets)
#include "tst_secrets.moc"
