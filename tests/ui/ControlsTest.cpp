#include "support/AnimationClock.h"
#include "ui/theme/QBIcons.h"
#include "ui/theme/QBMotion.h"
#include "ui/theme/QBTheme.h"
#include "ui/widgets/QBButton.h"
#include "ui/widgets/QBCard.h"
#include "ui/widgets/QBExpandableCard.h"
#include "ui/widgets/QBPill.h"
#include "ui/widgets/QBSegmentBar.h"
#include "ui/widgets/QBSwitch.h"
#include "ui/widgets/SettingsControls.h"

#include <QImage>
#include <QLabel>
#include <QSignalSpy>
#include <QTest>
#include <QVBoxLayout>
#include <QVariantAnimation>
#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

// `color` drawn over `base` (both sRGB, 8 bits a channel).
QColor over(const QColor& color, const QColor& base)
{
    const qreal a = color.alphaF();
    return QColor::fromRgbF(float(color.redF() * a + base.redF() * (1 - a)),
                            float(color.greenF() * a + base.greenF() * (1 - a)),
                            float(color.blueF() * a + base.blueF() * (1 - a)));
}

bool near(QColor a, QColor b, int tolerance = 2)
{
    return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance &&
           std::abs(a.blue() - b.blue()) <= tolerance;
}

// The widget drawn on its own over `background`.
QImage grab(QWidget& widget, const QColor& background = QBTheme::paperBg(), qreal scale = 1)
{
    widget.ensurePolished();
    if (widget.size().isEmpty())
        widget.resize(widget.sizeHint());
    QImage image(widget.size() * scale, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(scale);
    image.fill(background);
    widget.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image;
}

TEST(ThemeTest, PaletteAndFonts)
{
    EXPECT_EQ(QBTheme::violet(), QColor::fromRgbF(0.353f, 0.275f, 0.910f));
    EXPECT_EQ(QBTheme::amberTint(), QColor::fromRgbF(0.988f, 0.949f, 0.882f));
    // The lines are ink made translucent, not greys.
    EXPECT_EQ(QBTheme::hairline().rgb(), QBTheme::inkPrimary().rgb());
    EXPECT_NEAR(QBTheme::hairline().alphaF(), 0.085, 1e-4);
    EXPECT_NEAR(QBTheme::strongLine().alphaF(), 0.16, 1e-4);
    // Sizes stay fractional: 12.5 layout pixels at 96 DPI is 9.375 pt, not 9 or 10.
    EXPECT_DOUBLE_EQ(QBTheme::pointSizeFor(12.5, 96), 9.375);
    const QFont font = QBTheme::font(10.5, QFont::DemiBold, QBTheme::FontDesign::serif);
    EXPECT_NEAR(font.pointSizeF(),
                QBTheme::pointSizeFor(10.5, QGuiApplication::primaryScreen()->logicalDotsPerInchY()), 1e-6);
    EXPECT_TRUE(font.families().contains(QStringLiteral("Noto Serif CJK SC")));
}

TEST(ThemeTest, EveryIconLoadsAndTakesItsTint)
{
    for (QBIcon icon : {QBIcon::insights,
                        QBIcon::history,
                        QBIcon::dictionary,
                        QBIcon::settings,
                        QBIcon::sparkles,
                        QBIcon::close,
                        QBIcon::checkCircleFilled,
                        QBIcon::warningTriangleFilled,
                        QBIcon::chevronDown,
                        QBIcon::chevronRight,
                        QBIcon::keyboard,
                        QBIcon::volumeOff,
                        QBIcon::hare,
                        QBIcon::microphone,
                        QBIcon::typography,
                        QBIcon::brain,
                        QBIcon::messages,
                        QBIcon::taskbar,
                        QBIcon::microphoneFilled,
                        QBIcon::stopFilled,
                        QBIcon::check,
                        QBIcon::copy,
                        QBIcon::wand}) {
        const QImage image = QBIcons::pixmap(icon, 16, QBTheme::crimson(), 2).toImage();
        int inked = 0;
        bool tinted = true;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x) {
                const QColor c = image.pixelColor(x, y);
                if (c.alpha() == 255) {
                    ++inked;
                    tinted = tinted && c.rgb() == QBTheme::crimson().rgb();
                }
            }
        EXPECT_GT(inked, 8) << QBIcons::resourcePath(icon).toStdString();
        EXPECT_TRUE(tinted) << QBIcons::resourcePath(icon).toStdString();
    }
}

