// The password health check (strength, reuse, the breach list in both
// forms) and the generator.
#include "coresupport.h"

#include "health/breachlist.h"
#include "health/generator.h"
#include "health/healthcheck.h"
#include "health/strength.h"
#include "health/wordlist.h"
#include "vault/apperror.h"
#include "vault/vaultstore.h"

#include <QDir>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <algorithm>
#include <cmath>

using namespace Health;

namespace {

// The list's line for a password seen `count` times.
QByteArray listLine(const QString& password, qint64 count)
{
    return sha1Hex(password.toUtf8()) + ':' + QByteArray::number(count) + "\r\n";
}

// An ordered list of "p0" ... "p{n-1}", each seen its number + 1 times;
// its lines sorted by hash, as the download has them.
QByteArrayList orderedLines(int n)
{
    QByteArrayList lines;
    for (int i = 0; i < n; ++i)
        lines << listLine(QStringLiteral("p%1").arg(i), i + 1);
    std::sort(lines.begin(), lines.end());
    return lines;
}

// The password of the line, and its count: "p" + count - 1.
QString passwordOf(const QByteArray& line)
{
    return QStringLiteral("p%1").arg(line.mid(41).trimmed().toLongLong() - 1);
}

qint64 seen(BreachList& list, const QString& password)
{
    return list.timesSeen(sha1Hex(password.toUtf8()));
}

// The chi-square value beyond which a fair draw of `freedom` degrees falls
// with a chance of 1e-6 (Wilson and Hilferty's approximation).
double chiSquareLimit(int freedom)
{
    const double z = 4.753;  // the normal quantile of 1 - 1e-6
    const double k = 2.0 / (9.0 * freedom);
    return freedom * std::pow(1 - k + z * std::sqrt(k), 3);
}

double chiSquare(const std::vector<qint64>& counts)
{
    qint64 total = 0;
    for (qint64 c : counts)
        total += c;
    const double expected = double(total) / double(counts.size());
    double sum = 0;
    for (qint64 c : counts)
        sum += (double(c) - expected) * (double(c) - expected) / expected;
    return sum;
}

}  // namespace

class TestHealth : public QObject {
    Q_OBJECT
private slots:
    void scoresKnownPasswords_data();
    void scoresKnownPasswords();
    void reuseAcrossAVault_data();
    void reuseAcrossAVault();
    void looksUpBothForms_data();
    void looksUpBothForms();
    void refusesWhatIsNotAList_data();
    void refusesWhatIsNotAList();
    void generatesEveryClassWithinBounds_data();
    void generatesEveryClassWithinBounds();
    void drawsWithoutBias();
    void toolsAnswer_data();
    void toolsAnswer();
};

void TestHealth::scoresKnownPasswords_data()
{
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("username");
    QTest::addColumn<int>("least");
    QTest::addColumn<int>("most");
    QTest::newRow("common word") << "password"
                                 << ""
                                 << "" << 0 << 0;
    QTest::newRow("keyboard row") << "qwerty"
                                  << ""
                                  << "" << 0 << 0;
    QTest::newRow("word and digit") << "password1"
                                    << ""
                                    << "" << 0 << 0;
    QTest::newRow("a name and a year") << "Monkey1990"
                                       << ""
                                       << "" << 0 << 2;
    // The account's own words count: "mybank" alone is some work.
    QTest::newRow("the account's name") << "zurichbank77"
                                        << "Zurichbank"
                                        << "" << 0 << 2;
    QTest::newRow("the same without it") << "zurichbank77"
                                         << ""
                                         << "" << 3 << 4;
    QTest::newRow("the username") << "annlovelace!"
                                  << "Mail"
                                  << "annlovelace@mail.example" << 0 << 2;
    QTest::newRow("four random words") << "correct-horse-battery-staple"
                                       << ""
                                       << "" << 4 << 4;
    QTest::newRow("random characters") << "kJ8#mP2$vL9@xQ4!nR7^"
                                       << ""
                                       << "" << 4 << 4;
    QTest::newRow("not ASCII") << "pässwörd-Ωμέγα-😀-Zq81"
                               << ""
                               << "" << 4 << 4;
}

