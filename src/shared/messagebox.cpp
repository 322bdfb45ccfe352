#include "shared/messagebox.h"

#include "shared/module1.h"

namespace MessageBox {

namespace {

Responder& responder()
{
    static Responder current;
    return current;
}

QMessageBox::StandardButton show(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text,
                                 QMessageBox::StandardButtons buttons = QMessageBox::Ok,
                                 QMessageBox::StandardButton defaultButton = QMessageBox::NoButton)
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

}  // namespace

QMessageBox::StandardButton information(QWidget* parent, const QString& title, const QString& text)
{
    return show(parent, QMessageBox::Information, title, text);
}

QMessageBox::StandardButton critical(QWidget* parent, const QString& title, const QString& text)
{
    return show(parent, QMessageBox::Critical, title, text);
}

QMessageBox::StandardButton plain(QWidget* parent, const QString& title, const QString& text)
{
    return show(parent, QMessageBox::NoIcon, title, text);
}

QMessageBox::StandardButton question(QWidget* parent, const QString& title, const QString& text,
                                     QMessageBox::StandardButtons buttons, QMessageBox::StandardButton defaultButton)
{
    return show(parent, QMessageBox::Question, title, text, buttons, defaultButton);
}

void setResponder(Responder r)
{
    responder() = std::move(r);
}

}  // namespace MessageBox
