#include "ui/widgets/QBCard.h"
#include "ui/widgets/QBPaint.h"

#include <QPainter>
#include <gtest/gtest.h>

namespace {

// A tall card's shadow is blurred for a short one and stretched along its sides: it must look the same as
// the shadow blurred whole, and follow the card when its height changes.
TEST(CardShadowTest, StretchedShadowMatchesTheWholeBlur)
{
    QWidget parent;
    parent.resize(360, 1100);
    auto* card = new QBCard(14, 16, &parent);
    const QBCard::Shadow shadow{QColor::fromRgbF(0, 0, 0, 0.5f), 8, 3}; // dark enough to compare
    card->setShadow(shadow);
    parent.show();

    for (int height : {900, 40, 600}) {
        card->setGeometry(30, 30, 300, height);
        QImage painted(parent.size(), QImage::Format_ARGB32);
        painted.fill(Qt::white);
        parent.render(&painted, QPoint(), QRegion(), QWidget::DrawChildren);

        QImage expected(parent.size(), QImage::Format_ARGB32);
        expected.fill(Qt::white);
        {
            QPainter painter(&expected);
            const QImage whole = QBPaint::shadow(QSizeF(card->size()), 14, shadow.blur, shadow.color, 1);
            painter.drawImage(QPointF(card->x() - shadow.blur, card->y() - shadow.blur + shadow.offsetY),
                              whole);
        }
        int worst = 0;
        const QRect inside = card->geometry();
        for (int y = 0; y < parent.height(); y += 3) {
            for (int x = 0; x < parent.width(); x += 3) {
                if (inside.contains(x, y))
                    continue;
                worst = std::max(worst, std::abs(qGray(painted.pixel(x, y)) - qGray(expected.pixel(x, y))));
            }
        }
        EXPECT_LE(worst, 3) << "card height " << height;
    }
}

} // namespace
