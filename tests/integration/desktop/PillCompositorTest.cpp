// The floating pill on a desktop without a compositing manager (the private X server as a bare window manager
// leaves it), and with one coming and going: the test takes the manager's selection itself, as a compositor
// does when it starts. What shows is read from the X server's own pixels of the screen.
#include "platform/linux/X11CompositorWatch.h"
#include "ui/pill/FloatingPillController.h"
#include "ui/pill/FloatingPillView.h"
#include "util/Scheduler.h"

#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QScreen>
#include <QTest>
#include <QWidget>
#include <gtest/gtest.h>

// Xlib last: its macros collide with Qt's names.
#include "platform/linux/XlibIncludes.h"

namespace {

constexpr int kWaitMs = 30000;
// The desktop behind the pill: a colour no part of the pill has.
constexpr unsigned long kDesktop = 0x2e7d32;
const QColor kDesktopColour(0x2e, 0x7d, 0x32);

// A second client of the display: the desktop's colour, the screen's pixels and the compositor's selection.
class Desktop {
public:
    Desktop() : m_display(XOpenDisplay(nullptr)) {}
    ~Desktop()
    {
        if (m_owner)
            XDestroyWindow(m_display, m_owner);
        XSetWindowBackground(m_display, DefaultRootWindow(m_display), BlackPixel(m_display, 0));
        XClearWindow(m_display, DefaultRootWindow(m_display));
        XCloseDisplay(m_display);
    }
    bool isOpen() const { return m_display != nullptr; }

    void paintDesktop()
    {
        XSetWindowBackground(m_display, DefaultRootWindow(m_display), kDesktop);
        XClearWindow(m_display, DefaultRootWindow(m_display));
        XSync(m_display, False);
    }
    // The window's pixels on the screen, as the X server has them.
    QImage pixelsOf(WId window)
    {
        XWindowAttributes attributes{};
        if (!XGetWindowAttributes(m_display, window, &attributes))
            return {};
        int x = 0;
        int y = 0;
        Window child = 0;
        XTranslateCoordinates(m_display, window, DefaultRootWindow(m_display), 0, 0, &x, &y, &child);
        XImage* shot =
            XGetImage(m_display, DefaultRootWindow(m_display), x, y, static_cast<unsigned>(attributes.width),
                      static_cast<unsigned>(attributes.height), AllPlanes, ZPixmap);
        if (!shot)
            return {};
        QImage image(attributes.width, attributes.height, QImage::Format_RGB32);
        for (int row = 0; row < attributes.height; ++row)
            for (int column = 0; column < attributes.width; ++column)
                image.setPixel(column, row, static_cast<QRgb>(XGetPixel(shot, column, row)) | 0xff000000u);
        XDestroyImage(shot);
        return image;
    }
    // A compositing manager starts: it owns _NET_WM_CM_S0 until its window goes.
    void takeCompositorSelection()
    {
        m_owner = XCreateSimpleWindow(m_display, DefaultRootWindow(m_display), 0, 0, 1, 1, 0, 0, 0);
        XSetSelectionOwner(m_display, XInternAtom(m_display, "_NET_WM_CM_S0", False), m_owner, CurrentTime);
        XSync(m_display, False);
    }
    void endCompositor()
    {
        XDestroyWindow(m_display, m_owner);
        m_owner = 0;
        XSync(m_display, False);
    }

private:
    Display* m_display;
    Window m_owner = 0;
};

// What the screen shows of the pill's window: whether everything outside the pill's shape is the desktop,
// and whether the edge just inside the shape is light (no dark fringe where soft edges met black).
struct PillOnScreen {
    bool desktopAround = true;
    bool desktopAnywhereAround = false;
    bool lightEdge = true;
    std::string firstFault;
};

PillOnScreen look(const QImage& image, const QRegion& shape, qreal scale)
{
    PillOnScreen seen;
    const auto inShape = [&](int x, int y) { return shape.contains(QPoint(int(x / scale), int(y / scale))); };
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor pixel = image.pixelColor(x, y);
            if (!inShape(x, y)) {
                const bool desktop = pixel == kDesktopColour;
                seen.desktopAnywhereAround = seen.desktopAnywhereAround || desktop;
                if (!desktop && seen.desktopAround) {
                    seen.desktopAround = false;
                    seen.firstFault += "not the desktop at " + std::to_string(x) + "," + std::to_string(y) +
                                       ": " + pixel.name().toStdString() + " ";
                }
                continue;
            }
            const bool edge =
                !inShape(x - 1, y) || !inShape(x + 1, y) || !inShape(x, y - 1) || !inShape(x, y + 1);
            if (edge && std::min({pixel.red(), pixel.green(), pixel.blue()}) < 180 && seen.lightEdge) {
                seen.lightEdge = false;
                seen.firstFault += "dark edge at " + std::to_string(x) + "," + std::to_string(y) + ": " +
                                   pixel.name().toStdString() + " ";
            }
        }
    }
    return seen;
}

} // namespace

