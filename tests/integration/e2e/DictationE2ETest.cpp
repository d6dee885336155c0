// A whole dictation as a user makes it: the real quorbell binary on the private display, sound server and
// session bus, a target application with a focused field in another process, and the trigger key pressed
// through XTest from this (third) process. The transcription server and the language model are played by
// ScriptedHttpServer on 127.0.0.1, configured through config.json as a user would. The app runs with
// QUORBELL_TRACE=1; the measured dictations forward its timing line as figures.
#include "../desktop/TargetProcess.h"
#include "support/ScriptedHttpServer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <utility>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace {

constexpr int kWaitMs = 30000;
// How long the user speaks: the audio the dictation uploads, not a wait for anything.
constexpr int kSpeakingMs = 400;
// A pause between two dictations longer than the "blocks" microphone's two-second delivery.
constexpr int kBlockPauseMs = 2500;
// How long a finger keeps a key down in a tap.
constexpr int kTapMs = 60;

const QString kRawText = QStringLiteral("今天天气很好我们去公园散步吧");
const QString kPolishedText = QStringLiteral("今天天气很好，我们去公园散步吧。");
const QString kOldClipboard = QStringLiteral("旧的剪贴板内容");

// One X connection of this process, for the key presses and for finding the app's window.
class XKeyboard {
public:
    // Windows of other clients come and go while we walk them (the app's own start-up windows among them): a
    // window gone between two requests is an ordinary answer, never a reason for Xlib to end the test.
    XKeyboard() : m_display(XOpenDisplay(nullptr)), m_previousHandler(XSetErrorHandler(&ignoreError)) {}
    ~XKeyboard()
    {
        if (m_display)
            XCloseDisplay(m_display);
        XSetErrorHandler(m_previousHandler);
    }
    bool isOpen() const { return m_display != nullptr; }

    void press(KeySym keysym) { send(keysym, true); }
    void release(KeySym keysym) { send(keysym, false); }
    // A tap as fingers make it, with the key down for a moment.
    void tap(KeySym keysym)
    {
        press(keysym);
        QTest::qWait(kTapMs);
        release(keysym);
    }

    // Whether the keyboard focus is in a top-level window of the process.
    bool hasFocusIn(qint64 processId)
    {
        Window focus = 0;
        int revert = 0;
        XGetInputFocus(m_display, &focus, &revert);
        // Up to the top level, the child of the root window, which carries the process id.
        const Window rootWindow = DefaultRootWindow(m_display);
        while (focus != None && focus != PointerRoot && focus != rootWindow) {
            Window root = 0, parent = 0;
            Window* children = nullptr;
            unsigned int count = 0;
            if (!XQueryTree(m_display, focus, &root, &parent, &children, &count))
                return false;
            if (children)
                XFree(children);
            if (parent == rootWindow)
                return processOf(focus) == processId;
            focus = parent;
        }
        return false;
    }

    // Whether a top-level window of the process is mapped (the app maps its main window once it is up).
    bool hasViewableWindowOf(qint64 processId)
    {
        Window root = 0, parent = 0;
        Window* children = nullptr;
        unsigned int count = 0;
        if (!XQueryTree(m_display, DefaultRootWindow(m_display), &root, &parent, &children, &count))
            return false;
        bool found = false;
        for (unsigned int i = 0; i < count && !found; ++i) {
            XWindowAttributes attributes;
            if (!XGetWindowAttributes(m_display, children[i], &attributes) ||
                attributes.map_state != IsViewable)
                continue;
            found = processOf(children[i]) == processId;
        }
        if (children)
            XFree(children);
        return found;
    }

private:
    static int ignoreError(Display*, XErrorEvent*) { return 0; }

    // The process a top-level window belongs to (_NET_WM_PID); -1 when it does not say.
    qint64 processOf(Window window)
    {
        const Atom pidAtom = XInternAtom(m_display, "_NET_WM_PID", False);
        Atom type = 0;
        int format = 0;
        unsigned long items = 0, after = 0;
        unsigned char* data = nullptr;
        qint64 processId = -1;
        if (XGetWindowProperty(m_display, window, pidAtom, 0, 1, False, XA_CARDINAL, &type, &format, &items,
                               &after, &data) == Success &&
            data) {
            if (items == 1 && format == 32)
                processId = static_cast<qint64>(*reinterpret_cast<unsigned long*>(data));
            XFree(data);
        }
        return processId;
    }

