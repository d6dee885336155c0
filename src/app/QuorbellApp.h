#pragma once

#include <QObject>
#include <memory>

class QWidget;

// The running application: its main window host.
class QuorbellApp final : public QObject {
    Q_OBJECT
public:
    QuorbellApp();
    ~QuorbellApp() override;

    void start();

private:
    std::unique_ptr<QWidget> m_mainWindow;
};
