#include "shared/textlimit.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScopedValueRollback>
#include <QTextCursor>
#include <QTextDocument>
#include <QValidator>
#include <algorithm>
#include <utility>

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

// The multi-line box's limit, applied after each change of its document.
class PlainTextLimit : public QObject {
public:
    PlainTextLimit(QPlainTextEdit* box, int limit, std::function<bool()> filling)
        : QObject(box), box_(box), document_(box->document()), limit_(limit), filling_(std::move(filling))
    {
        connect(document_, &QTextDocument::contentsChange, this, &PlainTextLimit::changed);
        box->installEventFilter(this);
    }

protected:
    // A typed text comes in outside an edit block, and the cut can join only
    // an edit block: a key whose text will be cut gets one, so that one undo
    // step takes back both.
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() != QEvent::KeyPress || !overflows(*static_cast<QKeyEvent*>(event)))
            return false;
        QTextCursor block(document_);
        block.beginEditBlock();
        static_cast<QObject*>(box_)->event(event);
        block.endEditBlock();
        return true;
    }

private:
    bool overflows(const QKeyEvent& key) const
    {
        const QTextCursor caret = box_->textCursor();
        const int kept = document_->characterCount() - 1 - (caret.selectionEnd() - caret.selectionStart());
        return kept + key.text().size() > limit_;
    }

    void changed(int position, int removed, int added)
    {
        if (trimming_)
            return;
        if (filling_()) {
            last_ = document_->toRawText();
            return;
        }
        const QScopedValueRollback busy(trimming_, true);
        QTextCursor cursor(document_);
        cutOverflow(cursor, position, removed, added);
        // A half may stay only when it came alone and its other half still fits.
        QString text = document_->toRawText();
        const qsizetype alone = text.size() < limit_ ? insertedUnit(last_, text) : -1;
        for (const qsizetype at : loneHalves(text, alone))
            remove(cursor, int(at), int(at) + 1);
        if (joined_) {
            cursor.endEditBlock();
            joined_ = false;
            text = document_->toRawText();
        }
        last_ = text;
    }

    // Drops the tail of what just came in, past the limit.
    void cutOverflow(QTextCursor& cursor, int position, int removed, int added)
    {
        const int length = document_->characterCount() - 1;  // without the closing paragraph mark
        int end = std::min(position + added, length);
        int begin = position;
        const int caret = box_->textCursor().position();
        if (caret > position && caret < end) {
            // An input method reports its whole paragraph; what it put in ends at the caret.
            end = caret;
            begin = std::max(position, caret - (added - removed));
        }
        const int cut = std::min(length - limit_, end - begin);
        if (cut <= 0)
            return;
        int from = end - cut;
        if (from > begin && document_->characterAt(from).isLowSurrogate())
            --from;  // never split a character in two
        remove(cursor, from, end);
    }

    void remove(QTextCursor& cursor, int from, int to)
    {
        if (!std::exchange(joined_, true))
            cursor.joinPreviousEditBlock();  // one undo step with what came in
        cursor.setPosition(from);
        cursor.setPosition(to, QTextCursor::KeepAnchor);
        cursor.removeSelectedText();
    }

    QPlainTextEdit* box_;
    QTextDocument* document_;
    int limit_;
    std::function<bool()> filling_;
    QString last_;  // the text as the previous change left it
    bool trimming_ = false;  // the limit's own removals are no new input
    bool joined_ = false;
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

void limitLength(QPlainTextEdit* box, int limit, std::function<bool()> filling)
{
    new PlainTextLimit(box, limit, std::move(filling));
}

}  // namespace TextLimit