TEST(ButtonTest, StatesAndVariants)
{
    using K = QBButton::Kind;
    for (bool pressed : {false, true}) {
        const auto disabled = QBButton::look(K::primary, false, false, pressed);
        EXPECT_NEAR(disabled.fill.alphaF(), 0.4, 1e-4) << "pressed=" << pressed;
        EXPECT_EQ(disabled.text, QColor(Qt::white));
    }
    EXPECT_NEAR(QBButton::look(K::primary, false, true, true).fill.alphaF(), 0.84, 1e-4);
    EXPECT_DOUBLE_EQ(QBButton::look(K::secondary, true, true, true).scale, 0.985);

    const auto destructive = QBButton::look(K::destructive, false, false, false);
    EXPECT_EQ(destructive.text, QBTheme::crimson()) << "a disabled destructive label stays full crimson";
    EXPECT_NEAR(destructive.border.alphaF(), 0.28, 1e-4);
    EXPECT_NEAR(QBButton::look(K::secondary, false, false, false).text.alphaF(), 0.4, 1e-4);

    // Compact changes font, padding and radius only.
    for (K kind : {K::primary, K::secondary, K::destructive}) {
        const auto regular = QBButton::look(kind, false, true, false);
        const auto compact = QBButton::look(kind, true, true, false);
        EXPECT_EQ(regular.fill, compact.fill);
        EXPECT_EQ(regular.text, compact.text);
        EXPECT_EQ(regular.border, compact.border);
        EXPECT_LT(compact.radius, regular.radius);
        EXPECT_LT(compact.paddingH, regular.paddingH);
        EXPECT_LE(compact.font.pointSizeF(), regular.font.pointSizeF());
    }

    // As drawn: a disabled primary button is violet at 0.4 over the paper, pressed or not.
    QBButton button(K::primary, QStringLiteral("保存"));
    button.setEnabled(false);
    button.setDown(true);
    button.resize(button.sizeHint());
    const QImage image = grab(button);
    const QColor drawn = image.pixelColor(3, image.height() / 2);
    EXPECT_TRUE(near(drawn, over(QBTheme::faded(QBTheme::violet(), 0.4), QBTheme::paperBg())))
        << drawn.name().toStdString() << " vs "
        << over(QBTheme::faded(QBTheme::violet(), 0.4), QBTheme::paperBg()).name().toStdString();
}

TEST(CardTest, HairlineStaysTranslucentAndShadowFallsBelow)
{
    for (const QColor& base : {QBTheme::paperBg(), QBTheme::sidebarBg(), QBTheme::cardBg()}) {
        QWidget parent;
        parent.resize(200, 120);
        QBCard card(14, 0, &parent);
        card.setGeometry(40, 30, 120, 60);
        parent.show();
        const QImage image = grab(parent, base);
        // The border's middle row on the left edge: ink at 0.085 over the card's own fill.
        EXPECT_TRUE(near(image.pixelColor(40, 60), over(QBTheme::hairline(), QBTheme::cardBg())));
        // The shadow is offset downwards: darker under the card than above it.
        const QColor below = image.pixelColor(100, 92);
        const QColor above = image.pixelColor(100, 28);
        EXPECT_LT(below.lightness(), base.lightness()) << "a shadow under a card with padding 0";
        EXPECT_LT(below.lightness(), above.lightness() + (above == base ? 0 : 1));
    }
}

