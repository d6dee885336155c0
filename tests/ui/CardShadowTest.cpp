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

// A lift painted every frame comes from the cache; it must be the shadow of the size asked for, also after
// other sizes have pushed it out.
TEST(CardShadowTest, CachedShadowIsTheBlurOfItsSize)
{
    const QColor color = QColor::fromRgbF(0, 0, 0, 0.5f);
    QBPaint::ShadowCache cache(7, 2, color);
    for (int round = 0; round < 2; ++round) {
        for (int width = 40; width < 100; width += 10) {
            for (qreal dpr : {1.0, 2.0}) {
                const QImage& cached = cache.shadow(QSizeF(width, 30), dpr);
                EXPECT_EQ(cached, QBPaint::shadow(QSizeF(width, 30), 7, 2, color, dpr))
                    << "width " << width << " at scale " << dpr;
            }
        }
    }
}

// A translucent border is laid on the fill once, inside the edge: the hole in its ring is the fill alone.
TEST(CardShadowTest, TranslucentBorderCoversOnlyItsRing)
{
    QImage image(60, 40, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::white);
    {
        QPainter painter(&image);
        QBPaint::roundedRect(painter, QRectF(0, 0, 60, 40), 8, Qt::white, QColor::fromRgbF(0, 0, 0, 0.5f), 2);
    }
    EXPECT_EQ(image.pixel(30, 20), qRgb(255, 255, 255)) << "the border reached into the hole";
    EXPECT_NEAR(qGray(image.pixel(30, 0)), 128, 2) << "the top edge is one layer of the border";
    EXPECT_NEAR(qGray(image.pixel(0, 20)), 128, 2) << "the left edge is one layer of the border";
    EXPECT_EQ(image.pixel(30, 3), qRgb(255, 255, 255)) << "the border is wider than asked";
}

} // namespace
