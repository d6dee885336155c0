#include "system/ContextInjector.h"

#include "system/PastePolicy.h"
#include "util/AppIdentity.h"
#include "util/Text.h"

#include <QGuiApplication>
#include <QObject>
#include <QScreen>
#include <array>

namespace {

const QString kUnknownAppName = QStringLiteral("Unknown");

// File managers: their file lists are not text inputs, so an unreadable focus there counts as none. The
// macOS name first, then the desktop-file ids and window classes of the Linux ones (lower case).
constexpr std::array<QStringView, 12> kFileManagerIds = {u"com.apple.finder",
                                                         u"org.gnome.nautilus",
                                                         u"nautilus",
                                                         u"org.kde.dolphin",
                                                         u"dolphin",
                                                         u"thunar",
                                                         u"org.xfce.thunar",
                                                         u"nemo",
                                                         u"caja",
                                                         u"pcmanfm",
                                                         u"pcmanfm-qt",
                                                         u"org.gnome.files"};

bool isFileManager(const QString& bundleID)
{
    const QString id = bundleID.toLower();
    for (QStringView candidate : kFileManagerIds) {
        if (id == candidate)
            return true;
    }
    return false;
}

// Whether the element's role rules out a text input; nullopt when its role is unknown.
std::optional<bool> rolePreventsTextInput(std::optional<ElementRole> role)
{
    if (!role)
        return std::nullopt;
    switch (*role) {
    case ElementRole::Desktop:
    case ElementRole::Button:
    case ElementRole::Image:
    case ElementRole::Toolbar:
        return true;
    case ElementRole::Other:
        break;
    }
    return false;
}

// Caret rectangles outside this height range come from elements that report the whole field or nothing.
constexpr int kMinCaretHeight = 4;
constexpr int kMaxCaretHeight = 140;
constexpr qreal kScreenMarginX = 8;
constexpr qreal kScreenMarginY = 12;

} // namespace

// The screens as the main thread last saw them. QScreen objects belong to the main thread and may be
// deleted there at any time, so the caret lookup on the pill's poll queue reads this copy instead.
class ContextInjector::ScreenCache {
public:
    ScreenCache()
    {
        if (!qGuiApp)
            return;
        QObject::connect(qGuiApp, &QGuiApplication::screenAdded, &m_context, [this] { refresh(); });
        QObject::connect(qGuiApp, &QGuiApplication::screenRemoved, &m_context, [this] { refresh(); });
        QObject::connect(qGuiApp, &QGuiApplication::primaryScreenChanged, &m_context, [this] { refresh(); });
        refresh();
    }

    QList<ScreenArea> screens() const
    {
        std::lock_guard lock(m_mutex);
        return m_screens;
    }

private:
    void refresh()
    {
        for (const QMetaObject::Connection& connection : std::as_const(m_screenConnections))
            QObject::disconnect(connection);
        m_screenConnections.clear();
        QList<ScreenArea> areas;
        QList<QScreen*> all = QGuiApplication::screens();
        if (QScreen* primary = QGuiApplication::primaryScreen(); primary && all.removeOne(primary))
            all.prepend(primary);
        for (QScreen* screen : all) {
            areas.append({QRectF(screen->geometry()), QRectF(screen->availableGeometry())});
            m_screenConnections.append(
                QObject::connect(screen, &QScreen::geometryChanged, &m_context, [this] { refresh(); }));
            m_screenConnections.append(QObject::connect(screen, &QScreen::availableGeometryChanged,
                                                        &m_context, [this] { refresh(); }));
        }
        std::lock_guard lock(m_mutex);
        m_screens = std::move(areas);
    }

    QObject m_context; // receives the signals; its end disconnects them
    QList<QMetaObject::Connection> m_screenConnections;
    mutable std::mutex m_mutex;
    QList<ScreenArea> m_screens;
};