void TestHealth::scoresKnownPasswords()
{
    QFETCH(QString, password);
    QFETCH(QString, name);
    QFETCH(QString, username);
    QFETCH(int, least);
    QFETCH(int, most);
    const Strength strength =
        estimateStrength(password.toUtf8(), userWordsOf(name, username, QStringLiteral("https://www.example.com/")));
    QVERIFY2(strength.score >= least && strength.score <= most,
             qPrintable(QStringLiteral("score %1, 10^%2").arg(strength.score).arg(strength.guessesLog10)));
    QCOMPARE(strength.score, scoreFor(strength.guessesLog10));
    // The thresholds themselves.
    const QList<QPair<double, int>> edges = {{2.99, 0}, {3, 1},    {5.99, 1}, {6, 2}, {7.99, 2},
                                             {8, 3},    {9.99, 3}, {10, 4},   {40, 4}};
    for (const auto& [log10, score] : edges)
        QCOMPARE(scoreFor(log10), score);
}

void TestHealth::reuseAcrossAVault_data()
{
    QTest::addColumn<bool>("sealed");
    QTest::newRow("plain") << false;
    QTest::newRow("sealed") << true;
}

void TestHealth::reuseAcrossAVault()
{
    QFETCH(bool, sealed);
    const QString shared = QStringLiteral("Shared-Secret-2026!");
    const QList<AccountFields> accounts = {
        {QStringLiteral("Bank"), QStringLiteral("ann"), shared, QStringLiteral("https://bank.example"), {}, {}},
        {QStringLiteral("Mail"), QStringLiteral("ann@mail"), shared, {}, {}, {}},
        {QStringLiteral("Shop"), QString(), shared, {}, {}, {}},
        {QStringLiteral("Forum"), QStringLiteral("ann"), QStringLiteral("letmein"), {}, {}, {}},
        {QStringLiteral("Wiki"), QStringLiteral("ann"), QStringLiteral("letmein"), {}, {}, {}},
        {QStringLiteral("Own"), QStringLiteral("ann"), QStringLiteral("kJ8#mP2$vL9@xQ4!nR7^"), {}, {}, {}},
        {QStringLiteral("None"), QStringLiteral("ann"), QString(), {}, {}, {}},
        {QStringLiteral("None too"), QStringLiteral("ann"), QString(), {}, {}, {}},
    };
    CoreSandbox sandbox;
    sandbox.initializeMaster(MasterPassword);
    addAccounts(*sandbox.openVault(), int(accounts.size()), [&](int i) { return accounts[i]; });
    const QString master = sealed ? QStringLiteral("sealed-Master1") : MasterPassword;
    if (sealed)
        sandbox.openVault()->seal(MasterPassword, master);
    const QString listPath = sandbox.workFolder() + QStringLiteral("/list.txt");
    QByteArrayList lines = {listLine(QStringLiteral("letmein"), 1234), listLine(shared, 2)};
    std::sort(lines.begin(), lines.end());
    writeFile(listPath, lines.join());

    auto vault = sandbox.openVault();
    QCOMPARE(vault->isSealed(), sealed);
    QVERIFY(vault->masterPasswordOpens(master));
    BreachList list(listPath);
    const HealthReport report = checkVault(*vault, &list);

    QStringList reused;
    for (const AccountHealth& account : report.accounts)
        reused << QStringLiteral("%1:%2:%3").arg(account.name).arg(account.reused).arg(account.breached.value_or(-1));
    QCOMPARE(reused,
             QStringList({"Bank:2:2", "Forum:1:1234", "Mail:2:2", "None:0:-1", "None too:0:-1", "Own:0:0", "Shop:2:2",
                          "Wiki:1:1234"}));
    QCOMPARE(report.lookups, 3);  // one for each different password

    const QStringList text = textReport(report);
    QCOMPARE(text.first(),
             "Forum (ann): seen 1,234 times in breaches; same password as 1 other account: Wiki; weak: guessed in "
             "about 10^1 tries");
    QVERIFY(text.contains("Bank (ann): seen 2 times in breaches; same password as 2 other accounts: Mail, Shop"));
    QCOMPARE(text.last(), "8 accounts checked: 5 breached, 5 reused, 2 weak, 1 fine, 2 without a password.");
    QCOMPARE(text.size(), 6);

    const QByteArray json = jsonReport(report);
    const QJsonObject root = QJsonDocument::fromJson(json).object();
    QCOMPARE(root[QStringLiteral("accounts")].toArray().size(), accounts.size());
    const QJsonObject own = root[QStringLiteral("accounts")].toArray()[5].toObject();
    QCOMPARE(own[QStringLiteral("name")].toString(), "Own");
    QCOMPARE(own[QStringLiteral("score")].toInt(), 4);
    QVERIFY(root[QStringLiteral("accounts")].toArray()[3].toObject()[QStringLiteral("score")].isNull());
    QCOMPARE(root[QStringLiteral("summary")].toObject()[QStringLiteral("breached")].toInt(), 5);
    // No password, nor its SHA-1, leaves the check.
    const QByteArray all = json + text.join(QLatin1Char('\n')).toUtf8();
    for (const AccountFields& account : accounts)
        if (!account.password.isEmpty()) {
            QVERIFY(!all.contains(account.password.toUtf8()));
            QVERIFY(!all.contains(sha1Hex(account.password.toUtf8())));
        }
}

