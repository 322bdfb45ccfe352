#pragma once

#include <QMessageBox>
#include <QString>
#include <functional>

class QWidget;

// Every message box of the program goes through here, so tests can answer
// and record them.
namespace MessageBox {

struct Request {
    QString text;
    QMessageBox::StandardButtons buttons;
    QMessageBox::Icon icon;
    QString title;
    QMessageBox::StandardButton defaultButton;
};

// A box given no title carries the program's title.
QMessageBox::StandardButton show(QWidget* parent, const QString& text,
                                 QMessageBox::StandardButtons buttons = QMessageBox::Ok,
                                 QMessageBox::Icon icon = QMessageBox::NoIcon, const QString& title = {},
                                 QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);

using Responder = std::function<QMessageBox::StandardButton(const Request&)>;
// Replaces the real box; an empty responder restores it.
void setResponder(Responder responder);

}  // namespace MessageBox
