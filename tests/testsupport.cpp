#include "testsupport.h"

#include "accounts/clipboard.h"
#include "accounts/frmEditAccount.h"
#include "accounts/frmMain.h"
#include "shared/desktopopen.h"
#include "shared/fonts.h"
#include "shared/module1.h"
#include "shared/programend.h"

#include <QClipboard>
#include <QComboBox>
#include <QDialog>
#include <QFile>
#include <QInputMethodEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QSettings>
#include <QTimer>
#include <deque>

void prepareTestProcess()
{
    prepareCoreTestProcess();
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    Fonts::installSubstitutions();
}

Sandbox::Sandbox()
{
    Module1::setApplicationFolder(appFolder());
    Module1::reset();
    Module1::clearClipboardSecret();
    QSettings(Module1::ProgramTitle, Module1::ProgramTitle).clear();

    MessageBox::setResponder([this](const MessageBox::Request& request) {
        messages.append(request);
        return answers.isEmpty() ? QMessageBox::Ok : answers.takeFirst();
    });
    ProgramEnd::setInterceptor([this] { ++ends; });
    DesktopOpen::setOpener([this](const QString& address) { opened.append(address); });
}

Sandbox::~Sandbox()
{
    callOffModalActions();
    // Windows a test left open must not outlive the folders they use.
    for (QWidget* window : QApplication::topLevelWidgets())
        delete window;
    MessageBox::setResponder({});
    ProgramEnd::setInterceptor({});
    DesktopOpen::setOpener({});
    QSettings(Module1::ProgramTitle, Module1::ProgramTitle).clear();
}

bool editListed(VaultStore& vault, qint64 position)
{
    const std::vector<AccountEntry> entries = vault.accountList();
    std::optional<qint64> rowid;
    if (position >= 0 && position < qint64(entries.size()))
        rowid = entries[size_t(position)].rowid;
    const bool changed = ShowEditAccount(nullptr, vault, position, rowid);
    callOffModalActions();
    return changed;
}

namespace {

class ModalWatcher : public QObject {
public:
    static ModalWatcher& instance()
    {
        static ModalWatcher* watcher = [] {
            auto* created = new ModalWatcher;
            qApp->installEventFilter(created);
            return created;
        }();
        return *watcher;
    }
    std::deque<std::function<void(QWidget*)>> waiting;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() != QEvent::Show || waiting.empty() || !watched->isWidgetType())
            return false;
        auto* window = static_cast<QWidget*>(watched);
        if (!window->isWindow() || !window->isModal())
            return false;
        QPointer<QWidget> dialog(window);
        QTimer::singleShot(0, window, [dialog, action = std::move(waiting.front())] {
            // Keys and shortcuts reach only the active window.
            if (dialog && dialog->isVisible())
                waitUntilActive(dialog);
            if (dialog && dialog->isVisible())
                action(dialog);
        });
        waiting.pop_front();
        return false;
    }
};

}  // namespace

void whenModalOpens(std::function<void(QWidget*)> action)
{
    ModalWatcher::instance().waiting.push_back(std::move(action));
}

void callOffModalActions()
{
    ModalWatcher::instance().waiting.clear();
}

bool waitUntilActive(QWidget* window)
{
    QPointer<QWidget> watched(window);
    return QTest::qWaitFor([watched] { return !watched || watched->isActiveWindow(); }, LoadedMachineMs) && watched;
}

void clickOn(QWidget* parent, const char* name)
{
    QTest::mouseClick(childNamed<QWidget>(parent, name), Qt::LeftButton);
}

void typeInto(QWidget* parent, const char* name, const QString& text)
{
    QWidget* box = childNamed<QWidget>(parent, name);
    box->setFocus();
    if (auto* line = qobject_cast<QLineEdit*>(box))
        line->clear();
    else if (auto* plain = qobject_cast<QPlainTextEdit*>(box))
        plain->clear();
    QTest::keyClicks(box, text);
}

QList<const QChar*> boxBuffers(QWidget* parent, const char* name)
{
    const auto* box = childNamed<QLineEdit>(parent, name);
    return {box->text().constData(), box->displayText().constData()};
}

