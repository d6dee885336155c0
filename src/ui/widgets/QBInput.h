#pragma once

class QLineEdit;
class QString;
class QPlainTextEdit;

// The two input looks of the window: a single-line field (qbInputStyle: soft well, hairline border, radius 8,
// 13-pt text) and the multi-line editor in the same look. The colours come from the theme's style sheet,
// which keys on the property these set.
void qbInputStyle(QLineEdit* field);
void qbInputStyle(QPlainTextEdit* editor);
// The compact field of the settings cards and the first-run wizard: a card-white fill, 12-pt text, padding
// 9 × 5.5, radius 7 and a hairline border.
void qbCompactInputStyle(QLineEdit* field);
// The width at which a field of qbInputStyle() shows the text (its placeholder, say) whole: the text's
// advance, the style sheet's padding and border and the field's own margin on either side.
int qbInputWidthFor(const QLineEdit* field, const QString& text);
