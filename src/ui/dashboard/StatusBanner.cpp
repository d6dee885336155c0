#include "ui/dashboard/StatusBanner.h"

#include "ui/theme/QBIcons.h"
#include "ui/theme/QBTheme.h"
#include "ui/widgets/QBPaint.h"
#include "ui/widgets/SettingsControls.h"

#include <QAbstractButton>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>

namespace {
// The close cross: 10 pt, bold, with 5 of padding that also takes the click.
class CloseButton final : public QAbstractButton {
public:
    explicit CloseButton(QWidget* parent) : QAbstractButton(parent)
    {
        setFixedSize(20, 20);
        setCursor(Qt::PointingHandCursor);
        setFocusPolicy(Qt::NoFocus);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        QBIcons::paint(painter, QRectF(rect()), QBIcon::close, 10, QBTheme::inkMuted(), 2.8);
    }
};
} // namespace

StatusBanner::StatusBanner(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("statusBanner"));
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(14, 10, 9, 10);
    layout->setSpacing(10);
    layout->addWidget(new QBIconView(QBIcon::sparkles, 13, QBTheme::violet(), this, 16), 0, Qt::AlignVCenter);
    m_text = new QLabel(this);
    m_text->setObjectName(QStringLiteral("bannerText"));
    // Banner lines quote transcripts and model answers: never read as markup.
    m_text->setTextFormat(Qt::PlainText);
    m_text->setWordWrap(true);
    m_text->setFont(QBTheme::font(12.5, QFont::Medium));
    QPalette palette = m_text->palette();
    palette.setColor(QPalette::WindowText, QBTheme::inkPrimary());
    m_text->setPalette(palette);
    layout->addWidget(m_text, 1);
    m_close = new CloseButton(this);
    m_close->setObjectName(QStringLiteral("bannerClose"));
    layout->addWidget(m_close, 0, Qt::AlignVCenter);
    connect(m_close, &QAbstractButton::clicked, this, &StatusBanner::closeRequested);
}

void StatusBanner::setText(const QString& text)
{
    if (m_text->text() != text)
        m_text->setText(text);
}

QString StatusBanner::text() const
{
    return m_text->text();
}

void StatusBanner::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    QBPaint::roundedRect(painter, QRectF(rect()), 10, QBTheme::lilacTint(),
                         QBTheme::faded(QBTheme::violet(), 0.22));
}