TEST(PillTest, KeyAndEngineStatus)
{
    EXPECT_EQ(QBPillLooks::keyStatusText(true, true), QStringLiteral("本地免密"));
    EXPECT_EQ(QBPillLooks::keyStatusText(true, false), QStringLiteral("密钥已存"));
    EXPECT_EQ(QBPillLooks::keyStatusText(false, false), QStringLiteral("待填密钥"));
    EXPECT_EQ(QBPillLooks::keyStatusPill(false, false, false).text, QBTheme::amber());
    EXPECT_NEAR(QBPillLooks::keyStatusPill(false, false, true).text.alphaF(), 0.72, 1e-4)
        << "missing and muted";
    EXPECT_EQ(QBPillLooks::keyStatusPill(false, true, false).text, QBTheme::activeGreen());
    EXPECT_EQ(QBPillLooks::keyStatusPill(true, false, true).text, QBTheme::inkMuted());
    EXPECT_EQ(QBPillLooks::engineStatusText(true), QStringLiteral("当前生效"));
    EXPECT_EQ(QBPillLooks::engineStatusText(false), QStringLiteral("未启用"));

    int clicks = 0;
    QBPill* preset = SettingsPills::presetPill(QStringLiteral("gpt-4o-transcribe"), false);
    std::unique_ptr<QBPill> owner(preset);
    QObject::connect(preset, &QAbstractButton::clicked, [&] { ++clicks; });
    preset->resize(preset->sizeHint());
    QTest::mouseClick(preset, Qt::LeftButton);
    EXPECT_EQ(clicks, 1);
    EXPECT_EQ(preset->look().text, QBTheme::inkSecondary())
        << "the look changes only with the caller's state";
}

TEST(InlineBannerTest, ErrorsAndLineLimits)
{
    QBInlineBanner probe(QBInlineBanner::Kind::probe, QStringLiteral("✅ 校验通过，但 ❌ 出现在后面"));
    EXPECT_EQ(probe.textColor(), QBTheme::emerald());
    probe.setMessage(QStringLiteral("❌ 校验未通过"));
    EXPECT_EQ(probe.textColor(), QBTheme::crimson());

    const QString longText =
        QStringLiteral("❌ ") + QString(QStringLiteral("很长的错误说明 long error text ")).repeated(12);
    probe.setMessage(longText);
    probe.resize(260, 40);
    const QStringList lines = probe.shownLines();
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines.last().endsWith(QStringLiteral("…")));

    QBInlineBanner warn(QBInlineBanner::Kind::warn, longText.mid(2));
    warn.resize(260, 40);
    EXPECT_GT(warn.shownLines().size(), 2) << "a warning wraps without limit";
    EXPECT_GT(warn.heightForWidth(260), probe.heightForWidth(260));
}

TEST(SegmentBarTest, ClicksOnlyRunTheAction)
{
    QBSegmentBar empty;
    empty.setItems({});
    EXPECT_TRUE(empty.findChildren<QAbstractButton*>().isEmpty());

    QBSegmentBar bar;
    QList<int> ran;
    bar.setItems(
        {{QStringLiteral("结构化"), true, [&] { ran.append(0); }, QStringLiteral("style-structured")},
         {QStringLiteral("纯原声"), true, [&] { ran.append(1); }, QStringLiteral("style-verbatim")}});
    bar.resize(300, bar.sizeHint().height());
    bar.show();
    auto* second = bar.findChild<QAbstractButton*>(QStringLiteral("style-verbatim"));
    ASSERT_NE(second, nullptr);
    QTest::mouseClick(second, Qt::LeftButton);
    EXPECT_EQ(ran, QList<int>{1});
    EXPECT_TRUE(bar.items()[0].isSelected && bar.items()[1].isSelected) << "several may be selected";
    // Equal shares of the width.
    EXPECT_NEAR(bar.findChild<QAbstractButton*>(QStringLiteral("style-structured"))->width(), second->width(),
                1);
}

TEST(SwitchRowTest, BindingAndUserFlips)
{
    CompactSwitchRow row(QBIcon::sparkles, QStringLiteral("自动学习"));
    QSignalSpy toggled(&row, &CompactSwitchRow::toggled);
    row.setOn(true);
    EXPECT_TRUE(row.isOn());
    EXPECT_EQ(toggled.count(), 0) << "showing the bound value is not a flip";
    row.resize(300, 40);
    row.show();
    QTest::mouseClick(row.toggle(), Qt::LeftButton);
    ASSERT_EQ(toggled.count(), 1);
    EXPECT_FALSE(toggled.first().first().toBool());
}

