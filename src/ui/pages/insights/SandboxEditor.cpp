#include "ui/pages/insights/SandboxEditor.h"

#include "ui/theme/QBTheme.h"
#include "ui/widgets/QBPaint.h"

#include <QHBoxLayout>
#include <QPainter>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextCursor>
#include <algorithm>
#include <cmath>

namespace {
constexpr int kPadding = 8;
// The editor's own inset, so its text starts where the placeholder does.
constexpr qreal kDocumentMargin = 5;
constexpr qreal kPlaceholderPaddingH = 13;
constexpr qreal kPlaceholderPaddingV = 12;
constexpr qreal kRadius = 10;
constexpr qreal kListeningBorder = 1.4;
constexpr qreal kListeningBorderOpacity = 0.55;

// Offsets of the common prefix and suffix, never inside a surrogate pair.
std::pair<qsizetype, qsizetype> commonEnds(const QString& a, const QString& b)
{
    const qsizetype limit = std::min(a.size(), b.size());
    qsizetype prefix = 0;
    while (prefix < limit && a[prefix] == b[prefix])
        ++prefix;
    if (prefix > 0 && prefix < limit && a[prefix].isLowSurrogate())
        --prefix;
    qsizetype suffix = 0;
    while (suffix < limit - prefix && a[a.size() - 1 - suffix] == b[b.size() - 1 - suffix])
        ++suffix;
    if (suffix > 0 && suffix < limit - prefix && a[a.size() - suffix].isLowSurrogate())
        --suffix;
    return {prefix, suffix};
}
} // namespace

SandboxEditor::SandboxEditor(QWidget* parent) : QWidget(parent), m_editor(new QPlainTextEdit(this))
{
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    setMinimumHeight(kMinimumHeight);
    setMaximumHeight(kMaximumHeight);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(kPadding, kPadding, kPadding, kPadding);
    m_editor->setObjectName(QStringLiteral("sandboxEditor"));
    m_editor->setFrameShape(QFrame::NoFrame);
    m_editor->setFont(QBTheme::font(14));
    // The well below shows through: the editor draws only its text.
    m_editor->setAttribute(Qt::WA_TranslucentBackground);
    m_editor->viewport()->setAutoFillBackground(false);
    m_editor->setStyleSheet(QStringLiteral("QPlainTextEdit { background: transparent; }"));
    QPalette palette = m_editor->palette();
    palette.setColor(QPalette::Text, QBTheme::inkPrimary());
    m_editor->setPalette(palette);
    m_editor->document()->setDocumentMargin(kDocumentMargin);
    layout->addWidget(m_editor);
    connect(m_editor, &QPlainTextEdit::textChanged, this, [this] {
        updateGeometry();
        update(); // the placeholder
        if (!m_applying)
            Q_EMIT textEdited(text());
    });
}

QString SandboxEditor::placeholderText()
{
    return QStringLiteral(
        "试着点按快捷键说：「我们今天做三件事，第一优化 SwiftUI 前端排版，第二检查 DeepSeek 接口延迟，"
        "第三推送到 GitHub 分支……」");
}

QString SandboxEditor::text() const
{
    return m_editor->toPlainText();
}

void SandboxEditor::setText(const QString& text)
{
    const QString current = this->text();
    if (text == current)
        return;
    const auto [prefix, suffix] = commonEnds(current, text);
    m_applying = true;
    QTextCursor cursor(m_editor->document());
    cursor.setPosition(int(prefix));
    cursor.setPosition(int(current.size() - suffix), QTextCursor::KeepAnchor);
    cursor.insertText(text.mid(prefix, text.size() - suffix - prefix));
    m_applying = false;
}

void SandboxEditor::setListening(bool listening)
{
    if (listening == m_listening)
        return;
    m_listening = listening;
    update();
}

bool SandboxEditor::showsPlaceholder() const
{
    return m_editor->document()->isEmpty();
}

QSize SandboxEditor::sizeHint() const
{
    // Grows with its lines from the minimum to the maximum height, then scrolls.
    const qreal lines = std::max<qreal>(1, m_editor->document()->lineCount());
    const qreal content =
        lines * QFontMetricsF(m_editor->font()).lineSpacing() + 2 * kDocumentMargin + 2 * kPadding;
    return QSize(200, std::clamp(int(std::ceil(content)), kMinimumHeight, kMaximumHeight));
}

void SandboxEditor::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const QRectF bounds(rect());
    QBPaint::roundedRect(painter, bounds, kRadius, QBTheme::softWell(), Qt::transparent);
    if (showsPlaceholder()) {
        const QFont font = QBTheme::font(13);
        const QBPaint::WrappedText wrapped =
            QBPaint::wrap(placeholderText(), font, bounds.width() - 2 * kPlaceholderPaddingH);
        painter.setRenderHint(QPainter::TextAntialiasing);
        QBPaint::drawWrapped(painter, QPointF(kPlaceholderPaddingH, kPlaceholderPaddingV), wrapped, font,
                             QBTheme::inkMuted());
    }
    if (m_listening)
        QBPaint::roundedRect(painter, bounds, kRadius, Qt::transparent,
                             QBTheme::faded(QBTheme::violet(), kListeningBorderOpacity), kListeningBorder);
    else
        QBPaint::roundedRect(painter, bounds, kRadius, Qt::transparent, QBTheme::hairline());
}