void TestHealth::looksUpBothForms_data()
{
    QTest::addColumn<bool>("folder");
    QTest::addColumn<int>("lines");
    QTest::newRow("file, one line") << false << 1;
    QTest::newRow("file, less than a scan") << false << 20;
    QTest::newRow("file, many halvings") << false << 5000;
    QTest::newRow("folder") << true << 5000;
}

void TestHealth::looksUpBothForms()
{
    QFETCH(bool, folder);
    QFETCH(int, lines);
    QTemporaryDir dir;
    const QByteArrayList ordered = orderedLines(lines);
    QString path = dir.filePath(QStringLiteral("list"));
    if (folder) {
        // Range files for the first and the last line's prefixes, and for a
        // prefix of no line (empty, as a range with no hash would be).
        QDir().mkpath(path);
        for (const QByteArray& line : ordered) {
            const QByteArray prefix = line.left(5);
            if (prefix == ordered.first().left(5) || prefix == ordered.last().left(5)) {
                QFile range(QStringLiteral("%1/%2.txt").arg(path, QString::fromLatin1(prefix)));
                QVERIFY(range.open(QIODevice::Append));
                range.write(line.mid(5));
            }
        }
    } else {
        writeFile(path, ordered.join());
    }
    BreachList list(path);
    QCOMPARE(list.isFolder(), folder);
    QCOMPARE(seen(list, passwordOf(ordered.first())), ordered.first().mid(41).trimmed().toLongLong());
    QCOMPARE(seen(list, passwordOf(ordered.last())), ordered.last().mid(41).trimmed().toLongLong());
    QCOMPARE(seen(list, passwordOf(ordered[lines / 2])),
             folder ? 0 : ordered[lines / 2].mid(41).trimmed().toLongLong());
    // Every line of the list is found, and nothing else.
    if (!folder)
        for (const QByteArray& line : ordered)
            QCOMPARE(seen(list, passwordOf(line)), line.mid(41).trimmed().toLongLong());
    QCOMPARE(list.timesSeen(QByteArray(40, '0')), 0);
    QCOMPARE(list.timesSeen(QByteArray(40, 'F')), 0);
    QCOMPARE(seen(list, QStringLiteral("not in the list")), 0);
    if (folder) {
        const qint64 missing = list.missingRanges();
        writeFile(QStringLiteral("%1/%2.txt").arg(path, QString::fromLatin1(QByteArray(5, '0'))), {});
        QCOMPARE(list.timesSeen(QByteArray(40, '0')), 0);
        QCOMPARE(list.missingRanges(), missing);
        QVERIFY(missing >= 2);
    }
}

