#include "shared/messagebox.h"

#include "shared/module1.h"

namespace MessageBox {

namespace {
Responder& responder()
{
    static Responder current;
    return current;
}
}  // namespace

QMessageBox::StandardButton show(QWidget* parent, const QString& text, QMessageBox::StandardButtons buttons,
                                 QMessageBox::Icon icon, const QString& title,
                                 QMessageBox::StandardButton defaultButton)
{
    const Request request{text, buttons, icon, title.isEmpty() ? Module1::ProgramTitle : title, defaultButton};
    if (responder())
        return responder()(request);
    QMessageBox box(request.icon, request.title, request.text, request.buttons, parent);
    // Messages are text: "(http://<address>)" must not be taken for markup.
    box.setTextFormat(Qt::PlainText);
    if (defaultButton != QMessageBox::NoButton)
        box.setDefaultButton(defaultButton);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

void setResponder(Responder r)
{
    responder() = std::move(r);
}

}  // namespace MessageBox