    void send(KeySym keysym, bool down)
    {
        XTestFakeKeyEvent(m_display, XKeysymToKeycode(m_display, keysym), down ? True : False, CurrentTime);
        XSync(m_display, False);
    }

    Display* m_display;
    XErrorHandler m_previousHandler;
};

// Source outputs on the private sound server: the app's microphone streams.
int microphoneStreams()
{
    QProcess pactl;
    pactl.start(QStringLiteral("pactl"),
                {QStringLiteral("list"), QStringLiteral("short"), QStringLiteral("source-outputs")});
    if (!pactl.waitForFinished(5000))
        return -1;
    return static_cast<int>(pactl.readAllStandardOutput().count('\n'));
}

// Makes the source the sound server's default microphone.
bool setDefaultSource(const char* name)
{
    QProcess pactl;
    pactl.start(QStringLiteral("pactl"), {QStringLiteral("set-default-source"), QString::fromLatin1(name)});
    return pactl.waitForFinished(5000) && pactl.exitStatus() == QProcess::NormalExit && pactl.exitCode() == 0;
}

// The app's sounds on the private sound server. Each cue it plays (start, cancel, done) is a new sink input
// for a moment; `pactl subscribe` reports every one, however short, where a poll of the list could miss it.
// The microphone is a source output and the tone player's sink input lives for the whole session, so
// neither counts.
class SoundCues {
public:
    ~SoundCues()
    {
        m_subscriber.kill();
        m_subscriber.waitForFinished(2000);
    }

    // Subscribes, and waits until the subscription is seen to report: a client of our own connects and
    // leaves.
    bool start()
    {
        m_subscriber.start(QStringLiteral("pactl"), {QStringLiteral("subscribe")});
        if (!m_subscriber.waitForStarted(kWaitMs))
            return false;
        return QTest::qWaitFor(
            [&] {
                microphoneStreams();
                return count("' on client #") > 0;
            },
            kWaitMs);
    }

    // Cues started since the subscription.
    int played() { return count("Event 'new' on sink-input #"); }
    // Waits for a cue after the first `seen` ones.
    bool waitForCueAfter(int seen)
    {
        return QTest::qWaitFor([&] { return played() > seen; }, kWaitMs);
    }

    // Microphone streams opened since the subscription.
    int microphonesOpened() { return count("Event 'new' on source-output #"); }
    // Waits for a microphone opened after the first `seen`: the time on `clock` at which the sound server's
    // word of it came, in ms (< 0 when none came). Taken as the word arrives, not at the next look of a
    // poll, so the figure is the app's time and not the poll's.
    double waitForMicrophoneAfter(int seen, const QElapsedTimer& clock)
    {
        QEventLoop loop;
        double at = -1;
        const auto look = [&] {
            if (at < 0 && microphonesOpened() > seen) {
                at = static_cast<double>(clock.nsecsElapsed()) / 1e6;
                loop.quit();
            }
        };
        QObject::connect(&m_subscriber, &QProcess::readyReadStandardOutput, &loop, look);
        QTimer::singleShot(kWaitMs, &loop, &QEventLoop::quit);
        look();
        if (at < 0)
            loop.exec();
        return at;
    }

private:
    int count(const QByteArray& event)
    {
        m_events += m_subscriber.readAllStandardOutput();
        return static_cast<int>(m_events.count(event));
    }

    QProcess m_subscriber;
    QByteArray m_events;
};

qint64 residentKilobytes(qint64 processId)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(processId));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

void reportFigure(const char* name, double value, const char* unit)
{
    std::printf("E2E-FIGURE %s %.1f %s\n", name, value, unit);
    std::fflush(stdout);
}

