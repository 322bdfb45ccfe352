#include "security/passwordrule.h"

#include "shared/messagebox.h"

#include <QLineEdit>

namespace PasswordRule {

QString StripSpaces(const QString& text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text.at(begin) == QLatin1Char(' '))
        ++begin;
    while (end > begin && text.at(end - 1) == QLatin1Char(' '))
        --end;
    return text.mid(begin, end - begin);
}

std::optional<QString> Accept(const QString& first, const QString& second)
{
    const QString master = StripSpaces(first);
    // The upper bound is the boxes' input limit; the match is exact, spaces
    // and letter case included.
    if (master.size() < MinLength || first != second)
        return std::nullopt;
    return master;
}

std::optional<QString> Validate(QWidget* window, QLineEdit* first, QLineEdit* second)
{
    std::optional<QString> master = Accept(first->text(), second->text());
    if (!master) {
        MessageBox::show(window, RejectionText, QMessageBox::Ok, QMessageBox::Critical, RejectionTitle);
        first->setFocus();
        first->clear();
        second->clear();
    }
    return master;
}

}  // namespace PasswordRule
