// The engine and model cards of the settings page as the user has them: in the main window's scroll area,
// beside the other cards, in the app's own look, at the window's two sizes, on a screen of scale 1 and one of
// scale 2. Every frame of opening and closing is stepped on the tests' animation clock, and every state the
// event loop could paint between two frames is looked at.
#include "support/AnimationClock.h"
#include "ui/dashboard/MainDashboardView.h"
#include "ui/support/DashboardFixture.h"
#include "ui/theme/QBTheme.h"
#include "ui/widgets/QBExpandableCard.h"

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QPainter>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <QVariantAnimation>
#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

// The app's look on the whole application, as the app sets it before its first window.
class LightLook final : public ::testing::Environment {
public:
    void SetUp() override { QBTheme::applyLightLook(*qApp); }
};
const auto* const kLightLook = ::testing::AddGlobalTestEnvironment(new LightLook);

constexpr std::chrono::milliseconds kFrame = 8ms; // 120 frames a second
// Turns of the event loop after a frame: layout requests travel up one level of widgets per turn, and a
// paint may come between any two.
constexpr int kTurnsPerFrame = 5;
// Opening moves the title down by the header's extra padding, 3 at most, never more than 1 a frame.
constexpr int kPaddingTravel = 3;
// Pictures for review reach a little below the open card.
constexpr int kPictureHeight = 240;

struct Window {
    QSize size;
    qreal scale;
};

void PrintTo(const Window& window, std::ostream* out)
{
    *out << window.size.width() << "x" << window.size.height() << " at scale " << window.scale;
}

// The height a widget asks of its parent at its width.
int wantedHeight(const QWidget* widget)
{
    return widget->hasHeightForWidth() ? widget->heightForWidth(widget->width())
                                       : widget->sizeHint().height();
}

// What the user sees of one card at one moment, in the window's coordinates.
struct Look {
    int title = 0;
    int chevron = 0;
    int cardTop = 0;
    int pageTop = 0;
    // The card as tall as what it shows: not a stretched box, not squeezed by the room around it.
    bool cardFits = true;
    bool headerFits = true;
};

class SettingsPageFramesTest : public ::testing::TestWithParam<Window> {
protected:
    void SetUp() override
    {
        AppState& state = fixture.start(12, 40);
        state.setSelectedTab(SidebarTab::settings);
        view = std::make_unique<MainDashboardView>(state);
        QScreen* screen = screenOfScale(GetParam().scale);
        ASSERT_NE(screen, nullptr) << "no offscreen screen of scale " << GetParam().scale;
        view->setScreen(screen);
        view->move(screen->geometry().topLeft());
        view->resize(GetParam().size);
        view->show();
        turns(8);
        ASSERT_EQ(view->devicePixelRatioF(), GetParam().scale);
        scroll = view->findChild<QScrollArea*>(QStringLiteral("pageArea"));
        ASSERT_NE(scroll, nullptr);
    }

    static QScreen* screenOfScale(qreal scale)
    {
        for (QScreen* screen : QGuiApplication::screens()) {
            if (screen->devicePixelRatio() == scale)
                return screen;
        }
        return nullptr;
    }
    static void turns(int count)
    {
        for (int i = 0; i < count; ++i)
            QCoreApplication::processEvents();
    }

    Look look(QBExpandableCard* card) const
    {
        Look look;
        look.title = card->findChild<QWidget*>(QStringLiteral("cardTitle"))->mapTo(view.get(), QPoint()).y();
        look.chevron =
            card->findChild<QWidget*>(QStringLiteral("cardChevron"))->mapTo(view.get(), QPoint()).y();
        look.cardTop = card->mapTo(view.get(), QPoint()).y();
        look.pageTop = view->page()->mapTo(view.get(), QPoint()).y();
        look.cardFits = card->height() == wantedHeight(card);
        look.headerFits = card->header()->height() == wantedHeight(card->header());
        return look;
    }