QByteArray chatChunk(const QString& content)
{
    const QJsonObject delta{{QStringLiteral("content"), content}};
    const QJsonObject choice{{QStringLiteral("index"), 0}, {QStringLiteral("delta"), delta}};
    const QJsonObject chunk{{QStringLiteral("object"), QStringLiteral("chat.completion.chunk")},
                            {QStringLiteral("choices"), QJsonArray{choice}}};
    return "data: " + QJsonDocument(chunk).toJson(QJsonDocument::Compact) + "\n\n";
}

// Each figure of the app's QB-TRACE line ("name_ms=12.3"), with `suffix` put before "_ms".
void reportTraceFigures(const QByteArray& line, const QByteArray& suffix)
{
    const QByteArrayList fields = line.split(' ');
    for (qsizetype i = 1; i < fields.size(); ++i) {
        const QByteArrayList pair = fields[i].split('=');
        if (pair.size() != 2 || !pair[0].endsWith("_ms"))
            continue;
        const QByteArray name = pair[0].chopped(3) + suffix + "_ms";
        reportFigure(name.constData(), pair[1].toDouble(), "ms");
    }
}

enum class LanguageModel { answers, fails };
// The Qt line edit of TargetApp.cpp, or the GTK text view deep inside containers of GtkTarget.c.
enum class Target { qtLineEdit, gtkTextView };

class DictationEndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_home.isValid());
        ASSERT_TRUE(m_keyboard.isOpen()) << "no X display";
        ASSERT_EQ(microphoneStreams(), 0) << "the private sound server is not reachable or not idle";
        ASSERT_TRUE(m_cues.start()) << "the sound server's events cannot be followed";
        ASSERT_TRUE(m_server.listen(QHostAddress::LocalHost));
        m_server.setHandler([this](const ScriptedHttpServer::Request& request) {
            if (request.path.contains("/audio/transcriptions")) {
                ++m_transcriptions;
                if (m_transcriptionFails)
                    return ScriptedHttpServer::Reply::json(500, R"({"error":{"message":"overloaded"}})");
                return ScriptedHttpServer::Reply::json(
                    200, QJsonDocument(QJsonObject{{QStringLiteral("text"), kRawText}}).toJson());
            }
            if (request.path.contains("/chat/completions")) {
                ++m_completions;
                if (m_languageModel == LanguageModel::fails)
                    return ScriptedHttpServer::Reply::json(500, R"({"error":{"message":"overloaded"}})");
                return ScriptedHttpServer::Reply::sse(
                    {chatChunk(kPolishedText.left(6)), chatChunk(kPolishedText.mid(6)), "data: [DONE]\n\n"});
            }
            return ScriptedHttpServer::Reply::json(404, "{}");
        });
    }

    void TearDown() override
    {
        if (m_target)
            m_target->send("QUIT");
        m_target.reset();
        if (m_app.state() != QProcess::NotRunning) {
            m_app.terminate();
            if (!m_app.waitForFinished(5000)) {
                m_app.kill();
                m_app.waitForFinished(2000);
            }
        }
        const QByteArray log = appLog();
        // QB_E2E_APP_LOG=1 shows the log of passing runs too.
        if ((HasFailure() || qEnvironmentVariableIsSet("QB_E2E_APP_LOG")) && !log.isEmpty())
            std::fprintf(stderr, "--- quorbell's log ---\n%s\n", log.constData());
        if (std::exchange(m_otherMicrophone, false)) {
            EXPECT_TRUE(setDefaultSource("voice.monitor"));
        }
        // The next test starts from an idle sound server.
        (void)QTest::qWaitFor([] { return microphoneStreams() == 0; }, kWaitMs);
    }

    // The fixture speech model, installed where the app looks for a downloaded one; it hears the
    // microphone's 400 Hz tone as "你".
    bool installLocalModel()
    {
        const QString folder =
            QStringLiteral("data/Quorbell/Models/sherpa-onnx-sense-voice-zh-en-ja-ko-yue-2025-09-09/");
        const QDir fixtures(QStringLiteral(QB_FIXTURES_DIR "/sensevoice"));
        for (const char* name : {"model.onnx", "tokens.txt"}) {
            QFile source(fixtures.filePath(QString::fromLatin1(name)));
            if (!source.open(QIODevice::ReadOnly) ||
                !writeFile(folder + QString::fromLatin1(name), source.readAll()))
                return false;
        }
        return true;
    }

    QString path(const QString& relative) const { return m_home.filePath(relative); }

    bool writeFile(const QString& relative, const QByteArray& bytes)
    {
        QDir().mkpath(QFileInfo(path(relative)).absolutePath());
        QFile file(path(relative));
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
    }

    // Settings as a user leaves them after onboarding; starts quorbell and the target, which has the focus
    // and a text of its own on the clipboard.
    void startDictationSetup(const char* behavior, Target target = Target::qtLineEdit)
    {
        const QString base = m_server.baseUrl().toString(QUrl::StripTrailingSlash) + QStringLiteral("/v1");
        const QJsonObject config{
            {QStringLiteral("selectedProvider"), QStringLiteral("custom")},
            {QStringLiteral("baseURL"), base},
            {QStringLiteral("customBaseURL"), base},
            {QStringLiteral("modelName"), QStringLiteral("local-model")},
            {QStringLiteral("asrProvider"), QStringLiteral("openAIWhisper")},
            {QStringLiteral("openAIASRBaseURL"), base},
            {QStringLiteral("openAIASRModel"), QStringLiteral("local-whisper")},
            {QStringLiteral("enableFastBypassForShortPhrases"), false},
            {QStringLiteral("enableAutoMuteDuringDictation"), false},
            {QStringLiteral("enableAutoLearn"), false},
        };
        ASSERT_TRUE(writeFile(QStringLiteral("data/Quorbell/config.json"), QJsonDocument(config).toJson()));
        ASSERT_TRUE(writeFile(QStringLiteral("config/Quorbell/Quorbell.conf"),
                              QByteArray("[General]\nqb_trigger_key=rightControl\nqb_trigger_behavior=") +
                                  behavior + "\nqb_onboarding_done_v1=true\n"));

        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        environment.insert(QStringLiteral("QT_IM_MODULE"), QString());
        environment.insert(QStringLiteral("XMODIFIERS"), QString());
        environment.insert(QStringLiteral("XDG_SESSION_TYPE"), QStringLiteral("x11"));
        environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
        environment.remove(QStringLiteral("AT_SPI_BUS_ADDRESS"));

        QProcessEnvironment appEnvironment = environment;
        appEnvironment.insert(QStringLiteral("HOME"), path(QStringLiteral("home")));
        appEnvironment.insert(QStringLiteral("XDG_DATA_HOME"), path(QStringLiteral("data")));
        appEnvironment.insert(QStringLiteral("XDG_CONFIG_HOME"), path(QStringLiteral("config")));
        appEnvironment.insert(QStringLiteral("XDG_CACHE_HOME"), path(QStringLiteral("cache")));
        appEnvironment.insert(QStringLiteral("TMPDIR"), path(QStringLiteral("tmp")));
        appEnvironment.insert(QStringLiteral("QUORBELL_TRACE"), QStringLiteral("1"));
        // Its own single-instance socket, whatever else runs as this user.
        appEnvironment.insert(QStringLiteral("USER"),
                              QStringLiteral("qb-e2e-%1").arg(QCoreApplication::applicationPid()));
        for (const char* folder : {"home", "cache", "tmp"})
            QDir().mkpath(path(QString::fromLatin1(folder)));
        m_app.setProcessEnvironment(appEnvironment);
        m_app.setProgram(QStringLiteral(QB_APP_BINARY));
        m_app.start();
        ASSERT_TRUE(m_app.waitForStarted(kWaitMs));
        // Without a tray on this display the main window opens at start, after the key source is set up.
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                return m_keyboard.hasViewableWindowOf(m_app.processId()) ||
                       m_app.state() != QProcess::Running;
            },
            kWaitMs));
        ASSERT_EQ(m_app.state(), QProcess::Running) << m_app.readAllStandardError().constData();
        ASSERT_TRUE(m_keyboard.hasViewableWindowOf(m_app.processId()));
        // The window is activated once it is up, off the main thread: once it has the focus, that can no
        // longer take the focus from the target started next.
        ASSERT_TRUE(QTest::qWaitFor([&] { return m_keyboard.hasFocusIn(m_app.processId()); }, kWaitMs))
            << "the main window never took the focus";
        m_idleKilobytes = residentKilobytes(m_app.processId());

        if (target == Target::gtkTextView) {
            // GTK's own input method, as the Qt target has Qt's: no input-method daemon in between.
            environment.insert(QStringLiteral("GTK_IM_MODULE"), QStringLiteral("gtk-im-context-simple"));
            environment.insert(QStringLiteral("GDK_BACKEND"), QStringLiteral("x11"));
            environment.remove(QStringLiteral("NO_AT_BRIDGE"));
            m_target =
                std::make_unique<TargetProcess>(QStringList{}, environment, QStringLiteral(QB_GTK_TARGET));
        } else {
            m_target = std::make_unique<TargetProcess>(QStringList{QStringLiteral("lineedit")}, environment);
        }
        ASSERT_TRUE(m_target->start());
        ASSERT_TRUE(m_target->request("COPY " + kOldClipboard.toUtf8().toBase64(), "COPIED"));
    }

    // Presses the start key (as the behaviour wants it) and waits until the microphone is capturing and
    // the start cue has played; the time from the key to the capture, in ms. The microphone stays open for
    // a while after a dictation, so only the first one sees it open; the cue tells every start.
    double startSpeaking(bool hold)
    {
        const int cuesBefore = m_cues.played();
        const int microphonesBefore = m_cues.microphonesOpened();
        const bool alreadyOpen = microphoneStreams() > 0;
        QElapsedTimer timer;
        timer.start();
        if (hold)
            m_keyboard.press(XK_Control_R);
        else
            m_keyboard.tap(XK_Control_R);
        const double elapsed = alreadyOpen ? static_cast<double>(timer.nsecsElapsed()) / 1e6
                                           : m_cues.waitForMicrophoneAfter(microphonesBefore, timer);
        EXPECT_TRUE(elapsed >= 0 && microphoneStreams() > 0) << "the microphone never started";
        EXPECT_TRUE(m_cues.waitForCueAfter(cuesBefore)) << "no start cue: the dictation never started";
        return elapsed;
    }

    // Waits until the target's field holds `expected`; the time from the stop key, in ms (< 0 when it never
    // did).
    double stopAndWaitForText(bool hold, const QString& expected)
    {
        QTest::qWait(kSpeakingMs);
        QElapsedTimer timer;
        timer.start();
        if (hold)
            m_keyboard.release(XK_Control_R);
        else
            m_keyboard.tap(XK_Control_R);
        const QString text = m_target->waitForText(expected);
        const double elapsed = static_cast<double>(timer.nsecsElapsed()) / 1e6;
        EXPECT_EQ(text, expected);
        return text == expected ? elapsed : -1;
    }

    // The records in history.json now; none while there is no file.
    QJsonArray historyRecords()
    {
        QFile file(path(QStringLiteral("data/Quorbell/history.json")));
        if (!file.open(QIODevice::ReadOnly))
            return {};
        const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
        return document.isArray() ? document.array()
                                  : document.object().value(QStringLiteral("records")).toArray();
    }

    // The records in history.json, once it holds `count` of them.
    QJsonArray waitForHistory(qsizetype count)
    {
        QJsonArray records;
        (void)QTest::qWaitFor(
            [&] {
                records = historyRecords();
                return records.size() >= count;
            },
            kWaitMs);
        return records;
    }

    // Exactly one dictation reached the servers and the history, its text is in the field and the
    // clipboard holds the target's text again.
    void expectOneDictation(const QString& raw, const QString& polished)
    {
        // A failing server may be asked more than once; one that answers, exactly once.
        if (m_transcriptionFails)
            EXPECT_GE(m_transcriptions, 1);
        else
            EXPECT_EQ(m_transcriptions, 1);
        if (m_languageModel == LanguageModel::fails)
            EXPECT_GE(m_completions, 1);
        else
            EXPECT_EQ(m_completions, 1);
        const QJsonArray records = waitForHistory(1);
        ASSERT_EQ(records.size(), 1);
        EXPECT_EQ(recordText(records, 0, "rawTranscript"), raw);
        EXPECT_EQ(recordText(records, 0, "polishedText"), polished);
        expectClipboardRestored();
    }

    // Nothing of a dictation cancelled with Escape may be sent, typed or recorded. The cancel cue shows that
    // Escape was handled; the next dictation then lands alone: one request, one record, only its text.
    void cancelWithEscapeThenDictate(bool hold)
    {
        ASSERT_NO_FATAL_FAILURE(startDictationSetup(hold ? "holdToTalk" : "tapToggle"));
        startSpeaking(hold);
        QTest::qWait(kSpeakingMs);
        const int cuesBefore = m_cues.played();
        m_keyboard.tap(XK_Escape);
        ASSERT_TRUE(m_cues.waitForCueAfter(cuesBefore)) << "no cancel cue: Escape was not handled";
        if (hold)
            m_keyboard.release(XK_Control_R);
        EXPECT_EQ(m_transcriptions, 0) << "the cancelled dictation was sent";
        EXPECT_TRUE(historyRecords().isEmpty()) << "the cancelled dictation was recorded";
        EXPECT_EQ(m_target->waitForText(QString()), QString()) << "the cancelled dictation was typed";

        startSpeaking(hold);
        stopAndWaitForText(hold, kPolishedText);
        expectOneDictation(kRawText, kPolishedText);
    }

    void expectClipboardRestored()
    {
        QString clipboard;
        const bool restored = QTest::qWaitFor(
            [&] {
                const std::optional<QByteArrayList> words = m_target->request("CLIPBOARD", "CLIPBOARD");
                clipboard = words && !words->isEmpty()
                                ? QString::fromUtf8(QByteArray::fromBase64(words->at(0)))
                                : QString();
                return clipboard == kOldClipboard;
            },
            kWaitMs);
        EXPECT_TRUE(restored) << "clipboard holds " << clipboard.toStdString();
    }

    // What the app wrote to stderr so far.
    QByteArray appLog()
    {
        m_appLog += m_app.readAllStandardError();
        return m_appLog;
    }

    // The app's timing line of the one dictation made, once written (it waits for the target to take the
    // pasted text); empty when none came.
    QByteArray waitForTraceLine()
    {
        QByteArray line;
        (void)QTest::qWaitFor(
            [&] {
                for (const QByteArray& candidate : appLog().split('\n')) {
                    if (candidate.startsWith("QB-TRACE "))
                        line = candidate;
                }
                return !line.isEmpty();
            },
            kWaitMs);
        return line;
    }

    // The trace of a dictation that transcribed, recalled, streamed the model's answer and pasted it.
    void reportTrace(const QByteArray& suffix)
    {
        const QByteArray line = waitForTraceLine();
        for (const char* step :
             {"tail_end_ms=", "engine_final_ms=", "lexicon_recall_ms=", "first_token_ms=", "last_token_ms=",
              "paste_sent_ms=", "clipboard_requested_ms=", "main_thread_max_stall_ms="})
            EXPECT_TRUE(line.contains(step)) << step << " missing from: " << line.constData();
        reportTraceFigures(line, suffix);
    }

    static QString recordText(const QJsonArray& records, qsizetype index, const char* key)
    {
        return records.at(index).toObject().value(QLatin1String(key)).toString();
    }

    QTemporaryDir m_home;
    XKeyboard m_keyboard;
    SoundCues m_cues;
    MainThreadScheduler m_scheduler;
    ScriptedHttpServer m_server{m_scheduler};
    LanguageModel m_languageModel = LanguageModel::answers;
    bool m_transcriptionFails = false;
    bool m_otherMicrophone = false;
    int m_transcriptions = 0;
    int m_completions = 0;
    QProcess m_app;
    QByteArray m_appLog;
    std::unique_ptr<TargetProcess> m_target;
    qint64 m_idleKilobytes = -1;
};