void TestHealth::refusesWhatIsNotAList_data()
{
    QTest::addColumn<QByteArray>("content");  // a folder's range file 00000.txt after "folder:"
    QTest::addColumn<QString>("reason");
    const QByteArrayList ordered = orderedLines(300);
    const QByteArray good = ordered.join();
    QByteArrayList swapped = ordered;
    swapped.swapItemsAt(100, 101);
    QByteArrayList wrong = ordered;
    wrong[150] = "not a line at all\r\n";
    QByteArray ntlm;
    for (const QByteArray& line : ordered)
        ntlm += line.mid(8);
    QTest::newRow("empty") << QByteArray() << "is empty";
    QTest::newRow("unsorted") << swapped.join() << "is not ordered by hash";
    QTest::newRow("upside down") << QByteArrayList(ordered.rbegin(), ordered.rend()).join() << "is not ordered";
    QTest::newRow("a wrong line") << wrong.join() << "has a line that is not SHA1HEX:COUNT";
    QTest::newRow("no count") << ordered.first().left(41) + "\r\n"
                              << "has a line that is not SHA1HEX:COUNT";
    QTest::newRow("lower case") << good.toLower() << "has a line that is not SHA1HEX:COUNT";
    QTest::newRow("cut mid-line") << good.chopped(4) << "ends in the middle of a line";
    QTest::newRow("another hash") << ntlm << "holds hashes of 32 hex digits";
    QTest::newRow("a long line") << good + QByteArray(100, 'A') + ":1\r\n"
                                 << "not SHA1HEX:COUNT";
    QTest::newRow("range of whole hashes") << "folder:" + good << "not SUFFIX:COUNT in 00000.txt";
    QTest::newRow("range out of order") << "folder:" + QByteArray(35, 'B') + ":1\r\n" + QByteArray(35, 'A') + ":1"
                                        << "range file out of order";
}

void TestHealth::refusesWhatIsNotAList()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, reason);
    QTemporaryDir dir;
    QString path = dir.filePath(QStringLiteral("list"));
    if (content.startsWith("folder:")) {
        QDir().mkpath(path);
        writeFile(path + QStringLiteral("/00000.txt"), content.mid(7));
    } else {
        writeFile(path, content);
    }
    QString description;
    int code = 0;
    try {
        BreachList list(path);
        // Looking up everything there is, and what lies past either end.
        list.timesSeen(QByteArray(40, '0'));
        list.timesSeen(QByteArray(40, 'F'));
        for (int i = 0; i < 300; ++i)
            seen(list, QStringLiteral("p%1").arg(i));
    } catch (const AppError& error) {
        code = error.code();
        description = error.description();
    }
    QCOMPARE(code, ErrorCode::UnrecognizedFormat);
    QVERIFY2(description.contains(reason) && description.contains(path), qPrintable(description));
}

void TestHealth::generatesEveryClassWithinBounds_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<bool>("symbols");
    QTest::newRow("default") << Generator::DefaultLength << true;
    QTest::newRow("shortest") << Generator::LeastLength << true;
    QTest::newRow("shortest, no symbols") << Generator::LeastLength << false;
    QTest::newRow("longest") << Generator::MostLength << true;
}