TEST(ExpandableCardTest, HeaderAsksAndStateShows)
{
    AnimationClock clock;
    QBExpandableCard card(QStringLiteral("火山 Seed-ASR"), QStringLiteral("bigmodel"),
                          QStringLiteral("流式识别"));
    card.resize(460, 200);
    card.show();
    auto* body = card.findChild<QWidget*>(QStringLiteral("cardBody"));
    auto* subtitle = card.findChild<QWidget*>(QStringLiteral("cardSubtitle"));
    EXPECT_FALSE(body->isVisible());
    EXPECT_FALSE(subtitle->isVisible());

    QSignalSpy clicked(&card, &QBExpandableCard::headerClicked);
    QTest::mouseClick(card.header(), Qt::LeftButton, {}, QPoint(card.header()->width() / 2, 4));
    EXPECT_EQ(clicked.count(), 1);
    EXPECT_FALSE(card.isExpanded()) << "which card is expanded is the caller's";

    card.setExpanded(true);
    EXPECT_TRUE(body->isVisible());
    card.revealAnimation()->setCurrentTime(QBExpandableCard::kRevealMs);
    EXPECT_TRUE(subtitle->isVisible());
    card.setSelected(true);
    EXPECT_EQ(card.findChild<QBPill*>(QStringLiteral("cardStatusBadge"))->text(), QStringLiteral("当前生效"));
}

// How often a widget was hidden.
class HideCount final : public QObject {
public:
    explicit HideCount(QWidget* widget) { widget->installEventFilter(this); }
    int count = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Hide)
            ++count;
        return false;
    }
};

TEST(ExpandableCardTest, OpeningAndClosingEaseOnScreenOnly)
{
    // Nothing moves but the frames this test sets.
    AnimationClock clock;
    // In a column, as on the settings page: the card as tall as it needs.
    QWidget column;
    auto* layout = new QVBoxLayout(&column);
    auto& card =
        *new QBExpandableCard(QStringLiteral("火山 Seed-ASR"), QStringLiteral("bigmodel"), QString());
    layout->addWidget(&card);
    layout->addStretch(1);
    auto* row = new QLabel(QStringLiteral("第一行\n第二行\n第三行"), &card);
    card.bodyLayout()->addWidget(row);
    // Out of sight: at once.
    card.setExpanded(true);
    EXPECT_EQ(card.revealProgress(), 1);
    card.setExpanded(false);
    EXPECT_EQ(card.revealProgress(), 0);

    column.resize(460, 400);
    column.show();
    auto* reveal = card.findChild<QWidget*>(QStringLiteral("cardReveal"));
    QVariantAnimation* animation = card.revealAnimation();
    card.setExpanded(true);
    ASSERT_EQ(animation->state(), QAbstractAnimation::Running);
    EXPECT_EQ(animation->duration(), 140);
    EXPECT_TRUE(row->isVisible()) << "shown as the opening starts";
    EXPECT_EQ(reveal->maximumHeight(), 0);
    // Frames at chosen times: more than half the body shows halfway through.
    animation->setCurrentTime(70);
    EXPECT_NEAR(card.revealProgress(), QBMotion::easeOut().valueForProgress(0.5), 1e-6);
    const int halfwayHeight = reveal->maximumHeight();
    animation->setCurrentTime(140);
    EXPECT_EQ(animation->state(), QAbstractAnimation::Stopped);
    EXPECT_EQ(reveal->maximumHeight(), QWIDGETSIZE_MAX) << "open, the body takes the height it needs";
    for (int i = 0; i < 4; ++i) // layout requests travel up one level per turn
        QCoreApplication::processEvents();
    EXPECT_GT(halfwayHeight, reveal->height() / 2);
    EXPECT_LT(halfwayHeight, reveal->height());
    EXPECT_EQ(row->height(), row->sizeHint().height()) << "the rows unroll at their own height";

    // Closing rolls the body back up and hides it at the end; opening again midway turns back from there.
    // The ease aimed at its new end starts where the card is: the card is never shown closed first.
    const HideCount hides(reveal);
    card.setExpanded(false);
    EXPECT_EQ(hides.count, 0) << "the body vanished as the closing began";
    EXPECT_EQ(card.revealProgress(), 1);
    EXPECT_TRUE(row->isVisible());
    animation->setCurrentTime(70);
    const qreal halfway = card.revealProgress();
    EXPECT_LT(halfway, 0.5);
    card.setExpanded(true);
    EXPECT_NEAR(animation->startValue().toReal(), halfway, 1e-6);
    animation->setCurrentTime(140);
    EXPECT_EQ(card.revealProgress(), 1);
    card.setExpanded(false);
    animation->setCurrentTime(140);
    EXPECT_FALSE(row->isVisible());
    EXPECT_EQ(card.revealProgress(), 0);
}