    // The card's part of the window as the screen shows it, with a margin round it.
    QImage picture(QBExpandableCard* card) const
    {
        const QRect area(card->mapTo(view.get(), QPoint(-12, -8)), QSize(card->width() + 24, kPictureHeight));
        const qreal scale = view->devicePixelRatioF();
        QImage image(area.size() * scale, QImage::Format_ARGB32_Premultiplied);
        image.setDevicePixelRatio(scale);
        image.fill(QBTheme::paperBg());
        view->render(&image, QPoint(), QRegion(area), QWidget::DrawChildren | QWidget::DrawWindowBackground);
        return image;
    }

    // Opens or closes `card` with a click on its header and steps every frame of the ease, returning what
    // went wrong in any look from the click to the last frame.
    QStringList toggle(QBExpandableCard* card, bool opening, QList<QImage>* pictures = nullptr)
    {
        QStringList faults;
        const Look start = look(card);
        Look last = start;
        QString when = QStringLiteral("the click");
        const auto check = [&] {
            const Look now = look(card);
            const auto fault = [&](const QString& what) {
                faults.append(QStringLiteral("%1 %2, %3: %4")
                                  .arg(card->objectName(),
                                       opening ? QStringLiteral("opening") : QStringLiteral("closing"), when,
                                       what));
            };
            worstTitleStep = std::max(worstTitleStep, std::abs(now.title - last.title));
            worstChevronStep = std::max(worstChevronStep, std::abs(now.chevron - last.chevron));
            if (std::abs(now.title - last.title) > 1)
                fault(QStringLiteral("the title moved %1 px").arg(now.title - last.title));
            if (std::abs(now.chevron - last.chevron) > 1)
                fault(QStringLiteral("the chevron moved %1 px").arg(now.chevron - last.chevron));
            if (std::abs(now.title - start.title) > kPaddingTravel)
                fault(QStringLiteral("the title is %1 px from where it was").arg(now.title - start.title));
            if (now.cardTop != start.cardTop)
                fault(QStringLiteral("the card moved %1 px").arg(now.cardTop - start.cardTop));
            if (now.pageTop != start.pageTop)
                fault(QStringLiteral("the page moved %1 px").arg(now.pageTop - start.pageTop));
            if (!now.cardFits)
                fault(QStringLiteral("the card is %1 tall for %2 of content")
                          .arg(card->height())
                          .arg(wantedHeight(card)));
            if (!now.headerFits)
                fault(QStringLiteral("the header is stretched to %1 from %2")
                          .arg(card->header()->height())
                          .arg(wantedHeight(card->header())));
            last = now;
        };

        QTest::mouseClick(card->header(), Qt::LeftButton, {}, QPoint(card->header()->width() / 2, 6));
        check();
        QVariantAnimation* animation = card->revealAnimation();
        if (animation->state() != QAbstractAnimation::Running) {
            faults.append(card->objectName() + QStringLiteral(": the click started no ease"));
            return faults;
        }
        for (int turn = 0; turn < kTurnsPerFrame; ++turn) {
            when = QStringLiteral("turn %1 after the click").arg(turn + 1);
            QCoreApplication::processEvents();
            check();
        }
        for (int ms = int(kFrame.count()); animation->state() == QAbstractAnimation::Running;
             ms += int(kFrame.count())) {
            if (ms > 4 * QBExpandableCard::kRevealMs) {
                faults.append(card->objectName() + QStringLiteral(": the ease did not end"));
                break;
            }
            clock.advance(kFrame);
            when = QStringLiteral("frame at %1 ms").arg(ms);
            check();
            for (int turn = 0; turn < kTurnsPerFrame; ++turn) {
                when = QStringLiteral("frame at %1 ms, turn %2").arg(ms).arg(turn + 1);
                QCoreApplication::processEvents();
                check();
                // Where the event loop paints first after a frame.
                if (pictures && turn == 0)
                    pictures->append(picture(card));
            }
        }
        if (card->revealProgress() != (opening ? 1 : 0))
            faults.append(card->objectName() + QStringLiteral(": ended at %1").arg(card->revealProgress()));
        return faults;
    }

