#pragma once

#include <QObject>
#include <QString>

class QLocalServer;

// One running Quorbell per user: the first launch listens on a local socket, a later one asks it to show its
// window and leaves.
class SingleInstance final : public QObject {
    Q_OBJECT
public:
    explicit SingleInstance(QString name, QObject* parent = nullptr);
    ~SingleInstance() override;

    // True when this process is the one that runs; false when another answered and was told to show itself
    // for the user's request at `launchTime` (the display server's time of this launch; 0 when unknown).
    bool claim(quint32 launchTime = 0);

Q_SIGNALS:
    // Another launch asked the running one to come forward; `userTime` is that launch's time, 0 when it sent
    // none.
    void activationRequested(quint32 userTime);

private:
    QString m_name;
    QLocalServer* m_server = nullptr;
};
