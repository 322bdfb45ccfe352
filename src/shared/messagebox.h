#pragma once

#include <QMessageBox>
#include <QString>
#include <functional>

class QWidget;

// Every message box of the program goes through here, so tests can answer
// and record them. The arguments come in Qt's order; a box given no title
// carries the program's title.
namespace MessageBox {

struct Request {
    QString text;
    QMessageBox::StandardButtons buttons;
    QMessageBox::Icon icon;
    QString title;
    QMessageBox::StandardButton defaultButton;
};

// One OK button, with the icon the name gives; the answer, as Qt's own.
QMessageBox::StandardButton information(QWidget* parent, const QString& title, const QString& text);
QMessageBox::StandardButton critical(QWidget* parent, const QString& title, const QString& text);
// One OK button and no icon.
QMessageBox::StandardButton plain(QWidget* parent, const QString& title, const QString& text);
// The question icon and the buttons given; the answer.
QMessageBox::StandardButton question(QWidget* parent, const QString& title, const QString& text,
                                     QMessageBox::StandardButtons buttons,
                                     QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);

using Responder = std::function<QMessageBox::StandardButton(const Request&)>;
// Replaces the real box; an empty responder restores it.
void setResponder(Responder responder);

}  // namespace MessageBox
