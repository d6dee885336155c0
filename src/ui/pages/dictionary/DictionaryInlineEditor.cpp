#include "ui/pages/dictionary/DictionaryInlineEditor.h"

#include "ui/theme/QBTheme.h"
#include "ui/widgets/QBButton.h"
#include "ui/widgets/QBInput.h"
#include "ui/widgets/QBPaint.h"
#include "ui/widgets/QBPill.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>

namespace {

constexpr int kInset = 15;
constexpr int kRowSpacing = 12;
constexpr int kColumnSpacing = 10;
constexpr int kCaptionSpacing = 4;
constexpr int kTermColumnWidth = 195;
constexpr int kPickerWidth = 115;
constexpr qreal kRadius = 12;

QLabel* caption(const QString& text, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    // The alias caption is long: it wraps rather than being cut in a narrow window.
    label->setWordWrap(true);
    label->setFont(QBTheme::font(11, QFont::Medium));
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, QBTheme::inkSecondary());
    label->setPalette(palette);
    return label;
}

QBPill::Look titleLook()
{
    QBPill::Look look;
    look.font = QBTheme::font(12, QFont::Bold);
    look.text = QBTheme::violet();
    look.fill = Qt::transparent;
    look.dot = QBTheme::violet();
    look.dotSize = 6;
    look.spacing = 6;
    return look;
}

} // namespace

QComboBox* makeCategoryPicker(QWidget* parent)
{
    auto* picker = new QComboBox(parent);
    for (LexiconCategory category : LexiconCategory::allCases())
        picker->addItem(category.rawValue(), int(category.value));
    picker->setFixedWidth(kPickerWidth);
    picker->setFont(QBTheme::font(12.5));
    return picker;
}

DictionaryInlineEditor::DictionaryInlineEditor(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("inlineEditor"));
    setCursor(Qt::ArrowCursor);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(kInset, kInset, kInset, kInset);
    layout->setSpacing(kRowSpacing);

    auto* titleRow = new QHBoxLayout;
    titleRow->setSpacing(0);
    titleRow->addWidget(new QBPill(QStringLiteral("编辑词条映射"), titleLook(), this));
    titleRow->addStretch(1);
    m_pinned = new QCheckBox(QStringLiteral("★ 核心常驻置顶（100% 随句预热）"), this);
    m_pinned->setObjectName(QStringLiteral("editPinned"));
    m_pinned->setFont(QBTheme::font(12, QFont::Medium));
    m_pinned->setCursor(Qt::PointingHandCursor);
    titleRow->addWidget(m_pinned);
    layout->addLayout(titleRow);

    auto* fields = new QGridLayout;
    fields->setHorizontalSpacing(kColumnSpacing);
    fields->setVerticalSpacing(kCaptionSpacing);
    m_term = new QLineEdit(this);
    m_term->setObjectName(QStringLiteral("editTerm"));
    m_term->setPlaceholderText(QStringLiteral("标准词"));
    qbInputStyle(m_term);
    m_term->setFixedWidth(kTermColumnWidth);
    m_aliases = new QLineEdit(this);
    m_aliases->setObjectName(QStringLiteral("editAliases"));
    m_aliases->setPlaceholderText(QStringLiteral("误听词1，误听词2…"));
    qbInputStyle(m_aliases);
    m_category = makeCategoryPicker(this);
    m_category->setObjectName(QStringLiteral("editCategory"));
    // Captions sit on the fields, as wide as their column: a wrapped caption grows upwards and the three
    // fields stay in line.
    const auto bottomLeft = Qt::AlignBottom;
    fields->addWidget(caption(QStringLiteral("正确标准词"), this), 0, 0, bottomLeft);
    fields->addWidget(
        caption(QStringLiteral("常见误听词（逗号或斜杠分隔，改标准词会自动把旧错词并入纠偏表）"), this), 0, 1,
        bottomLeft);
    fields->addWidget(caption(QStringLiteral("所属分类"), this), 0, 2, bottomLeft);
    fields->addWidget(m_term, 1, 0);
    fields->addWidget(m_aliases, 1, 1);
    fields->addWidget(m_category, 1, 2);
    fields->setColumnMinimumWidth(0, kTermColumnWidth);
    fields->setColumnStretch(1, 1);
    layout->addLayout(fields);

    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(8);
    auto* remove = new QBButton(QBButton::Kind::destructive, QStringLiteral("删除此词"), this, true);
    remove->setObjectName(QStringLiteral("editRemove"));
    remove->setLeadingIcon(QBIcon::trash, 11.5);
    auto* cancel = new QBButton(QBButton::Kind::secondary, QStringLiteral("取消"), this, true);
    cancel->setObjectName(QStringLiteral("editCancel"));
    auto* save = new QBButton(QBButton::Kind::primary, QStringLiteral("保存修改"), this, true);
    save->setObjectName(QStringLiteral("editSave"));
    buttons->addWidget(remove);
    buttons->addStretch(1);
    buttons->addWidget(cancel);
    buttons->addWidget(save);
    layout->addLayout(buttons);

    connect(remove, &QAbstractButton::clicked, this, &DictionaryInlineEditor::removeRequested);
    connect(cancel, &QAbstractButton::clicked, this, &DictionaryInlineEditor::cancelRequested);
    connect(save, &QAbstractButton::clicked, this, &DictionaryInlineEditor::saveRequested);
    connect(m_term, &QLineEdit::returnPressed, this, &DictionaryInlineEditor::saveRequested);
    connect(m_aliases, &QLineEdit::returnPressed, this, &DictionaryInlineEditor::saveRequested);
}

void DictionaryInlineEditor::setValues(const QString& term, const QString& aliases, LexiconCategory category,
                                       bool pinned)
{
    m_term->setText(term);
    m_aliases->setText(aliases);
    // A long list shows from its start.
    m_aliases->setCursorPosition(0);
    m_category->setCurrentIndex(m_category->findData(int(category.value)));
    m_pinned->setChecked(pinned);
}

QString DictionaryInlineEditor::term() const
{
    return m_term->text();
}

QString DictionaryInlineEditor::aliases() const
{
    return m_aliases->text();
}

LexiconCategory DictionaryInlineEditor::category() const
{
    return LexiconCategory::Value(m_category->currentData().toInt());
}

bool DictionaryInlineEditor::isPinned() const
{
    return m_pinned->isChecked();
}

int DictionaryInlineEditor::heightForWidth(int width) const
{
    return layout()->totalHeightForWidth(width);
}

void DictionaryInlineEditor::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QBPaint::roundedRect(painter, QRectF(rect()), kRadius, QBTheme::faded(QBTheme::lilacTint(), 0.65),
                         QBTheme::faded(QBTheme::violet(), 0.45), 1.2);
}
