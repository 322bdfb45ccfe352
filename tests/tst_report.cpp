// The account report file: its exact bytes, its escaping, its permissions
// and its failures.
#include "coresupport.h"

#include "report/reportwriter.h"
#include "vault/apperror.h"
#include "vault/sqlite.h"
#include "vault/stringcipher.h"
#include "vault/vaultstore.h"

#include <QCryptographicHash>
#include <QFile>
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

QByteArray golden(const char* name)
{
    const QByteArray bytes = readFile(QStringLiteral(QUILLOCK_SOURCE_DIR "/tests/golden/") + QLatin1String(name));
    if (bytes.isEmpty())
        qFatal("golden file %s is missing", name);
    return bytes;
}

QByteArray fingerprint(const QString& path)
{
    return QCryptographicHash::hash(readFile(path), QCryptographicHash::Sha256);
}

// All a folder may hold after a report, written or failed.
const QStringList VaultAndReport = {QStringLiteral("data.mdb"), QStringLiteral("report.htm")};

QList<QByteArray> reportLines(const QByteArray& bytes)
{
    return bytes.split('\n');
}

}  // namespace

class TestReport : public QObject {
    Q_OBJECT
private slots:
    void emptyVaultGivesTheHeadingOnly()
    {
        CoreSandbox sandbox;
        auto vault = sandbox.openVault();
        const QString path = sandbox.appFolder() + QStringLiteral("/report.htm");
        writeReport(*vault, path);
        QCOMPARE(readFile(path), golden("report_empty.htm"));
    }

    void accountsInListOrderEscapedAndInUtf8()
    {
        CoreSandbox sandbox;
        // Stored out of order, with a case-only tie ("apple" first), markup,
        // all five special characters, line breaks and non-Latin text.
        sandbox.addAccount(QStringLiteral("zeta mail"), QStringLiteral("z@example.org"), QStringLiteral("Zz9!"),
                           QStringLiteral("http://mail.example.org"));
        sandbox.addAccount(QStringLiteral("Bank & Trust"), QStringLiteral("<admin>"), QStringLiteral("p\"a'ss&<>"),
                           QStringLiteral("http://bank.example.com/?a=1&b=2"),
                           QStringLiteral("Mother's \"maiden\" name"),
                           QStringLiteral("line one\nline two\r\nline three"));
        sandbox.addAccount(QStringLiteral("apple"), QStringLiteral("jürgen"), QStringLiteral("пароль日本"),
                           QStringLiteral("http://"), QStringLiteral("Ελληνικά"),
                           QStringLiteral("<script>alert('x')</script>"));
        sandbox.addAccount(QStringLiteral("Apple"), QStringLiteral("second"), QStringLiteral("tie"), QString());
        sandbox.addAccount(QStringLiteral("Почта"), QStringLiteral("иван"), QStringLiteral("секрет"),
                           QStringLiteral("http://почта.example"));

        auto vault = sandbox.openVault();
        const QString path = sandbox.appFolder() + QStringLiteral("/report.htm");
        writeReport(*vault, path);
        const QByteArray written = readFile(path);
        QCOMPARE(written, golden("report_accounts.htm"));
        QVERIFY(written.startsWith("\xEF\xBB\xBF<html>"));

        // The same vault gives the same bytes, although its cipher text
        // differs on every storing.
        writeReport(*vault, path);
        QCOMPARE(readFile(path), written);
        QCOMPARE(reportContent(*vault), written);
    }

    void markupIsEscapedInEveryField()
    {
        CoreSandbox sandbox;
        const QString markup = QStringLiteral("<a href=\"x\">O'Neil & co</a>");
        const QByteArray escaped = "&lt;a href=&quot;x&quot;&gt;O&#39;Neil &amp; co&lt;/a&gt;";
        sandbox.addAccount(markup, markup, markup, markup, markup, markup);
        auto vault = sandbox.openVault();
        const QList<QByteArray> lines = reportLines(reportContent(*vault));
        // Lines 6 to 10 hold the fields; line 7 holds two of them.
        const QList<int> fieldsOnLine = {1, 2, 1, 1, 1};
        for (int i = 0; i < fieldsOnLine.size(); ++i) {
            const QByteArray& line = lines.at(5 + i);
            QCOMPARE(line.count(escaped), fieldsOnLine.at(i));
            QVERIFY2(!line.contains("<a ") && !line.contains("O'Neil"), line.constData());
        }
        QCOMPARE(htmlEscape(QStringLiteral("&amp; <>\"'\n")), QStringLiteral("&amp;amp; &lt;&gt;&quot;&#39;<br>\n"));
    }

