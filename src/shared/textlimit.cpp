#include "shared/textlimit.h"

#include <QLineEdit>
#include <QValidator>

namespace TextLimit {

namespace {

class WholeCharacterValidator : public QValidator {
public:
    explicit WholeCharacterValidator(QLineEdit* box) : QValidator(box), box_(box), last_(box->text()) { }

    State validate(QString& input, int& pos) const override
    {
        if (input == last_)
            return Acceptable;
        const qsizetype waiting = input.size() < box_->maxLength() ? insertedUnit(last_, input) : -1;
        for (const qsizetype at : loneHalves(input, waiting)) {
            input.remove(at, 1);
            if (at < pos)
                --pos;
        }
        last_ = input;
        // Always acceptable, or Enter would no longer reach the default button.
        return Acceptable;
    }

private:
    const QLineEdit* box_;
    mutable QString last_;
};

}  // namespace

QList<qsizetype> loneHalves(QStringView text, qsizetype waiting)
{
    QList<qsizetype> lone;
    for (qsizetype at = text.size() - 1; at >= 0; --at) {
        const QChar unit = text[at];
        if (unit.isLowSurrogate()) {
            if (at > 0 && text[at - 1].isHighSurrogate())
                --at;  // a whole pair
            else
                lone.append(at);
        } else if (unit.isHighSurrogate() && at != waiting) {
            lone.append(at);  // a partner would have been taken with it above
        }
    }
    return lone;
}

qsizetype insertedUnit(QStringView before, QStringView now)
{
    if (now.size() != before.size() + 1)
        return -1;
    qsizetype at = 0;
    while (at < before.size() && before[at] == now[at])
        ++at;
    return now.mid(at + 1) == before.mid(at) ? at : -1;
}

QString wholeCharacters(QString text)
{
    for (const qsizetype at : loneHalves(text))
        text.remove(at, 1);
    return text;
}

void keepWhole(QLineEdit* box)
{
    box->setValidator(new WholeCharacterValidator(box));
    // Enter, or the focus moving to a button, comes before any command reads
    // the box: a half still waiting then has waited in vain.
    QObject::connect(box, &QLineEdit::editingFinished, box, [box] {
        const QString whole = wholeCharacters(box->text());
        if (whole.size() != box->text().size())
            box->setText(whole);
    });
}

}  // namespace TextLimit