TEST(PillOnTheScreen, WithoutACompositorOnlyThePillShowsAndWithOneTheWholeWindowIsBlended)
{
    Desktop screen;
    ASSERT_TRUE(screen.isOpen()) << "no X display";
    screen.paintDesktop();

    MainThreadScheduler scheduler;
    AudioLevelBus bus;
    QObject appState;
    X11CompositorWatch compositor; // outlives the pill, which stops it
    FloatingPillController pill(
        scheduler, [](QSizeF) { return std::optional<QPointF>(); }, bus);
    pill.followCompositor(compositor);
    pill.attach(&appState);
    pill.setPhase(PipelinePhase::listening({}, DictationMode::dictate), false);
    pill.setVisible(true);
    QWidget* panel = pill.panel();
    ASSERT_NE(panel, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(panel, kWaitMs));
    const qreal scale = panel->devicePixelRatioF();
    const QString shots = QStringLiteral(QB_SCREENSHOT_DIR);
    QDir().mkpath(shots);
    const QString suffix = QStringLiteral("-scale%1.png").arg(scale);

    // Whether, once drawn, only the pill shows on the desktop, its edge light; the picture is kept as `name`.
    QImage pixels;
    PillOnScreen seen;
    const auto onlyThePillShows = [&](const QString& name) {
        const bool shown = QTest::qWaitFor(
            [&] {
                pixels = screen.pixelsOf(panel->winId());
                seen = look(pixels, pill.pillView()->shapeRegion(), scale);
                return seen.desktopAround && seen.lightEdge;
            },
            kWaitMs);
        pixels.save(shots + QLatin1Char('/') + name + suffix);
        return shown;
    };

    // No compositor: the window is cut to the pill, whose edge is drawn light on the desktop.
    EXPECT_TRUE(onlyThePillShows(QStringLiteral("pill-no-compositor"))) << seen.firstFault;
    EXPECT_FALSE(pill.isComposited());

    // A compositing manager starts: the whole window goes to it to blend, so nothing is cut any more (and
    // on this server, which composites nothing, its transparent pixels show).
    screen.takeCompositorSelection();
    ASSERT_TRUE(QTest::qWaitFor([&] { return pill.isComposited(); }, kWaitMs))
        << "the pill did not learn of the compositor";
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            pixels = screen.pixelsOf(panel->winId());
            return !look(pixels, pill.pillView()->shapeRegion(), scale).desktopAnywhereAround;
        },
        kWaitMs))
        << "with a compositor the window is still cut to the pill";
    pixels.save(shots + QStringLiteral("/pill-compositor") + suffix);

    // It goes, and a phase of another shape is shown: cut to that shape.
    screen.endCompositor();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !pill.isComposited(); }, kWaitMs))
        << "the pill did not learn that the compositor went";
    pill.setPhase(PipelinePhase::polishing(QString()), false);
    EXPECT_TRUE(onlyThePillShows(QStringLiteral("pill-compositor-gone"))) << seen.firstFault;
    pill.setVisible(false);
}