    void lineBreaksInAFieldShowInTheBrowser_data()
    {
        QTest::addColumn<QString>("notes");
        QTest::addColumn<QByteArray>("cell");
        QTest::newRow("no break") << "one line" << QByteArray("one line");
        QTest::newRow("LF") << "a\nb" << QByteArray("a<br>\nb");
        QTest::newRow("CR LF") << "a\r\nb" << QByteArray("a<br>\r\nb");
        QTest::newRow("CR") << "a\rb" << QByteArray("a<br>\rb");
        QTest::newRow("LF CR is two") << "a\n\rb" << QByteArray("a<br>\n<br>\rb");
        QTest::newRow("blank lines at the ends") << "\r\n\r\nx\n" << QByteArray("<br>\r\n<br>\r\nx<br>\n");
        QTest::newRow("beside markup") << "<b>\n&" << QByteArray("&lt;b&gt;<br>\n&amp;");
    }

    void lineBreaksInAFieldShowInTheBrowser()
    {
        QFETCH(QString, notes);
        QFETCH(QByteArray, cell);
        CoreSandbox sandbox;
        sandbox.addAccount(QStringLiteral("a"), QStringLiteral("u"), QStringLiteral("p"), QStringLiteral("http://"), {},
                           notes);
        auto vault = sandbox.openVault();
        const QByteArray page = reportContent(*vault);
        const QByteArray open = "<b>Other Notes:</b></td><td><font face=\"arial\">";
        const qsizetype at = page.indexOf(open) + open.size();
        QCOMPARE(page.mid(at, page.indexOf("</td></tr>", at) - at), cell);
    }

    // Another tool may have stored any bytes: every plain cell shows the
    // text the store reads from them.
    void storedBytesShowAsTheirText_data()
    {
        QTest::addColumn<QByteArray>("hex");
        QTest::newRow("byte order mark first") << QByteArray("efbbbf3c41");
        QTest::newRow("byte order mark later") << QByteArray("41efbbbf26");
        QTest::newRow("invalid byte") << QByteArray("41ff3e");
        QTest::newRow("cut sequence") << QByteArray("41e282");
        QTest::newRow("encoded surrogate") << QByteArray("eda080");
        QTest::newRow("overlong") << QByteArray("c0bc");
        QTest::newRow("noncharacter, break") << QByteArray("efbfbe0d0a");
    }

    void storedBytesShowAsTheirText()
    {
        QFETCH(QByteArray, hex);
        CoreSandbox sandbox;
        {
            Database db;
            db.open(sandbox.vaultPath(), VaultStore::DatabasePassword);
            const QByteArray value = "cast(x'" + hex + "' as text)";
            db.exec(("insert into accounts (account, url, hint, notes) values (" + value + ", " + value + ", " + value
                     + ", " + value + ")")
                        .constData());
        }
        auto vault = sandbox.openVault();
        const QByteArray page = reportContent(*vault);
        const QByteArray cell = htmlEscape(QString::fromUtf8(QByteArray::fromHex(hex))).toUtf8();
        for (const char* caption : {"Account Name:", "URL:", "Hint:", "Other Notes:"}) {
            const QByteArray open = QByteArray("<b>") + caption + "</b></td><td><font face=\"arial\">";
            const qsizetype at = page.indexOf(open) + open.size();
            QCOMPARE(page.mid(at, page.indexOf("</td></tr>", at) - at), cell);
        }
    }

    void emptyStoredValuesGiveEmptyCells()
    {
        CoreSandbox sandbox;
        // A row stored without cipher text, as another tool might leave it.
        sandbox.openVault()->appendAccount({QStringLiteral("bare"), {}, {}, {}, {}, {}});
        auto vault = sandbox.openVault();
        const QList<QByteArray> lines = reportLines(reportContent(*vault));
        QCOMPARE(lines.at(6),
                 QByteArray("<tr><td><font face=\"arial\"><b>Username:</b></td><td><font face=\"arial\">"
                            "</td></tr><tr><td><font face=\"arial\"><b>Password:</b></td><td><font "
                            "face=\"arial\"></td></tr>\r"));
        QCOMPARE(lines.at(9),
                 QByteArray("<tr><td><font face=\"arial\"><b>Other Notes:</b></td><td><font "
                            "face=\"arial\"></td></tr>\r"));
    }

