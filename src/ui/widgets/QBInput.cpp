#include "ui/widgets/QBInput.h"

#include "ui/theme/QBTheme.h"

#include <QFontMetricsF>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <cmath>

namespace {
constexpr qreal kPaddingV = 7.5;
constexpr qreal kCompactPaddingV = 5.5;
// Inside the edge: 10 px of the style sheet's padding and its 1-px border, then QLineEdit's own 2 px.
constexpr int kTextInsetH = 10 + 1 + 2;
} // namespace

void qbInputStyle(QLineEdit* field)
{
    field->setProperty("qbInput", true);
    field->setFrame(false);
    const QFont font = QBTheme::font(13);
    field->setFont(font);
    // The style sheet pads 10 px inside the 1-px border (11 in all); the height carries the vertical padding.
    field->setFixedHeight(int(std::ceil(QFontMetricsF(font).height() + 2 * kPaddingV)));
}

void qbInputStyle(QPlainTextEdit* editor)
{
    editor->setProperty("qbInput", true);
    editor->setFrameShape(QFrame::NoFrame);
    editor->setFont(QBTheme::font(13));
    editor->document()->setDocumentMargin(kPaddingV - 1);
}

void qbCompactInputStyle(QLineEdit* field)
{
    field->setProperty("qbCompactInput", true);
    field->setFrame(false);
    const QFont font = QBTheme::font(12);
    field->setFont(font);
    // The style sheet pads 8 px inside the 1-px border (9 in all); the height carries the vertical padding.
    field->setFixedHeight(int(std::ceil(QFontMetricsF(font).height() + 2 * kCompactPaddingV)));
}

int qbInputWidthFor(const QLineEdit* field, const QString& text)
{
    return int(std::ceil(QFontMetricsF(field->font()).horizontalAdvance(text))) + 2 * kTextInsetH;
}
