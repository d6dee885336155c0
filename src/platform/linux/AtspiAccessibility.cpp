#include "platform/linux/AtspiAccessibility.h"

#include "platform/linux/X11PrivateDisplay.h"

#include "util/AppIdentity.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QObject>
#include <QRectF>
#include <QScreen>
#include <QVariantMap>
#include <algorithm>
#include <functional>

#include <atspi/atspi-constants.h>

#include "platform/linux/XlibIncludes.h"

namespace {

// What one unresponsive application may cost a caller: each call waits at most kCallTimeoutMs (the design's
// messaging time-out), a whole query at most kQueryBudgetMs.
constexpr int kCallTimeoutMs = 35;
constexpr qint64 kQueryBudgetMs = 250;
// The session bus and the bus launcher are local daemons, not applications.
constexpr int kSessionCallTimeoutMs = 500;
// Bounds of the walk to the focused object of a large window.
constexpr int kMaxVisitedObjects = 600;
constexpr qsizetype kMaxChildren = 400;
// The longest value or selection read: the callers look at the text near the caret.
constexpr int kMaxTextCharacters = 200000;
// Process ids of bus names are kept for the bus's life; a new name is a new connection.
constexpr qsizetype kMaxKnownNames = 512;
// The last focused object of so many processes is remembered.
constexpr qsizetype kMaxRememberedFocus = 64;

const QString kRegistryService = QStringLiteral("org.a11y.atspi.Registry");
const QString kRootPath = QStringLiteral("/org/a11y/atspi/accessible/root");
const QString kAccessible = QStringLiteral("org.a11y.atspi.Accessible");
const QString kText = QStringLiteral("org.a11y.atspi.Text");
const QString kComponent = QStringLiteral("org.a11y.atspi.Component");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");
const QString kLauncherService = QStringLiteral("org.a11y.Bus");
const QString kLauncherPath = QStringLiteral("/org/a11y/bus");
const QString kStatus = QStringLiteral("org.a11y.Status");
const QString kIsEnabled = QStringLiteral("IsEnabled");

bool hasState(const QList<uint>& states, int state)
{
    const qsizetype word = state / 32;
    return word < states.size() && (states[word] & (1u << (state % 32)));
}

QList<uint> uintList(const QVariant& value)
{
    if (value.canConvert<QDBusArgument>())
        return qdbus_cast<QList<uint>>(value.value<QDBusArgument>());
    return value.value<QList<uint>>();
}

QList<AtspiAccessibility::Object> objectList(const QVariant& value)
{
    QList<AtspiAccessibility::Object> objects;
    if (!value.canConvert<QDBusArgument>())
        return objects;
    const QDBusArgument argument = value.value<QDBusArgument>();
    if (argument.currentType() != QDBusArgument::ArrayType)
        return objects;
    argument.beginArray();
    while (!argument.atEnd() && objects.size() < kMaxChildren) {
        AtspiAccessibility::Object object;
        argument.beginStructure();
        argument >> object.service >> object.path;
        argument.endStructure();
        objects.append(object);
    }
    return objects;
}

// An extents reply: four integers, as out-arguments or as one structure.
std::optional<QRect> extents(const QList<QVariant>& arguments)
{
    int values[4] = {};
    if (arguments.size() == 4) {
        for (int i = 0; i < 4; ++i)
            values[i] = arguments[i].toInt();
    } else if (arguments.size() == 1 && arguments[0].canConvert<QDBusArgument>()) {
        const QDBusArgument argument = arguments[0].value<QDBusArgument>();
        argument.beginStructure();
        argument >> values[0] >> values[1] >> values[2] >> values[3];
        argument.endStructure();
    } else {
        return std::nullopt;
    }
    const QRect rect(values[0], values[1], values[2], values[3]);
    // Toolkits answer an offset they cannot place with zeros or large negative numbers.
    if (rect.height() <= 0 || rect.width() < 0 || rect.x() < -100000 || rect.y() < -100000 ||
        (rect.x() == 0 && rect.y() == 0 && rect.width() == 0))
        return std::nullopt;
    return rect;
}

ElementRole elementRole(quint32 role)
{
    switch (role) {
    case ATSPI_ROLE_DESKTOP_FRAME:
        return ElementRole::Desktop;
    case ATSPI_ROLE_PUSH_BUTTON:
    case ATSPI_ROLE_PUSH_BUTTON_MENU:
        return ElementRole::Button;
    case ATSPI_ROLE_IMAGE:
    case ATSPI_ROLE_ICON:
        return ElementRole::Image;
    case ATSPI_ROLE_TOOL_BAR:
        return ElementRole::Toolbar;
    default:
        return ElementRole::Other;
    }
}

// Known without asking anyone, so the constructor can tell at once.
QString waylandProblem()
{
    if (qEnvironmentVariable("XDG_SESSION_TYPE") == QLatin1String("wayland") ||
        !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        return QStringLiteral("当前是 Wayland 会话，Quorbell 无法在其中模拟按键或读取其他应用的输入框。"
                              "请在登录界面选择 X11（Xorg）会话。");
    }
    return {};
}

QString x11Problem(const QByteArray& displayName)
{
    const std::unique_ptr<X11PrivateDisplay> connection = X11PrivateDisplay::open(displayName, nullptr);
    if (!connection)
        return QStringLiteral("无法连接 X11 显示服务器，Quorbell 需要 X11 桌面会话。");
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    if (!XTestQueryExtension(connection->display(), &eventBase, &errorBase, &major, &minor))
        return QStringLiteral("X 服务器没有启用 XTEST 扩展，Quorbell 无法模拟按键。");
    return {};
}

const QString kNoBusProblem =
    QStringLiteral("找不到辅助功能总线（AT-SPI），请安装 at-spi2-core 并重新登录桌面会话。");

// Receives the bus launcher's PropertiesChanged signal on the thread it lives on.
class StatusWatcher : public QObject {
    Q_OBJECT
public:
    explicit StatusWatcher(std::function<void(const QDBusMessage&)> changed) : m_changed(std::move(changed))
    {
    }

public Q_SLOTS:
    void propertiesChanged(const QDBusMessage& message) { m_changed(message); }

private:
    std::function<void(const QDBusMessage&)> m_changed;
};

} // namespace

