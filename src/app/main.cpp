#include "accounts/frmMain.h"
#include "shared/fonts.h"
#include "shared/secrets.h"

#include <QApplication>

int main(int argc, char** argv)
{
    // Before anything can hold a password.
    Secrets::hardenProcess();
    QApplication app(argc, argv);
    // The window may sit hidden behind the tray icon; only unloading the
    // main window ends the program.
    app.setQuitOnLastWindowClosed(false);
    Fonts::installSubstitutions();

    frmMain window;
    if (!window.load())
        return 0;
    window.show();
    return app.exec();
}