    // The frames of an ease one under another, for review.
    void saveSheet(const QList<QImage>& pictures, const QString& name) const
    {
        if (pictures.isEmpty())
            return;
        const qreal scale = pictures.first().devicePixelRatio();
        const int gap = 4;
        const QSize one = pictures.first().size();
        QImage sheet(one.width(), int(pictures.size()) * (one.height() + gap), QImage::Format_RGB32);
        sheet.fill(Qt::darkGray);
        QPainter painter(&sheet);
        for (qsizetype i = 0; i < pictures.size(); ++i) {
            QImage frame = pictures[i];
            frame.setDevicePixelRatio(1);
            painter.drawImage(QPoint(0, int(i) * (one.height() + gap)), frame);
        }
        painter.end();
        const QString folder = QStringLiteral(QB_UI_SCREENSHOT_DIR);
        ASSERT_TRUE(QDir().mkpath(folder));
        EXPECT_TRUE(sheet.save(QDir(folder).filePath(
            QStringLiteral("frames-%1-%2@%3x.png").arg(name).arg(view->width()).arg(int(scale)))));
    }

    AnimationClock clock;
    DashboardFixture fixture;
    std::unique_ptr<MainDashboardView> view;
    QScrollArea* scroll = nullptr;
    // The largest moves from one look to the next, for the report of a failure.
    int worstTitleStep = 0;
    int worstChevronStep = 0;
};

TEST_P(SettingsPageFramesTest, EveryCardHoldsItsHeaderStillOpeningAndClosing)
{
    const QList<QBExpandableCard*> cards = view->page()->findChildren<QBExpandableCard*>();
    ASSERT_EQ(cards.size(), 3 + qsizetype(LLMProviderOption::allCases().size()))
        << "every speech engine and every model";
    QStringList faults;
    for (QBExpandableCard* card : cards) {
        SCOPED_TRACE(card->objectName().toStdString());
        ASSERT_FALSE(card->isExpanded());
        // Scrolled up to near the top of the view, as far as the page goes; closing the card gives the page
        // back the height it had, so the scroll stays where it is.
        scroll->verticalScrollBar()->setValue(card->mapTo(scroll->widget(), QPoint()).y() - 40);
        turns(kTurnsPerFrame);
        // One card drawn frame by frame for review: an engine card.
        const bool drawn = card->objectName() == QStringLiteral("engineCard-openAIWhisper");
        QList<QImage> opening;
        QList<QImage> closing;
        const int closedHeight = card->height();
        faults += toggle(card, true, drawn ? &opening : nullptr);
        ASSERT_TRUE(card->isExpanded());
        const int openHeight = card->height();
        EXPECT_GT(openHeight, closedHeight);
        faults += toggle(card, false, drawn ? &closing : nullptr);
        EXPECT_EQ(card->height(), closedHeight);
        if (drawn) {
            saveSheet(opening, card->objectName() + QStringLiteral("-opening"));
            saveSheet(closing, card->objectName() + QStringLiteral("-closing"));
        }
    }
    EXPECT_TRUE(faults.isEmpty()) << faults.size() << " faults; the title moved up to " << worstTitleStep
                                  << " px from one look to the next, the chevron " << worstChevronStep
                                  << "; the first faults:\n"
                                  << faults.mid(0, 12).join(QLatin1Char('\n')).toStdString();
}

INSTANTIATE_TEST_SUITE_P(WindowSizesAndScales, SettingsPageFramesTest,
                         ::testing::Values(Window{{960, 680}, 1}, Window{{960, 680}, 2},
                                           Window{{1400, 900}, 1}, Window{{1400, 900}, 2}),
                         [](const ::testing::TestParamInfo<Window>& param) {
                             return "w" + std::to_string(param.param.size.width()) + "_scale" +
                                    std::to_string(int(param.param.scale));
                         });

} // namespace