TEST_F(DictationEndToEnd, TapToToggleTypesThePolishedTextAndKeepsTheClipboard)
{
    ASSERT_NO_FATAL_FAILURE(startDictationSetup("tapToggle"));
    startSpeaking(false);
    stopAndWaitForText(false, kPolishedText);
    expectOneDictation(kRawText, kPolishedText);
}

TEST_F(DictationEndToEnd, HoldToTalkTypesThePolishedTextAndKeepsTheClipboard)
{
    ASSERT_NO_FATAL_FAILURE(startDictationSetup("holdToTalk"));
    const double startMs = startSpeaking(true);
    const double stopMs = stopAndWaitForText(true, kPolishedText);
    expectOneDictation(kRawText, kPolishedText);

    reportFigure("start_key_to_capture_ms", startMs, "ms");
    reportFigure("stop_key_to_text_ms", stopMs, "ms");
    reportFigure("idle_rss_after_start_kb", static_cast<double>(m_idleKilobytes), "kB");
    reportTrace("");
}

TEST_F(DictationEndToEnd, HoldToTalkTypesThePolishedTextIntoADeepGtkTextView)
{
    ASSERT_NO_FATAL_FAILURE(startDictationSetup("holdToTalk", Target::gtkTextView));
    startSpeaking(true);
    const double stopMs = stopAndWaitForText(true, kPolishedText);
    expectOneDictation(kRawText, kPolishedText);

    reportFigure("stop_key_to_text_gtk_ms", stopMs, "ms");
    reportTrace("_gtk");
}

