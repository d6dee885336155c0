#pragma once

#include <QByteArray>
#include <sys/types.h>

// An X server (Xvfb) of the benchmark's own, on a display number it picks itself, so a benchmark that owns
// and reads the clipboard never touches the desktop's. Stopped when this goes.
class PrivateXServer final {
public:
    PrivateXServer();
    ~PrivateXServer();
    PrivateXServer(const PrivateXServer&) = delete;
    PrivateXServer& operator=(const PrivateXServer&) = delete;

    // ":N" once the server listens; empty when it could not be started.
    const QByteArray& display() const { return m_display; }

private:
    pid_t m_pid = -1;
    QByteArray m_display;
};