    void reportIsTheOwnersAloneAlsoWhenReplacing()
    {
        CoreSandbox sandbox;
        sandbox.addAccount(QStringLiteral("mail"), QStringLiteral("me"), QStringLiteral("secret"));
        auto vault = sandbox.openVault();
        const QString path = sandbox.appFolder() + QStringLiteral("/report.htm");

        const mode_t oldMask = ::umask(0);  // a careless umask must not widen it
        writeReport(*vault, path);
        QCOMPARE(modeOf(path), 0600u);

        // An older report that others could read: a reader that holds it
        // open must never see the new passwords.
        writeFile(path, "old report", 0644);
        const auto oldInode = inodeOf(path);
        QFile earlierReader(path);
        QVERIFY(earlierReader.open(QIODevice::ReadOnly));
        writeReport(*vault, path);
        ::umask(oldMask);

        QCOMPARE(modeOf(path), 0600u);
        QVERIFY(inodeOf(path) != oldInode);
        QCOMPARE(earlierReader.readAll(), QByteArray("old report"));
        QVERIFY(readFile(path).contains("secret"));
        QCOMPARE(folderEntries(sandbox.appFolder()), VaultAndReport);
    }

    void unwritablePlacesRaiseAccessErrorAndChangeNothing()
    {
        CoreSandbox sandbox;
        sandbox.addAccount(QStringLiteral("mail"), QStringLiteral("me"), QStringLiteral("secret"));
        auto vault = sandbox.openVault();
        const QString folder = sandbox.appFolder();
        const QString path = folder + QStringLiteral("/report.htm");
        const QByteArray vaultBefore = fingerprint(sandbox.vaultPath());
        const QByteArray folderName = folder.toUtf8();
        // A read-only folder: nothing can be created in it.
        ::chmod(folderName.constData(), 0555);
        {
            ObeyFilePermissions obey;
            QCOMPARE(errorCodeOf([&] { writeReport(*vault, path); }), ErrorCode::PathAccess);
        }
        QVERIFY(!QFile::exists(path));

        // A writable folder: the same user writes the report...
        ::chmod(folderName.constData(), 0777);
        {
            ObeyFilePermissions obey;
            writeReport(*vault, path);
        }
        QVERIFY(readFile(path).contains("secret"));

        // ...but not over a report made read-only.
        writeFile(path, "kept", 0444);
        {
            ObeyFilePermissions obey;
            QCOMPARE(errorCodeOf([&] { writeReport(*vault, path); }), ErrorCode::PathAccess);
        }
        QCOMPARE(readFile(path), QByteArray("kept"));
        ::chmod(folderName.constData(), 0700);
        QCOMPARE(folderEntries(folder), VaultAndReport);
        QCOMPARE(fingerprint(sandbox.vaultPath()), vaultBefore);
        QCOMPARE(vault->accountList().size(), size_t(1));
    }

    void failuresPartWayKeepTheEarlierReport()
    {
        CoreSandbox sandbox;
        for (int i = 0; i < 20; ++i)
            sandbox.addAccount(QStringLiteral("account %1").arg(i), QStringLiteral("user"), QStringLiteral("pw"));
        auto vault = sandbox.openVault();
        const QString path = sandbox.appFolder() + QStringLiteral("/report.htm");
        writeFile(path, "earlier", 0600);

        // The disk fills up after the first few hundred bytes.
        struct rlimit oldLimit { };
        ::getrlimit(RLIMIT_FSIZE, &oldLimit);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit small = oldLimit;
        small.rlim_cur = 300;
        ::setrlimit(RLIMIT_FSIZE, &small);
        const int code = errorCodeOf([&] { writeReport(*vault, path); });
        ::setrlimit(RLIMIT_FSIZE, &oldLimit);
        std::signal(SIGXFSZ, oldHandler);
        QCOMPARE(code, ErrorCode::FileFailure);
        QCOMPARE(readFile(path), QByteArray("earlier"));
        QCOMPARE(folderEntries(sandbox.appFolder()), VaultAndReport);

        // A field that does not decipher stops the report before the disk.
        sandbox.openVault()->appendAccount(
            {QStringLiteral("broken"), QStringLiteral("bm90IGNpcGhlcg=="), Encrypt(QStringLiteral("pw")), {}, {}, {}});
        const QByteArray vaultBefore = fingerprint(sandbox.vaultPath());
        QCOMPARE(errorCodeOf([&] { writeReport(*vault, path); }), ErrorCode::CipherFailure);
        QCOMPARE(readFile(path), QByteArray("earlier"));
        QCOMPARE(folderEntries(sandbox.appFolder()), VaultAndReport);
        QCOMPARE(fingerprint(sandbox.vaultPath()), vaultBefore);
        QCOMPARE(vault->accountList().size(), size_t(21));
    }

    void addressNamesTheReport()
    {
        QCOMPARE(reportAddress(QStringLiteral("/home/ann/My Programs/Quillock")),
                 QStringLiteral("file:///home/ann/My%20Programs/Quillock/report.htm"));
    }
};

QUILLOCK_CORE_TEST_MAIN(TestReport)
#include "tst_report.moc"