// One query's calls, all under one time budget.
class AtspiAccessibility::Query {
public:
    Query(const Bus& bus, std::atomic<quint64>& calls)
        : m_bus(bus.connection), m_generation(bus.generation), m_calls(calls)
    {
        m_clock.start();
    }

    // Which connection of the backend this query uses; what is learnt on an older one is not kept.
    quint64 generation() const { return m_generation; }

    std::optional<QList<QVariant>> call(const QString& service, const QString& path, const QString& interface,
                                        const QString& method, const QList<QVariant>& arguments = {})
    {
        const qint64 remaining = kQueryBudgetMs - m_clock.elapsed();
        if (remaining <= 0)
            return std::nullopt;
        QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
        message.setArguments(arguments);
        ++m_calls;
        const QDBusMessage reply =
            m_bus.call(message, QDBus::Block, static_cast<int>(std::min<qint64>(kCallTimeoutMs, remaining)));
        if (reply.type() != QDBusMessage::ReplyMessage)
            return std::nullopt;
        return reply.arguments();
    }

    std::optional<QVariant> call1(const Object& object, const QString& interface, const QString& method,
                                  const QList<QVariant>& arguments = {})
    {
        const auto reply = call(object.service, object.path.path(), interface, method, arguments);
        if (!reply || reply->isEmpty())
            return std::nullopt;
        return reply->first();
    }

    std::optional<QVariant> property(const Object& object, const QString& interface, const QString& name)
    {
        const auto value = call1(object, kProperties, QStringLiteral("Get"), {interface, name});
        if (!value)
            return std::nullopt;
        return value->value<QDBusVariant>().variant();
    }

    std::optional<QList<uint>> states(const Object& object)
    {
        const auto value = call1(object, kAccessible, QStringLiteral("GetState"));
        if (!value)
            return std::nullopt;
        return uintList(*value);
    }

    QList<Object> children(const Object& object)
    {
        const auto value = call1(object, kAccessible, QStringLiteral("GetChildren"));
        return value ? objectList(*value) : QList<Object>();
    }

    std::optional<QString> text(const Object& object, int start, int end)
    {
        const auto value = call1(object, kText, QStringLiteral("GetText"), {start, end});
        if (!value || !value->canConvert<QString>())
            return std::nullopt;
        return value->toString();
    }