TEST_F(DictationEndToEnd, EscapeCancelsTheDictationAndTheNextOneStillLands)
{
    cancelWithEscapeThenDictate(false);
}

TEST_F(DictationEndToEnd, EscapeWhileHoldingCancelsTheDictationAndTheNextOneStillLands)
{
    cancelWithEscapeThenDictate(true);
}

TEST_F(DictationEndToEnd, LanguageModelFailureLandsTheLocallyCorrectedText)
{
    m_languageModel = LanguageModel::fails;
    ASSERT_NO_FATAL_FAILURE(startDictationSetup("holdToTalk"));
    startSpeaking(true);
    stopAndWaitForText(true, kRawText);
    expectOneDictation(kRawText, kRawText);
}

TEST_F(DictationEndToEnd, TranscriptionFailureFallsOverToTheLocalModel)
{
    m_transcriptionFails = true;
    m_languageModel = LanguageModel::fails; // so the local model's own words land
    ASSERT_TRUE(installLocalModel());
    ASSERT_NO_FATAL_FAILURE(startDictationSetup("holdToTalk"));
    startSpeaking(true);
    QTest::qWait(kSpeakingMs);
    m_keyboard.release(XK_Control_R);
    // The model writes one 你 for each stretch of the tone it hears. The tone's player keeps only a few
    // milliseconds queued, so on a busy machine the microphone may hear it stop for a moment: the words are
    // what the model made of what was heard, typed once.
    const QJsonArray records = waitForHistory(1);
    ASSERT_EQ(records.size(), 1) << "the local model's words were never recorded";
    const QString text = recordText(records, 0, "rawTranscript");
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^(你)+$")).match(text).hasMatch()) << text.toStdString();
    EXPECT_EQ(m_target->waitForText(text), text);
    expectOneDictation(text, text);
}

// A microphone that delivers two seconds of audio at once: each short dictation may get no buffer at all
// while it records, and what it holds is the lead-in handed over at its start, which is voice. The first
// dictation finds the microphone just opened, the later ones a block delivered since the last.
TEST_F(DictationEndToEnd, AMicrophoneThatDeliversSecondsAtATimeStillTranscribesShortDictations)
{
    ASSERT_TRUE(setDefaultSource("blocks"));
    m_otherMicrophone = true;
    ASSERT_NO_FATAL_FAILURE(startDictationSetup("tapToggle"));
    QString typed;
    for (int i = 0; i < 3; ++i) {
        if (i > 0)
            QTest::qWait(kBlockPauseMs); // the user pauses between dictations
        startSpeaking(false);
        typed += kPolishedText;
        ASSERT_GE(stopAndWaitForText(false, typed), 0) << "dictation " << i << " ended with nothing";
    }
    EXPECT_EQ(m_transcriptions, 3);
    EXPECT_EQ(waitForHistory(3).size(), 3);
}

} // namespace