ContextInjector::ContextInjector(Accessibility& accessibility, InputSynth& inputSynth, Clipboard& clipboard,
                                 Workspace& workspace, Scheduler& scheduler, SyntheticKeyLedger& ledger,
                                 ScreenLayoutProvider screens)
    : m_accessibility(accessibility), m_inputSynth(inputSynth), m_clipboard(clipboard),
      m_workspace(workspace), m_scheduler(scheduler), m_screens(std::move(screens)),
      m_pacerQueue(std::make_shared<SerialQueue>(AppIdentity::queueLabel(QStringLiteral("typewriter.pacer"))))
{
    m_inputSynth.setPostedKeyObserver(ledger.observer());
    if (!m_screens)
        m_screenCache = std::make_unique<ScreenCache>();
}

ContextInjector::~ContextInjector()
{
    stopLiveTyping(); // a tick types through this injector
    m_inputSynth.setPostedKeyObserver({});
}

ActiveScreenContext ContextInjector::captureCurrentContext()
{
    ActiveScreenContext context;
    const std::optional<FrontmostApplication> app = m_workspace.frontmostApplication();
    if (!app) {
        context.appName = kUnknownAppName;
        return context;
    }
    context.appName = app->name.isEmpty() ? kUnknownAppName : app->name;
    context.bundleID = app->bundleIdentifier;
    if (!isTrusted())
        return context;

    context.windowTitle = Text::graphemePrefix(app->windowTitle, kMaxWindowTitleLength);
    context.hasFocusedTextInput = !isFileManager(context.bundleID);

    const std::optional<FocusedElement> element = m_accessibility.focusedElement(app->processId);
    if (!element)
        return context;

    if (!element->isPassword) {
        if (const std::optional<QString> selected = m_accessibility.selectedText(app->processId))
            context.selectedText = Text::graphemePrefix(Text::trimmed(*selected), kMaxSelectedTextLength);
        if (context.selectedText.isEmpty()) {
            const std::optional<QString> value = m_accessibility.focusedValue(app->processId);
            if (value && !value->isEmpty())
                context.precedingText = Text::graphemeSuffix(*value, kPrecedingTextLength);
        }
    }
    // An unreadable role leaves the starting value.
    if (const std::optional<bool> prevents = rolePreventsTextInput(element->role))
        context.hasFocusedTextInput = !*prevents;
    return context;
}

bool ContextInjector::isAccessibilityTrusted(bool promptIfNeeded)
{
    return promptIfNeeded ? m_accessibility.requestTrust() : m_accessibility.isTrusted();
}

bool ContextInjector::isLikelyEditableFocusNow()
{
    // The rule of captureCurrentContext(), without reading the selection and the value it does not need.
    const std::optional<FrontmostApplication> app = m_workspace.frontmostApplication();
    if (!app || !isTrusted())
        return false;
    const std::optional<FocusedElement> element = m_accessibility.focusedElement(app->processId);
    const std::optional<bool> prevents = element ? rolePreventsTextInput(element->role) : std::nullopt;
    return prevents ? !*prevents : !isFileManager(app->bundleIdentifier);
}

QCoro::Task<bool> ContextInjector::isLikelyEditableFocusAsync()
{
    auto call = onTypingQueue([this] { return isLikelyEditableFocusNow(); });
    co_return co_await call;
}

QCoro::Task<std::optional<FrontmostApplication>> ContextInjector::frontmostApplicationAsync()
{
    auto call = onTypingQueue([this] { return frontmostApplication(); });
    co_return co_await call;
}

bool ContextInjector::isAllowedTarget(const QString& bundleID, const QString& appName)
{
    Q_UNUSED(bundleID);
    Q_UNUSED(appName);
    return true;
}

std::optional<FrontmostApplication> ContextInjector::frontmostApplication()
{
    return m_workspace.frontmostApplication();
}

bool ContextInjector::isTerminalFrontmost()
{
    const std::optional<FrontmostApplication> app = m_workspace.frontmostApplication();
    return app && PastePolicy::isTerminal(*app);
}