    // The first selection's [start, end), or nothing selected.
    std::optional<std::pair<int, int>> selection(const Object& object)
    {
        const auto count = call1(object, kText, QStringLiteral("GetNSelections"));
        if (!count)
            return std::nullopt;
        if (count->toInt() <= 0)
            return std::pair{0, 0};
        const auto range =
            call(object.service, object.path.path(), kText, QStringLiteral("GetSelection"), {0});
        if (!range || range->size() != 2)
            return std::nullopt;
        const int start = range->at(0).toInt();
        const int end = range->at(1).toInt();
        return std::pair{std::min(start, end), std::max(start, end)};
    }

    // The focus at `object`, which has the focused state among `states`; its role stays unknown when it
    // cannot be read.
    Focus focus(const Object& object, const QList<uint>& states)
    {
        const auto role = call1(object, kAccessible, QStringLiteral("GetRole"));
        return Focus{object, role ? std::optional<quint32>(role->toUInt()) : std::nullopt,
                     hasState(states, ATSPI_STATE_EDITABLE)};
    }

    bool expired() const { return m_clock.elapsed() >= kQueryBudgetMs; }

private:
    QDBusConnection m_bus;
    quint64 m_generation;
    std::atomic<quint64>& m_calls;
    QElapsedTimer m_clock;
};

AtspiAccessibility::AtspiAccessibility(const QByteArray& displayName)
    : m_displayName(displayName), m_x11Problem(waylandProblem()), m_x11Checked(!m_x11Problem.isEmpty()),
      // Unique among the process's bus connections: a name is one connection.
      m_connectionPrefix(QStringLiteral("quorbell-atspi-%1").arg(reinterpret_cast<quintptr>(this), 0, 16)),
      m_watcher(
          std::make_unique<StatusWatcher>([this](const QDBusMessage& message) { statusChanged(message); })),
      m_trustQueue(AppIdentity::queueLabel(QStringLiteral("atspi.trust")))
{
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        m_devicePixelRatio = screen->devicePixelRatio();
    m_trustQueue.async([this] { refreshOnQueue(); });
}

AtspiAccessibility::~AtspiAccessibility()
{
    m_trustQueue.stop();
    m_watcher.reset();
    QString busName;
    {
        std::lock_guard lock(m_mutex);
        busName = m_busName;
    }
    if (!busName.isEmpty())
        QDBusConnection::disconnectFromBus(busName);
}

bool AtspiAccessibility::isTrusted()
{
    return m_trusted.load();
}

QString AtspiAccessibility::untrustedReason()
{
    std::lock_guard lock(m_trustMutex);
    if (!m_x11Problem.isEmpty())
        return m_x11Problem;
    return m_busState == BusState::Unreachable ? kNoBusProblem : QString();
}

bool AtspiAccessibility::refreshTrust()
{
    m_trustQueue.sync([this] { refreshOnQueue(); });
    return isTrusted();
}

bool AtspiAccessibility::requestTrust()
{
    m_trustQueue.sync([this] {
        refreshOnQueue();
        {
            std::lock_guard lock(m_trustMutex);
            if (!m_x11Problem.isEmpty() || m_busState == BusState::Enabled)
                return;
        }
        QDBusConnection session = QDBusConnection::sessionBus();
        if (!session.isConnected())
            return;
        QDBusMessage message = QDBusMessage::createMethodCall(kLauncherService, kLauncherPath, kProperties,
                                                              QStringLiteral("Set"));
        message.setArguments({kStatus, kIsEnabled, QVariant::fromValue(QDBusVariant(true))});
        session.call(message, QDBus::Block, kSessionCallTimeoutMs);
        // Read back rather than trust the notification: a launcher may refuse or send none.
        refreshOnQueue();
    });
    return isTrusted();
}

void AtspiAccessibility::refreshOnQueue()
{
    bool checked = false;
    {
        std::lock_guard lock(m_trustMutex);
        checked = m_x11Checked;
    }
    if (!checked) {
        // The X server does not change under a running session: asked once.
        const QString problem = x11Problem(m_displayName);
        std::lock_guard lock(m_trustMutex);
        m_x11Problem = problem;
        m_x11Checked = true;
        m_trusted = m_x11Problem.isEmpty() && m_busState == BusState::Enabled;
    }
    {
        std::lock_guard lock(m_trustMutex);
        if (!m_x11Problem.isEmpty())
            return;
    }
    QDBusConnection session = QDBusConnection::sessionBus();
    // Subscribed before the first answer, so no change can fall between the two. Any sender: naming the
    // launcher's well-known name would make QtDBus look up its owner, a call to wait on.
    if (!m_subscribed && session.isConnected()) {
        m_subscribed =
            session.connect(QString(), kLauncherPath, kProperties, QStringLiteral("PropertiesChanged"),
                            {kStatus}, QString(), m_watcher.get(), SLOT(propertiesChanged(QDBusMessage)));
    }
    quint64 serial = 0;
    {
        std::lock_guard lock(m_trustMutex);
        serial = m_statusSerial;
    }
    const std::optional<bool> enabled = busEnabled();
    setBusState(!enabled ? BusState::Unreachable : *enabled ? BusState::Enabled : BusState::Disabled, serial);
}

