#pragma once

#include "platform/InputSynth.h"
#include "util/SerialQueue.h"

#include <QByteArray>
#include <functional>
#include <memory>
#include <mutex>

// Synthetic keys through the XTest extension. Characters the keyboard layout has are pressed on their own
// keys (with Shift or AltGr as the layout needs); every other character is typed through a ring of spare
// keycodes that are remapped to it, a batch of characters per remap. All X work runs on one posting thread
// with its own connection; every call waits for it, so none is made on the main thread.
class XTestInputSynth final : public InputSynth {
public:
    // Connects to `displayName`, or to $DISPLAY when empty. A failed connection makes every call fail with
    // the reason.
    explicit XTestInputSynth(const QByteArray& displayName = {});
    ~XTestInputSynth() override;

    Status typeText(const QString& text) override;
    Status prepareToType(const QString& upcoming) override;
    // Command is pressed as Ctrl, like Control: shortcuts on this desktop use Ctrl.
    Status pressChord(KeyChord chord) override;
    Status pressBackspace(int count) override;
    void setPostedKeyObserver(PostedKeyObserver observer) override;

    // Whether the X server could be reached and has XTest.
    bool isAvailable() const;

private:
    class Poster;

    PostedKeyObserver observer() const;
    // Runs `keys` on the posting thread as one request: fresh keymap and state first, every event processed
    // by the server before it returns. A request that posts no keys leaves held modifiers alone.
    Status post(const std::function<Status(Poster&)>& keys, bool postsKeys = true);
    // Ends a wait for ping answers between requests, so the next request runs at once.
    void makeWayForRequest();

    mutable std::mutex m_observerMutex;
    PostedKeyObserver m_observer;
    std::unique_ptr<Poster> m_poster; // touched only on m_queue
    bool m_available = false;
    int m_wakeFd = -1;          // an eventfd, written before each request
    bool m_watchQueued = false; // on m_queue: a wait for ping answers is queued
    SerialQueue m_queue;
};
