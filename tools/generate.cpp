// Makes strong passwords, or passphrases of the EFF long word list, with
// libsodium's uniform draws. Needs no vault.
#include "transfertool.h"

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

QByteArray usage()
{
    return QStringLiteral("usage: quillock-generate [--length N] [--no-symbols] [--count N] [--copy]\n"
                          "       quillock-generate --words N [--separator S] [--count N] [--copy]\n"
                          "Prints a new password: %1 characters of upper- and lower-case letters, digits and the\n"
                          "symbols %2 (at least one of each), drawn uniformly at random.\n"
                          "  --length N      %3 to %4 characters; %1 give %5 bits, each one more about %6\n"
                          "  --no-symbols    letters and digits only: %1 characters give %7 bits\n"
                          "  --words N       a passphrase of N words (%8 to %9) of the EFF long word list, each\n"
                          "                  word %10 bits: 6 words give %11 bits, %8 give %12\n"
                          "  --separator S   between the words (default \"%13\")\n"
                          "  --count N       N passwords, one a line\n"
                          "  --copy          puts one on the clipboard instead of printing it, and clears it\n"
                          "                  after 30 seconds; the tool keeps running until then\n"
                          "Bits count what an attacker who knows the form must try: 2^bits passwords. Every\n"
                          "password made scores 4 of 4 in quillock-health.\n"
                          "Word list: EFF long word list, (c) 2016 Electronic Frontier Foundation, CC BY 3.0\n"
                          "(https://www.eff.org/dice).\n")
        .arg(Generator::DefaultLength)
        .arg(Generator::Symbols)
        .arg(Generator::LeastLength)
        .arg(Generator::MostLength)
        .arg(Generator::passwordBits(Generator::DefaultLength), 0, 'f', 0)
        .arg(Generator::passwordBits(Generator::DefaultLength + 1) - Generator::passwordBits(Generator::DefaultLength),
             0, 'f', 1)
        .arg(Generator::passwordBits(Generator::DefaultLength, false), 0, 'f', 0)
        .arg(Generator::LeastWords)
        .arg(Generator::MostWords)
        .arg(Generator::passphraseBits(1), 0, 'f', 1)
        .arg(Generator::passphraseBits(6), 0, 'f', 0)
        .arg(Generator::passphraseBits(Generator::LeastWords), 0, 'f', 0)
        .arg(Generator::DefaultSeparator)
        .toUtf8();
}

int wrongUsage()
{
    const QByteArray text = usage();
    std::fwrite(text.constData(), 1, size_t(text.size()), stderr);
    return 2;
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
    Request request;
    bool lengthGiven = false;
    bool separatorGiven = false;
    const QStringList args = QCoreApplication::arguments().mid(1);
    for (qsizetype i = 0; i < args.size(); ++i) {
        QString value;
        if (Tool::optionValue(args, i, QStringLiteral("--length"), value)) {
            if (!numberIn(value, Generator::LeastLength, Generator::MostLength, request.length))
                return wrongUsage();
            lengthGiven = true;
        } else if (Tool::optionValue(args, i, QStringLiteral("--words"), value)) {
            if (!numberIn(value, Generator::LeastWords, Generator::MostWords, request.words))
                return wrongUsage();
        } else if (Tool::optionValue(args, i, QStringLiteral("--separator"), request.separator)) {
            separatorGiven = true;
        } else if (Tool::optionValue(args, i, QStringLiteral("--count"), value)) {
            if (!numberIn(value, 1, MostCount, request.count))
                return wrongUsage();
        } else if (args[i] == QLatin1String("--no-symbols")) {
            request.symbols = false;
        } else if (args[i] == QLatin1String("--copy")) {
            request.copy = true;
        } else if (args[i] == QLatin1String("-h") || args[i] == QLatin1String("--help")) {
            const QByteArray text = usage();
            std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
            return 0;
        } else {
            return wrongUsage();
        }
    }
    const bool words = request.words > 0;
    if ((words && (lengthGiven || !request.symbols)) || (!words && separatorGiven)
        || (request.copy && request.count > 1))
        return wrongUsage();
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

}  // namespace

int main(int argc, char** argv)
{
    Secrets::hardenProcess();
    // The clipboard needs the window system; only --copy asks for it.
    const bool copy =
        std::any_of(argv + 1, argv + argc, [](const char* arg) { return std::strcmp(arg, "--copy") == 0; });
    return Tool::guarded("quillock-generate", "No password was made.", QString(), [&] {
        std::unique_ptr<QCoreApplication> app;
        if (copy && !hasDesktop()) {
            app = std::make_unique<QCoreApplication>(argc, argv);
            const auto request = readCommandLine();
            if (const int* status = std::get_if<int>(&request))
                return *status;
            Tool::print(stderr,
                        QStringLiteral("quillock-generate: --copy needs a desktop session (no DISPLAY or "
                                       "WAYLAND_DISPLAY is set). No password was made."));
            return 1;
        }
        if (copy)
            app = std::make_unique<QGuiApplication>(argc, argv);
        else
            app = std::make_unique<QCoreApplication>(argc, argv);
        const auto request = readCommandLine();
        if (const int* status = std::get_if<int>(&request))
            return *status;
        const Request& asked = std::get<Request>(request);
        return asked.copy ? copyOne(asked) : print(asked);
    });
}