std::shared_ptr<KeyTarget> ContextInjector::targetFocusedWindow()
{
    auto target = std::make_shared<KeyTarget>();
    m_pacerQueue->async([this, target] {
        target->m_window = m_workspace.keyboardFocusWindow();
        target->m_application = m_workspace.frontmostApplication();
        target->m_terminal = target->m_application && PastePolicy::isTerminal(*target->m_application);
    });
    return target;
}

bool ContextInjector::keysReachTarget(KeyTarget* target)
{
    if (!target)
        return true;
    if (target->m_lost)
        return false;
    bool inTarget = false;
    if (target->m_window != 0) {
        inTarget = m_workspace.keyboardFocusWindow() == target->m_window;
    } else if (const std::optional<FrontmostApplication>& was = target->m_application) {
        const std::optional<FrontmostApplication> now = m_workspace.frontmostApplication();
        inTarget = now && now->processId == was->processId &&
                   now->bundleIdentifier == was->bundleIdentifier && now->name == was->name;
    }
    if (!inTarget) {
        target->m_lost = true;
        qInfo("The keyboard focus left the window being typed into: no more keys go to it");
    }
    return inTarget;
}

std::optional<QPointF> ContextInjector::focusedCaretOrigin(QSizeF pillSize)
{
    if (!isTrusted())
        return std::nullopt;
    const std::optional<FrontmostApplication> app = m_workspace.frontmostApplication();
    if (!app)
        return std::nullopt;
    const std::optional<QRect> caret = m_accessibility.caretRect(app->processId);
    if (!caret)
        return std::nullopt;
    return pillOriginBelowCaret(*caret, pillSize, screens());
}

ContextInjector::CaretOriginProvider ContextInjector::caretOriginProvider()
{
    return [this](QSizeF pillSize) { return focusedCaretOrigin(pillSize); };
}

std::optional<QPointF> ContextInjector::pillOriginBelowCaret(const QRect& caret, QSizeF pillSize,
                                                             const QList<ScreenArea>& screens)
{
    if (caret.height() < kMinCaretHeight || caret.height() > kMaxCaretHeight ||
        caret.topLeft() == QPoint(0, 0))
        return std::nullopt;
    if (screens.isEmpty())
        return std::nullopt;
    const QRectF caretF(caret);
    const qreal w = pillSize.width();
    const qreal h = pillSize.height();
    qreal x = caretF.center().x() - w * 0.5;
    qreal y = caretF.bottom() + kPillCaretGap;

    // The screen holding the panel's bottom-left corner (its origin in the bottom-up coordinates the
    // placement rule was made for), else the primary one, which is listed first.
    const QPointF origin(x, y + h);
    const ScreenArea* screen = &screens.first();
    for (const ScreenArea& candidate : screens) {
        if (candidate.geometry.contains(origin)) {
            screen = &candidate;
            break;
        }
    }
    const QRectF& area = screen->availableGeometry;
    x = std::max(area.left() + kScreenMarginX, std::min(x, area.right() - w - kScreenMarginX));
    y = std::max(area.top() + kScreenMarginY, std::min(y, area.bottom() - h - kScreenMarginY));
    return QPointF(x, y);
}

std::optional<QString> ContextInjector::readCurrentFocusedValue()
{
    if (!isTrusted())
        return std::nullopt;
    const std::optional<FrontmostApplication> app = m_workspace.frontmostApplication();
    if (!app)
        return std::nullopt;
    const std::optional<FocusedElement> element = m_accessibility.focusedElement(app->processId);
    if (!element || element->isPassword)
        return std::nullopt;
    return m_accessibility.focusedValue(app->processId);
}

QCoro::Task<std::optional<QString>> ContextInjector::readCurrentFocusedValueAsync()
{
    auto call = onTypingQueue([this] { return readCurrentFocusedValue(); });
    co_return co_await call;
}

QList<ContextInjector::ScreenArea> ContextInjector::screens() const
{
    if (m_screens)
        return m_screens();
    return m_screenCache ? m_screenCache->screens() : QList<ScreenArea>{};
}