void TestHealth::generatesEveryClassWithinBounds()
{
    QFETCH(int, length);
    QFETCH(bool, symbols);
    const QStringList classes = {Generator::Upper, Generator::Lower, Generator::Digits, Generator::Symbols};
    for (int draw = 0; draw < 50; ++draw) {
        const QString password = Generator::password(length, symbols);
        QCOMPARE(password.size(), length);
        for (const QString& chars : classes) {
            const bool any = std::any_of(password.begin(), password.end(), [&](QChar c) { return chars.contains(c); });
            QCOMPARE(any, symbols || &chars != &classes.last());
        }
        QCOMPARE(estimateStrength(password.toUtf8()).score, 4);
    }
    for (int words : {Generator::LeastWords, Generator::MostWords}) {
        const QStringList drawn = Generator::passphrase(words, QStringLiteral(" ")).split(QLatin1Char(' '));
        QCOMPARE(drawn.size(), words);
        for (const QString& word : drawn)
            QVERIFY(
                std::any_of(EffWords.begin(), EffWords.end(), [&](const char* w) { return word == QLatin1String(w); }));
        QCOMPARE(estimateStrength(drawn.join(Generator::DefaultSeparator).toUtf8()).score, 4);
    }
    QCOMPARE(std::round(Generator::passphraseBits(1) * 100), 1292);
    QVERIFY(Generator::passwordBits(length, symbols) < length * std::log2(symbols ? 77 : 62));
    QVERIFY(Generator::passwordBits(length, symbols) > length * std::log2(symbols ? 77 : 62) - 1.5);
}

void TestHealth::drawsWithoutBias()
{
    // At 128 characters a draw lacks a class about once in 10^7: the
    // characters are as good as independent.
    const QString alphabet = Generator::Upper + Generator::Lower + Generator::Digits + Generator::Symbols;
    std::vector<qint64> characters(size_t(alphabet.size()));
    for (int draw = 0; draw < 400; ++draw)
        for (QChar c : Generator::password(Generator::MostLength))
            ++characters[size_t(alphabet.indexOf(c))];
    QVERIFY(*std::min_element(characters.begin(), characters.end()) > 0);
    QVERIFY2(chiSquare(characters) < chiSquareLimit(int(characters.size()) - 1),
             qPrintable(QString::number(chiSquare(characters))));

    QHash<QString, size_t> index;
    for (size_t i = 0; i < EffWordCount; ++i)
        index.insert(QString::fromLatin1(EffWords[i]), i);
    QCOMPARE(size_t(index.size()), EffWordCount);  // no word twice
    std::vector<qint64> words(EffWordCount);
    for (int draw = 0; draw < 4000; ++draw)
        for (const QString& word : Generator::passphrase(Generator::MostWords, QStringLiteral(" ")).split(' ')) {
            QVERIFY(index.contains(word));
            ++words[index[word]];
        }
    QVERIFY2(chiSquare(words) < chiSquareLimit(int(words.size()) - 1), qPrintable(QString::number(chiSquare(words))));
}