std::optional<bool> AtspiAccessibility::busEnabled()
{
    QDBusConnection session = QDBusConnection::sessionBus();
    if (!session.isConnected())
        return std::nullopt;
    QDBusMessage message =
        QDBusMessage::createMethodCall(kLauncherService, kLauncherPath, kProperties, QStringLiteral("Get"));
    message.setArguments({kStatus, kIsEnabled});
    const QDBusMessage reply = session.call(message, QDBus::Block, kSessionCallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return std::nullopt;
    return reply.arguments().first().value<QDBusVariant>().variant().toBool();
}

void AtspiAccessibility::statusChanged(const QDBusMessage& message)
{
    const QList<QVariant> arguments = message.arguments();
    if (arguments.size() < 3 || arguments[0].toString() != kStatus)
        return;
    const QVariantMap changed = qdbus_cast<QVariantMap>(arguments[1]);
    if (const auto value = changed.constFind(kIsEnabled); value != changed.constEnd()) {
        setBusState(value->toBool() ? BusState::Enabled : BusState::Disabled);
        return;
    }
    // Changed without its value: ask for it, off this thread.
    if (qdbus_cast<QStringList>(arguments[2]).contains(kIsEnabled))
        m_trustQueue.async([this] { refreshOnQueue(); });
}

void AtspiAccessibility::setBusState(BusState state, std::optional<quint64> onlyIfSerial)
{
    std::lock_guard lock(m_trustMutex);
    if (onlyIfSerial) {
        // A notification that arrived while the answer was on its way is the newer news.
        if (*onlyIfSerial != m_statusSerial)
            return;
    } else {
        ++m_statusSerial;
    }
    m_busState = state;
    m_trusted = m_x11Checked && m_x11Problem.isEmpty() && m_busState == BusState::Enabled;
}

std::optional<AtspiAccessibility::Bus> AtspiAccessibility::accessibilityBus()
{
    {
        std::lock_guard lock(m_mutex);
        if (m_bus && m_bus->isConnected())
            return Bus{*m_bus, m_busGeneration};
    }
    // Set up without the lock: the launcher and the bus are other processes. Threads that race here each
    // connect, and the first connection kept wins.
    QString address = qEnvironmentVariable("AT_SPI_BUS_ADDRESS");
    if (address.isEmpty()) {
        QDBusConnection session = QDBusConnection::sessionBus();
        if (!session.isConnected())
            return std::nullopt;
        const QDBusMessage message = QDBusMessage::createMethodCall(
            kLauncherService, kLauncherPath, kLauncherService, QStringLiteral("GetAddress"));
        const QDBusMessage reply = session.call(message, QDBus::Block, kSessionCallTimeoutMs);
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
            return std::nullopt;
        address = reply.arguments().first().toString();
    }
    const QString name = QStringLiteral("%1-%2").arg(m_connectionPrefix).arg(++m_connectionCount);
    const QDBusConnection connection = QDBusConnection::connectToBus(address, name);
    if (!connection.isConnected()) {
        QDBusConnection::disconnectFromBus(name);
        return std::nullopt;
    }
    std::optional<Bus> kept;
    QString unused;
    {
        std::lock_guard lock(m_mutex);
        if (m_bus && m_bus->isConnected()) {
            kept = Bus{*m_bus, m_busGeneration};
            unused = name;
        } else {
            unused = m_busName; // the broken one, if any
            m_bus = connection;
            m_busName = name;
            ++m_busGeneration;
            // Bus names and objects belong to the bus they were seen on.
            m_processIds.clear();
            m_lastFocus.clear();
            kept = Bus{connection, m_busGeneration};
        }
    }
    if (!unused.isEmpty())
        QDBusConnection::disconnectFromBus(unused);
    return kept;
}

std::optional<qint64> AtspiAccessibility::processIdOf(Query& query, const QString& service)
{
    {
        std::lock_guard lock(m_mutex);
        const auto known = m_processIds.constFind(service);
        if (query.generation() == m_busGeneration && known != m_processIds.constEnd())
            return *known;
    }
    const auto reply = query.call(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetConnectionUnixProcessID"), {service});
    if (!reply || reply->isEmpty())
        return std::nullopt;
    const qint64 processId = reply->first().toLongLong();
    std::lock_guard lock(m_mutex);
    if (query.generation() == m_busGeneration) {
        if (m_processIds.size() >= kMaxKnownNames)
            m_processIds.clear();
        m_processIds.insert(service, processId);
    }
    return processId;
}

std::optional<AtspiAccessibility::Focus> AtspiAccessibility::findFocus(Query& query, qint64 processId)
{
    std::optional<Object> remembered;
    {
        std::lock_guard lock(m_mutex);
        const auto last = m_lastFocus.constFind(processId);
        if (query.generation() == m_busGeneration && last != m_lastFocus.constEnd())
            remembered = *last;
    }
    // Successive queries of one dictation nearly always find the focus where it was.
    if (remembered) {
        if (std::optional<Focus> focus = stillFocused(query, *remembered, processId))
            return focus;
    }
    std::optional<Focus> focus = walkToFocus(query, processId);
    std::lock_guard lock(m_mutex);
    if (query.generation() == m_busGeneration) {
        if (!focus) {
            m_lastFocus.remove(processId);
        } else {
            if (m_lastFocus.size() >= kMaxRememberedFocus && !m_lastFocus.contains(processId))
                m_lastFocus.clear();
            m_lastFocus.insert(processId, focus->object);
        }
    }
    return focus;
}

std::optional<AtspiAccessibility::Focus> AtspiAccessibility::stillFocused(Query& query, const Object& object,
                                                                          qint64 processId)
{
    if (processIdOf(query, object.service) != processId)
        return std::nullopt;
    const auto states = query.states(object);
    if (!states || !hasState(*states, ATSPI_STATE_FOCUSED) || hasState(*states, ATSPI_STATE_DEFUNCT))
        return std::nullopt;
    return query.focus(object, *states);
}

std::optional<AtspiAccessibility::Focus> AtspiAccessibility::walkToFocus(Query& query, qint64 processId)
{
    const QList<Object> applications = query.children({kRegistryService, QDBusObjectPath(kRootPath)});
    for (const Object& application : applications) {
        if (processIdOf(query, application.service) != processId)
            continue;
        // The active window first: that is where the keyboard focus is.
        QList<Object> windows = query.children(application);
        std::stable_partition(windows.begin(), windows.end(), [&](const Object& window) {
            const auto states = query.states(window);
            return states && hasState(*states, ATSPI_STATE_ACTIVE);
        });
        int visited = 0;
        for (const Object& window : windows) {
            QList<Object> pending{window};
            while (!pending.isEmpty() && visited < kMaxVisitedObjects && !query.expired()) {
                const Object object = pending.takeLast();
                ++visited;
                const auto states = query.states(object);
                if (!states)
                    continue;
                if (hasState(*states, ATSPI_STATE_FOCUSED))
                    return query.focus(object, *states);
                // Hidden parts cannot hold the focus; long lists that manage their items report the focus
                // on themselves.
                if ((object.path != window.path && !hasState(*states, ATSPI_STATE_SHOWING)) ||
                    hasState(*states, ATSPI_STATE_MANAGES_DESCENDANTS))
                    continue;
                const QList<Object> children = query.children(object);
                for (auto it = children.rbegin(); it != children.rend(); ++it)
                    pending.append(*it);
            }
        }
    }
    return std::nullopt;
}

bool AtspiAccessibility::Focus::mayBePassword() const
{
    return !role || *role == ATSPI_ROLE_PASSWORD_TEXT;
}

template <typename T, typename Read>
std::optional<T> AtspiAccessibility::readFocus(qint64 processId, Read read)
{
    if (processId <= 0 || !isTrusted())
        return std::nullopt;
    const std::optional<Bus> bus = accessibilityBus();
    if (!bus)
        return std::nullopt;
    Query query(*bus, m_busCalls);
    const std::optional<Focus> focus = findFocus(query, processId);
    if (!focus)
        return std::nullopt;
    return read(query, *focus);
}

std::optional<FocusedElement> AtspiAccessibility::focusedElement(qint64 processId)
{
    return readFocus<FocusedElement>(
        processId, [this](Query& query, const Focus& focus) -> std::optional<FocusedElement> {
            FocusedElement element;
            element.role = focus.role ? std::optional(elementRole(*focus.role)) : std::nullopt;
            element.isPassword = focus.role == ATSPI_ROLE_PASSWORD_TEXT;
            element.isEditableText = focus.editable;
            const auto roleName = query.call1(focus.object, kAccessible, QStringLiteral("GetRoleName"));
            element.roleName = roleName     ? roleName->toString()
                               : focus.role ? QStringLiteral("role %1").arg(*focus.role)
                                            : QStringLiteral("unknown role");
            return element;
        });
}

std::optional<QString> AtspiAccessibility::selectedText(qint64 processId)
{
    return readFocus<QString>(processId, [this](Query& query, const Focus& focus) -> std::optional<QString> {
        if (focus.mayBePassword())
            return std::nullopt;
        const auto selection = query.selection(focus.object);
        if (!selection)
            return std::nullopt;
        if (selection->first == selection->second)
            return QString();
        return query.text(focus.object, selection->first,
                          std::min(selection->second, selection->first + kMaxTextCharacters));
    });
}

std::optional<QString> AtspiAccessibility::focusedValue(qint64 processId)
{
    return readFocus<QString>(processId, [this](Query& query, const Focus& focus) -> std::optional<QString> {
        if (focus.mayBePassword())
            return std::nullopt;
        const auto count = query.property(focus.object, kText, QStringLiteral("CharacterCount"));
        if (!count)
            return std::nullopt;
        // A huge document is read from its end, the part next to a caret that typing left there.
        const int end = count->toInt();
        return query.text(focus.object, std::max(0, end - kMaxTextCharacters), end);
    });
}

std::optional<QRect> AtspiAccessibility::caretRect(qint64 processId)
{
    return readFocus<QRect>(processId, [this](Query& query, const Focus& focus) -> std::optional<QRect> {
        const Object& object = focus.object;
        const QVariant screen = ATSPI_COORD_TYPE_SCREEN;
        std::optional<QRect> rect;
        // The selection's bounds where there is one, else the caret's.
        if (const auto selection = query.selection(object);
            selection && selection->first != selection->second) {
            rect = extents(query
                               .call(object.service, object.path.path(), kText,
                                     QStringLiteral("GetRangeExtents"),
                                     {selection->first, selection->second, screen})
                               .value_or(QList<QVariant>()));
        }
        if (!rect) {
            const auto caret = query.property(object, kText, QStringLiteral("CaretOffset"));
            if (!caret || caret->toInt() < 0)
                return std::nullopt;
            const int offset = caret->toInt();
            rect = extents(query
                               .call(object.service, object.path.path(), kText,
                                     QStringLiteral("GetCharacterExtents"), {offset, screen})
                               .value_or(QList<QVariant>()));
            // At the end of the text there is no character under the caret: it sits right of the last one.
            if (!rect && offset > 0) {
                if (const auto previous =
                        extents(query
                                    .call(object.service, object.path.path(), kText,
                                          QStringLiteral("GetCharacterExtents"), {offset - 1, screen})
                                    .value_or(QList<QVariant>())))
                    rect = QRect(previous->right() + 1, previous->y(), 1, previous->height());
            }
            // An empty field: the caret is at its start.
            if (!rect && offset == 0) {
                if (const auto field = extents(query
                                                   .call(object.service, object.path.path(), kComponent,
                                                         QStringLiteral("GetExtents"), {screen})
                                                   .value_or(QList<QVariant>())))
                    rect = QRect(field->x(), field->y(), 1, field->height());
            }
        }
        if (!rect)
            return std::nullopt;
        // AT-SPI speaks in screen pixels; our windows are placed in logical ones.
        if (m_devicePixelRatio != 1.0) {
            const QRectF scaled(rect->x() / m_devicePixelRatio, rect->y() / m_devicePixelRatio,
                                rect->width() / m_devicePixelRatio, rect->height() / m_devicePixelRatio);
            rect = scaled.toRect();
        }
        return rect;
    });
}

#include "AtspiAccessibility.moc"