QStringList textsAt(const QList<const QChar*>& buffers, qsizetype size)
{
    QFile memory(QStringLiteral("/proc/self/mem"));
    if (!memory.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        qFatal("/proc/self/mem cannot be read");
    QStringList texts;
    for (const QChar* at : buffers) {
        const QByteArray bytes = memory.seek(qint64(quintptr(at))) ? memory.read(size * 2) : QByteArray();
        texts.append(QString(reinterpret_cast<const QChar*>(bytes.constData()), bytes.size() / 2));
    }
    return texts;
}

void deliver(QWidget* box, const QString& how, const QString& text)
{
    box->setFocus();
    if (how == QLatin1String("key")) {
        QTest::sendKeyEvent(QTest::Click, box, Qt::Key_unknown, text, Qt::NoModifier);
    } else if (how == QLatin1String("input method")) {
        QInputMethodEvent commit;
        commit.setCommitString(text);
        QApplication::sendEvent(box, &commit);
    } else {
        QGuiApplication::clipboard()->setText(text);
        QTest::keyClick(box, Qt::Key_V, Qt::ControlModifier);
    }
}

void driveNextDialog(std::function<void(QDialog*)> steps)
{
    whenModalOpens([steps = std::move(steps)](QWidget* window) {
        QPointer<QDialog> dialog(qobject_cast<QDialog*>(window));
        QVERIFY2(dialog, "the modal window is no dialog");
        // Keys and shortcuts reach only the active window.
        QVERIFY2(dialog->isActiveWindow(), "the dialog never became active");
        steps(dialog);
        if (dialog && dialog->isVisible())
            dialog->done(LeftOpen);
    });
}

int execWith(QDialog& dialog, std::function<void(QDialog*)> steps)
{
    driveNextDialog(std::move(steps));
    return dialog.exec();
}

void answerMasterPrompt(const QString& entry, std::function<void(QWidget*)> then)
{
    whenModalOpens([entry, then](QWidget* prompt) {
        QCOMPARE(prompt->windowTitle(), QStringLiteral("Please enter your. . ."));
        typeInto(prompt, "txtPassword", entry);
        clickOn(prompt, "cmdOk");
        if (then)
            whenModalOpens(then);
    });
}

void fillBoxes(QWidget* dialog, const AccountFields& plain)
{
    childNamed<QLineEdit>(dialog, "txtName")->setText(plain.account);
    childNamed<QLineEdit>(dialog, "txtUsername")->setText(plain.username);
    childNamed<QLineEdit>(dialog, "txtPassword")->setText(plain.password);
    childNamed<QLineEdit>(dialog, "txtURL")->setText(plain.url);
    childNamed<QPlainTextEdit>(dialog, "txtHint")->setPlainText(plain.hint);
    childNamed<QPlainTextEdit>(dialog, "txtNotes")->setPlainText(plain.notes);
}

AccountFields boxContents(QWidget* dialog)
{
    return {childNamed<QLineEdit>(dialog, "txtName")->text(),
            childNamed<QLineEdit>(dialog, "txtUsername")->text(),
            childNamed<QLineEdit>(dialog, "txtPassword")->text(),
            childNamed<QLineEdit>(dialog, "txtURL")->text(),
            AccountDialog::boxText(childNamed<QPlainTextEdit>(dialog, "txtHint")),
            AccountDialog::boxText(childNamed<QPlainTextEdit>(dialog, "txtNotes"))};
}

void verifyStartUpEnded(const Sandbox& sandbox)
{
    QCOMPARE(sandbox.ends, 1);
    QCOMPARE(sandbox.messages.size(), 1);
    const QString text = sandbox.messages.first().text;
    QVERIFY2(text.startsWith(QStringLiteral("error at formload")), qPrintable(text));
}

MainWindowFixture::MainWindowFixture() = default;
MainWindowFixture::~MainWindowFixture() = default;

void MainWindowFixture::start()
{
    sandbox.initializeMaster(MasterPassword);
    QVERIFY(open());
}

bool MainWindowFixture::open()
{
    // The window before goes first, as when the program is started again.
    window.reset();
    window = std::make_unique<frmMain>();
    if (!window->load())
        return false;
    window->show();
    return true;
}

bool MainWindowFixture::openAgain()
{
    sandbox.messages.clear();
    sandbox.ends = 0;
    // Setting the seam again also forgets that the program ended.
    ProgramEnd::setInterceptor([this] { ++sandbox.ends; });
    return open();
}

QString MainWindowFixture::report() const
{
    return sandbox.appFolder() + QStringLiteral("/report.htm");
}

QComboBox* MainWindowFixture::list() const
{
    return childNamed<QComboBox>(window.get(), "cboAccount");
}

QStringList MainWindowFixture::listed() const
{
    QStringList names;
    for (int i = 0; i < list()->count(); ++i)
        names << list()->itemText(i);
    return names;
}

void MainWindowFixture::pick(int index)
{
    list()->setCurrentIndex(index);
    emit list()->activated(index);
}

void MainWindowFixture::click(const char* name)
{
    clickOn(window.get(), name);
    callOffModalActions();
}

QString MainWindowFixture::label(const char* name) const
{
    return childNamed<QLabel>(window.get(), name)->text();
}

bool MainWindowFixture::enabled(const char* name) const
{
    return childNamed<QPushButton>(window.get(), name)->isEnabled();
}

void MainWindowFixture::addThroughDialog(const AccountFields& plain)
{
    driveNextDialog([plain](QDialog* dialog) {
        fillBoxes(dialog, plain);
        clickOn(dialog, "cmdOk");
    });
    click("cmdNewAccount");
}