void TestHealth::toolsAnswer_data()
{
    QTest::addColumn<QByteArray>("tool");
    QTest::addColumn<QStringList>("args");  // VAULT and LIST stand for the sandbox's
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("said");  // in what it printed, standard error first
    const QByteArray health = QUILLOCK_TEST_HEALTH;
    const QByteArray generate = QUILLOCK_TEST_GENERATE;
    const QByteArray right = MasterPassword.toUtf8() + '\n';
    QTest::newRow("wrong master password") << health << QStringList{"--vault", "VAULT", "--hibp", "LIST"}
                                           << QByteArray("wrong\n") << 1 << "wrong master password";
    QTest::newRow("no master password") << health << QStringList{"--vault", "VAULT"} << QByteArray() << 1
                                        << "wrong master password";
    QTest::newRow("a list that is not one") << health << QStringList{"--vault", "VAULT", "--hibp", "VAULT"} << right
                                            << 1 << "not the Have I Been Pwned SHA-1 list";
    QTest::newRow("no list there") << health << QStringList{"--vault", "VAULT", "--hibp", "VAULT.none"} << right << 1
                                   << "VAULT.none";
    QTest::newRow("report") << health << QStringList{"--vault", "VAULT", "--hibp", "LIST"} << right << 0
                            << "Mail (ann): seen 3 times in breaches; same password as 1 other account: Bank";
    QTest::newRow("json") << health << QStringList{"--json", "--vault", "VAULT"} << right << 0 << "\"accounts\"";
    QTest::newRow("unknown option") << health << QStringList{"--vault", "VAULT", "--fix"} << right << 2 << "usage";
    QTest::newRow("length 0") << generate << QStringList{"--length", "0"} << QByteArray() << 2 << "usage";
    QTest::newRow("length 129") << generate << QStringList{"--length=129"} << QByteArray() << 2 << "usage";
    QTest::newRow("one word") << generate << QStringList{"--words", "1"} << QByteArray() << 2 << "usage";
    QTest::newRow("words and length") << generate << QStringList{"--words", "5", "--length", "9"} << QByteArray() << 2
                                      << "usage";
    QTest::newRow("help") << generate << QStringList{"--help"} << QByteArray() << 0 << "at random: 125 bits";
    QTest::newRow("copy without a desktop")
        << generate << QStringList{"--copy"} << QByteArray() << 1 << "--copy needs a desktop session";
    QTest::newRow("passphrases") << generate << QStringList{"--words", "4", "--separator", "+", "--count", "3"}
                                 << QByteArray() << 0 << "+";
}

void TestHealth::toolsAnswer()
{
    QFETCH(QByteArray, tool);
    QFETCH(QStringList, args);
    QFETCH(QByteArray, input);
    QFETCH(int, status);
    QFETCH(QString, said);
    CoreSandbox sandbox;
    sandbox.initializeMaster(MasterPassword);
    const QString shared = QStringLiteral("Shared-Secret-2026!");
    addAccounts(*sandbox.openVault(), 2, [&](int i) {
        return AccountFields{
            i ? QStringLiteral("Mail") : QStringLiteral("Bank"), QStringLiteral("ann"), shared, {}, {}, {}};
    });
    const QString list = sandbox.workFolder() + QStringLiteral("/list.txt");
    writeFile(list, listLine(shared, 3));
    args.replaceInStrings(QStringLiteral("VAULT"), sandbox.vaultPath());
    args.replaceInStrings(QStringLiteral("LIST"), list);
    said.replace(QStringLiteral("VAULT"), sandbox.vaultPath());
    const QByteArray before = readFile(sandbox.vaultPath());
    // The tools run as from a terminal with no window system.
    QMap<const char*, QByteArray> saved;
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        saved[name] = qgetenv(name);
        qunsetenv(name);
    }
    QString out;
    QString err;
    const int exited = runTool(tool.constData(), args, input, &out, &err);
    for (auto kept = saved.cbegin(); kept != saved.cend(); ++kept)
        if (!kept.value().isEmpty())
            qputenv(kept.key(), kept.value());
    QCOMPARE(exited, status);
    QVERIFY2((err + out).contains(said), qPrintable(err + out));
    QCOMPARE(readFile(sandbox.vaultPath()), before);
    QVERIFY(!(err + out).contains(shared));
    if (status != 0)
        QVERIFY(!(err + out).contains(QStringLiteral("Bank")) && !(err + out).contains(QStringLiteral("Mail")));
    if (args.contains(QStringLiteral("--json")))
        QCOMPARE(QJsonDocument::fromJson(out.toUtf8())[QStringLiteral("accounts")].toArray().size(), 2);
    if (args.contains(QStringLiteral("--count")))
        for (const QString& line : out.trimmed().split(QLatin1Char('\n')))
            QCOMPARE(line.split(QLatin1Char('+')).size(), 4);
}

QUILLOCK_CORE_TEST_MAIN(TestHealth)
#include "tst_health.moc"
