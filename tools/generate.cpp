// Makes strong passwords, or passphrases of the EFF long word list, with
// libsodium's uniform draws. Needs no vault.
#include "tool.h"

#include "health/generator.h"
#include "shared/module1.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QScopeGuard>
#include <QTimer>
#include <csignal>
#include <cstring>

namespace {

namespace Generator = Health::Generator;

const char Name[] = "quillock-generate";
const char Aftermath[] = "No password was made.";

QString bits(double value, int decimals = 0)
{
    return QString::number(value, 'f', decimals);
}

QString about()
{
    return QStringLiteral("Prints a new password: %1 characters of upper- and lower-case letters, digits and the\n"
                          "symbols %2 (at least one of each), drawn uniformly at random: %3 bits. Or a\n"
                          "passphrase of words of the EFF long word list, %4 bits a word. Bits count what an\n"
                          "attacker who knows the form must try: 2^bits passwords. Every password made scores 4\n"
                          "of 4 in quillock-health. Needs no vault.\n"
                          "Word list: EFF long word list, (c) 2016 Electronic Frontier Foundation, CC BY 3.0\n"
                          "(https://www.eff.org/dice).\n")
        .arg(Generator::DefaultLength)
        .arg(Generator::Symbols, bits(Generator::passwordBits(Generator::DefaultLength)),
             bits(Generator::passphraseBits(1), 1));
}

// What the command line asks for.
struct Request {
    int length = Generator::DefaultLength;
    int words = 0;  // characters when 0
    QString separator = Generator::DefaultSeparator;
    bool symbols = true;
    int count = 1;
    bool copy = false;
};

bool numberIn(const QString& text, int least, int most, int& value)
{
    bool ok = false;
    value = text.toInt(&ok);
    return ok && value >= least && value <= most;
}

// The request, or the exit status when the tool stops here.
std::variant<Request, int> readCommandLine()
{
    static constexpr int MostCount = 100000;
    Tool::CommandLine line({QStringLiteral("[--length N] [--no-symbols] [--count N] [--copy]"),
                            QStringLiteral("--words N [--separator S] [--count N] [--copy]")},
                           about());
    line.addValue(QStringLiteral("length"), QStringLiteral("N"),
                  QStringLiteral("%1 to %2 characters (default %3); each adds about %4 bits.")
                      .arg(Generator::LeastLength)
                      .arg(Generator::MostLength)
                      .arg(Generator::DefaultLength)
                      .arg(bits(Generator::passwordBits(Generator::DefaultLength + 1)
                                    - Generator::passwordBits(Generator::DefaultLength),
                                1)));
    line.addFlag(QStringLiteral("no-symbols"),
                 QStringLiteral("Letters and digits only: %1 characters give %2 bits.")
                     .arg(Generator::DefaultLength)
                     .arg(bits(Generator::passwordBits(Generator::DefaultLength, false))));
    line.addValue(QStringLiteral("words"), QStringLiteral("N"),
                  QStringLiteral("A passphrase of %1 to %2 words: %1 give %3 bits, 6 give %4.")
                      .arg(Generator::LeastWords)
                      .arg(Generator::MostWords)
                      .arg(bits(Generator::passphraseBits(Generator::LeastWords)), bits(Generator::passphraseBits(6))));
    line.addValue(QStringLiteral("separator"), QStringLiteral("S"),
                  QStringLiteral("Between the words (default \"%1\").").arg(Generator::DefaultSeparator));
    line.addValue(QStringLiteral("count"), QStringLiteral("N"), QStringLiteral("N passwords, one a line."));
    line.addFlag(QStringLiteral("copy"),
                 QStringLiteral("One password on the clipboard instead, cleared after 30 seconds; runs until then."));
    if (const auto stop = line.read())
        return *stop;
    Request request;
    request.symbols = !line.isSet(QStringLiteral("no-symbols"));
    request.copy = line.isSet(QStringLiteral("copy"));
    const bool lengthGiven = line.isSet(QStringLiteral("length"));
    const bool wordsGiven = line.isSet(QStringLiteral("words"));
    if (lengthGiven
        && !numberIn(line.value(QStringLiteral("length")), Generator::LeastLength, Generator::MostLength,
                     request.length))
        return line.wrong(
            QStringLiteral("--length takes %1 to %2.").arg(Generator::LeastLength).arg(Generator::MostLength));
    if (wordsGiven
        && !numberIn(line.value(QStringLiteral("words")), Generator::LeastWords, Generator::MostWords, request.words))
        return line.wrong(
            QStringLiteral("--words takes %1 to %2.").arg(Generator::LeastWords).arg(Generator::MostWords));
    if (line.isSet(QStringLiteral("count"))
        && !numberIn(line.value(QStringLiteral("count")), 1, MostCount, request.count))
        return line.wrong(QStringLiteral("--count takes 1 to %1.").arg(MostCount));
    if (wordsGiven && (lengthGiven || !request.symbols))
        return line.wrong(QStringLiteral("--words makes a passphrase: it takes neither --length nor --no-symbols."));
    if (line.isSet(QStringLiteral("separator"))) {
        if (!wordsGiven)
            return line.wrong(QStringLiteral("--separator goes with --words."));
        request.separator = line.value(QStringLiteral("separator"));
    }
    if (request.copy && request.count > 1)
        return line.wrong(QStringLiteral("--copy puts one password on the clipboard: it takes no --count."));
    return request;
}

QString make(const Request& request)
{
    return request.words > 0 ? Generator::passphrase(request.words, request.separator)
                             : Generator::password(request.length, request.symbols);
}

volatile std::sig_atomic_t stopAsked = 0;

// Puts one password on the clipboard, marked as a secret for clipboard
// managers, and clears it after the time the program gives a copied one,
// or at Ctrl+C; left alone once the clipboard holds something else.
int copyOne(const Request& request)
{
    QString password = make(request);
    const auto forget = qScopeGuard([&] { Secrets::wipe(password); });
    QClipboard* clipboard = QGuiApplication::clipboard();
    auto* data = new QMimeData;
    data->setText(password);
    data->setData(QStringLiteral("x-kde-passwordManagerHint"), QByteArrayLiteral("secret"));
    clipboard->setMimeData(data);
    const auto clear = [&] {
        if (clipboard->text() == password)
            clipboard->clear();
        QCoreApplication::quit();
    };
    Tool::print(stdout,
                QStringLiteral("A new password is on the clipboard. It is cleared in %1 seconds: keep this running "
                               "until then (Ctrl+C clears it now).")
                    .arg(std::chrono::duration_cast<std::chrono::seconds>(Module1::SecretLifetime).count()));
    std::fflush(stdout);
    QTimer::singleShot(Module1::SecretLifetime, clipboard, clear);
    QObject::connect(clipboard, &QClipboard::dataChanged, clipboard, [&] {
        if (clipboard->text() != password) {
            Tool::print(stdout, QStringLiteral("The clipboard holds something else now; there is nothing to clear."));
            QCoreApplication::quit();
        }
    });
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        std::signal(s, [](int) { stopAsked = 1; });
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, clipboard, [&] {
        if (stopAsked)
            clear();
    });
    watch.start(100);
    QCoreApplication::exec();
    return 0;
}

