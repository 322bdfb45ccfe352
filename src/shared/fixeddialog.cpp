#include "shared/fixeddialog.h"

#include "shared/fonts.h"

#include <QDialog>

namespace FixedDialog {

void setUp(QDialog* dialog, std::initializer_list<QWidget*> bold)
{
    dialog->setWindowFlags(Flags);
    dialog->setFixedSize(dialog->size());
    Fonts::useArial(dialog, bold);
}

}  // namespace FixedDialog
