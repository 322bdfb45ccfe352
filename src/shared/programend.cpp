#include "shared/programend.h"

#include "shared/messagebox.h"
#include "shared/module1.h"
#include "vault/apperror.h"
#include "vault/wipe.h"

#include <QDialog>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace ProgramEnd {

namespace {
Interceptor& interceptor()
{
    static Interceptor current;
    return current;
}
bool endedFlag = false;
std::vector<std::function<void()>>& cleanUps()
{
    static std::vector<std::function<void()>> all;
    return all;
}
}  // namespace

void atEnd(std::function<void()> cleanUp)
{
    cleanUps().push_back(std::move(cleanUp));
}

void endNow()
{
    endedFlag = true;
    // No password outlives the program on the clipboard, nor in memory.
    for (const auto& cleanUp : cleanUps())
        cleanUp();
    Secrets::wipe(Module1::SelectedPassword);
    Secrets::wipe(Module1::EnteredPassword);
    if (interceptor()) {
        interceptor()();
        return;
    }
    std::fflush(nullptr);
    std::_Exit(0);
}

bool ended()
{
    return endedFlag;
}

void setInterceptor(Interceptor i)
{
    interceptor() = std::move(i);
    endedFlag = false;
}

}  // namespace ProgramEnd

void reportUntrappedError(QWidget* parent, const AppError& error)
{
    MessageBox::critical(parent, Module1::ProgramTitle,
                         QStringLiteral("Run-time error '%1':\n\n%2").arg(error.code()).arg(error.description()));
    ProgramEnd::endNow();
}

bool runCommand(QWidget* parent, const std::function<void()>& command)
{
    try {
        command();
    } catch (const AppError& error) {
        reportUntrappedError(parent, error);
    }
    return !ProgramEnd::ended();
}

bool runDialogCommand(QDialog* dialog, const std::function<void()>& command)
{
    if (runCommand(dialog, command))
        return true;
    dialog->reject();
    return false;
}