int print(const Request& request)
{
    for (int i = 0; i < request.count; ++i) {
        QByteArray line = make(request).toUtf8() + '\n';
        std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
        Secrets::wipe(line);
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}

// Qt ends the process when its window system is not there; told first.
bool hasDesktop()
{
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if (!platform.isEmpty() && !platform.startsWith("xcb") && !platform.startsWith("wayland"))
        return true;
    return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

// Reads the command line and makes what it asks for.
int generate(bool desktop)
{
    const auto request = readCommandLine();
    if (const int* status = std::get_if<int>(&request))
        return *status;
    const Request& asked = std::get<Request>(request);
    if (asked.copy && !desktop) {
        Tool::print(stderr,
                    QStringLiteral("%1: --copy needs a desktop session (no DISPLAY or WAYLAND_DISPLAY is set). %2")
                        .arg(QLatin1String(Name), QLatin1String(Aftermath)));
        return 1;
    }
    return asked.copy ? copyOne(asked) : print(asked);
}

}  // namespace

int main(int argc, char** argv)
{
    // Only --copy needs the clipboard, and with it a QGuiApplication where
    // Tool::run makes a QCoreApplication; its steps are otherwise the same.
    const bool copy =
        std::any_of(argv + 1, argv + argc, [](const char* arg) { return std::strcmp(arg, "--copy") == 0; });
    if (!copy || !hasDesktop())
        return Tool::run(argc, argv, Name, Aftermath, QString(), [copy] { return generate(!copy); });
    Secrets::hardenProcess();
    Tool::name = Name;
    return Tool::guarded(Name, Aftermath, QString(), [&] {
        QGuiApplication app(argc, argv);
        QCoreApplication::setApplicationName(QString::fromLatin1(Name));
        QCoreApplication::setApplicationVersion(QStringLiteral("%1.%2.%3")
                                                    .arg(QUILLOCK_VERSION_MAJOR)
                                                    .arg(QUILLOCK_VERSION_MINOR)
                                                    .arg(QUILLOCK_VERSION_PATCH));
        return generate(true);
    });
}
