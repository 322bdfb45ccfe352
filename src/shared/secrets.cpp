#include "shared/secrets.h"

#include "vault/wipe.h"

#include <QLineEdit>
#include <sys/stat.h>

namespace Secrets {

UserUmask::UserUmask() : ours_(::umask(startingUmask()))
{
}

UserUmask::~UserUmask()
{
    ::umask(static_cast<mode_t>(ours_));
}

void wipeBox(QLineEdit* box)
{
    // Both share the box's own buffers.
    QString text = box->text();
    QString shown = box->displayText();
    // setText, unlike clear(), keeps no undo step with the old text in it.
    box->setText(QString());
    wipe(text);
    wipe(shown);
}

}  // namespace Secrets
