#include "ui/widgets/QBSegmentBar.h"

#include "ui/theme/QBTheme.h"
#include "ui/widgets/QBPaint.h"

#include <QFontMetricsF>
#include <QHBoxLayout>
#include <QPainter>
#include <cmath>

namespace {
constexpr int kPadding = 3;
constexpr int kSpacing = 3;
constexpr qreal kSegmentRadius = 6.5;
constexpr qreal kBarRadius = 8.5;

QFont segmentFont(bool selected)
{
    return QBTheme::font(12, selected ? QFont::DemiBold : QFont::Normal);
}

class Segment final : public QAbstractButton {
public:
    Segment(QWidget* parent) : QAbstractButton(parent)
    {
        setCursor(Qt::PointingHandCursor);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    }
    bool selected = false;

    QSize sizeHint() const override
    {
        const QFontMetricsF metrics(segmentFont(true));
        return QSize(int(std::ceil(metrics.horizontalAdvance(text()) + 16)),
                     int(std::ceil(metrics.height() + 10)));
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        if (selected)
            QBPaint::roundedRect(painter, QRectF(rect()), kSegmentRadius, QBTheme::cardBg(),
                                 QBTheme::faded(QBTheme::violet(), 0.45));
        const QFont font = segmentFont(selected);
        painter.setFont(font);
        painter.setPen(selected ? QBTheme::violet() : QBTheme::inkSecondary());
        const QFontMetricsF metrics(font);
        const QString shown = metrics.elidedText(text(), Qt::ElideRight, width() - 16);
        painter.drawText(QRectF(rect()), Qt::AlignCenter | Qt::TextSingleLine, shown);
    }
};
} // namespace

QBSegmentBar::QBSegmentBar(QWidget* parent)
    : QWidget(parent), m_layout(new QHBoxLayout(this)), m_lift(kSegmentRadius, 2, QColor::fromRgbF(0, 0, 0, 0.05f))
{
    m_layout->setContentsMargins(kPadding, kPadding, kPadding, kPadding);
    m_layout->setSpacing(kSpacing);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void QBSegmentBar::setItems(QList<Item> items)
{
    bool sameTitles = items.size() == m_items.size();
    for (qsizetype i = 0; sameTitles && i < items.size(); ++i)
        sameTitles = items[i].title == m_items[i].title && items[i].objectName == m_items[i].objectName;
    m_items = std::move(items);
    if (!sameTitles) {
        qDeleteAll(m_segments);
        m_segments.clear();
        for (qsizetype i = 0; i < m_items.size(); ++i) {
            auto* segment = new Segment(this);
            segment->setText(m_items[i].title);
            segment->setObjectName(m_items[i].objectName.isEmpty() ? QStringLiteral("segment%1").arg(i)
                                                                   : m_items[i].objectName);
            connect(segment, &QAbstractButton::clicked, this, [this, i] {
                if (i < m_items.size() && m_items[i].action)
                    m_items[i].action();
            });
            m_layout->addWidget(segment, 1);
            m_segments.append(segment);
        }
        updateGeometry();
    }
    for (qsizetype i = 0; i < m_items.size(); ++i) {
        auto* segment = static_cast<Segment*>(m_segments[i]);
        if (segment->selected != m_items[i].isSelected) {
            segment->selected = m_items[i].isSelected;
            segment->update();
        }
    }
    update();
}

QSize QBSegmentBar::sizeHint() const
{
    const QFontMetricsF metrics(segmentFont(true));
    const int height = int(std::ceil(metrics.height() + 10)) + 2 * kPadding;
    return QSize(QWidget::sizeHint().width(), height);
}

void QBSegmentBar::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QBPaint::roundedRect(painter, QRectF(rect()), kBarRadius, QBTheme::faded(QBTheme::sandWell(), 0.65),
                         Qt::transparent);
    // The selected segments' lift: a tight shadow under each, drawn here since it falls outside the segment.
    for (QAbstractButton* button : m_segments) {
        auto* segment = static_cast<Segment*>(button);
        if (!segment->selected)
            continue;
        const qreal dpr = devicePixelRatioF();
        const QImage& shade = m_lift.shadow(QSizeF(segment->size()), dpr);
        const qreal spread = std::ceil(2 * dpr) / dpr;
        painter.drawImage(QPointF(segment->x() - spread, segment->y() - spread + 1), shade);
    }
}