TEST(ExpandableCardTest, TheHeaderHoldsStillWhileTheBodyEases)
{
    // The frames come from the tests' clock, as the display would deliver them, and from nothing else.
    AnimationClock clock;
    QWidget column;
    auto* layout = new QVBoxLayout(&column);
    auto& card = *new QBExpandableCard(QStringLiteral("OpenAI 兼容"), QString(),
                                       QStringLiteral("支持 OpenAI 与 Groq · 自动复用 OpenAI Key"));
    layout->addWidget(&card);
    layout->addStretch(1);
    card.bodyLayout()->addWidget(new QLabel(QStringLiteral("第一行\n第二行\n第三行"), &card));
    card.addTrailing(SettingsPills::keyStatusPill(false, false, true));
    column.resize(460, 400);
    column.show();
    auto* title = card.findChild<QWidget*>(QStringLiteral("cardTitle"));
    auto* chevron = card.findChild<QWidget*>(QStringLiteral("cardChevron"));
    auto* subtitle = card.findChild<QWidget*>(QStringLiteral("cardSubtitle"));
    const auto settle = [] {
        for (int i = 0; i < 6; ++i) // layout requests travel up one level per turn
            QCoreApplication::processEvents();
    };
    const auto top = [&](QWidget* widget) { return widget->mapTo(&card, QPoint()).y(); };
    const auto subtitleShown = [&] { return subtitle->isVisible() ? subtitle->height() : 0; };
    settle();
    const int closedTitle = top(title);

    // Frames of 8 ms both ways: the title and the chevron move by at most a pixel from one frame to the
    // next (the padding eases from 8 to 11), and the subtitle unrolls and rolls up with the body.
    for (bool expanding : {true, false}) {
        SCOPED_TRACE(expanding ? "expanding" : "collapsing");
        int lastTitle = top(title);
        int lastChevron = top(chevron);
        int lastSubtitle = subtitleShown();
        const QImage openSubtitle = expanding ? QImage() : subtitle->grab().toImage();
        card.setExpanded(expanding);
        settle(); // the ease joins the clock on the next turn
        for (int ms = 8; card.revealAnimation()->state() == QAbstractAnimation::Running; ms += 8) {
            ASSERT_LE(ms, 2 * QBExpandableCard::kRevealMs) << "the ease did not end";
            clock.advance(8ms);
            settle();
            SCOPED_TRACE(ms);
            EXPECT_LE(std::abs(top(title) - lastTitle), 1) << "the title jumped";
            EXPECT_LE(std::abs(top(chevron) - lastChevron), 1) << "the chevron jumped";
            EXPECT_LE(std::abs(top(title) - closedTitle), 3);
            if (!expanding && ms <= QBExpandableCard::kRevealMs / 2) {
                EXPECT_GT(subtitleShown(), 0) << "the subtitle vanished before the body";
            }
            EXPECT_LE(std::abs(subtitleShown() - lastSubtitle), subtitle->sizeHint().height() / 2 + 1)
                << "the subtitle changes with the ease, not at once";
            if (!expanding && subtitleShown() > 0) {
                // Rolled up from below: what shows of it is the top of the whole subtitle, not its middle.
                const QImage shown = subtitle->grab().toImage();
                EXPECT_EQ(shown, openSubtitle.copy(0, 0, shown.width(), shown.height()))
                    << "the subtitle's text slid within it";
            }
            lastTitle = top(title);
            lastChevron = top(chevron);
            lastSubtitle = subtitleShown();
        }
        EXPECT_EQ(card.revealProgress(), expanding ? 1 : 0);
        EXPECT_EQ(subtitleShown() > 0, expanding);
    }
    EXPECT_EQ(top(title), closedTitle);
}

} // namespace
